#include "convert/chain.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "convert/capture.h"
#include "convert/staged_output.h"
#include "process/fd.h"

namespace moh {
namespace {

// Where a child finds what we hand it.
constexpr int kInputFd = 3;
constexpr int kOutputFd = 4;
constexpr const char* kInputLink = "/dev/fd/3";
constexpr const char* kOutputPath = "/dev/fd/4";

struct SoxFormat {
    std::string_view name;
    const char* rate;
    const char* type;
    bool linear;  // headerless: the sample size is asked for, not taken from the input
};

constexpr SoxFormat kSoxFormats[] = {
    {"ulaw", "8000", "ul", false}, {"alaw", "8000", "al", false},   {"gsm", "8000", "gsm", false},
    {"sln", "8000", "raw", true},  {"sln16", "16000", "raw", true},
};

std::string program_name(const Child& child) {
    const std::string& path = child.argv.front();
    return path.substr(path.rfind('/') + 1);
}

// Logs a command that did not succeed; true when it did.
bool report(const Child& child, const ChildResult& result, const CaptureVerdict& verdict,
            const ChainContext& context) {
    const int status = result.wait_status;
    const std::string line = command_line(child);
    const std::string program = program_name(child);
    const bool sox = program == "sox";
    Log& log = context.log;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (!sox || verdict.failure.empty()) return true;
        // sox exits 0 after some write errors, a full disk among them.
        log.problem("Command reported \"%s\" though it exited with status 0: %s\n",
                    verdict.failure.c_str(), line.c_str());
        return false;
    }
    if (WIFSIGNALED(status)) {
        log.problem("Command killed by signal %d: %s\n", WTERMSIG(status), line.c_str());
        if (result.timed_out) {
            log.problem("  timed out after %lld s\n",
                        static_cast<long long>(context.settings.child_time_limit.count()));
        }
    } else {
        log.problem("Command failed with exit status %d: %s\n", WEXITSTATUS(status), line.c_str());
    }
    const std::string& said = sox ? verdict.failure : verdict.first_line;
    if (!said.empty()) log.problem("  %s said: %s\n", program.c_str(), said.c_str());
    return false;
}

// Runs a child, judging what it prints; the paths it is given are not part of its words.
std::pair<ChildResult, CaptureVerdict> run_judged(const Child& child, const ChainContext& context) {
    std::vector<std::string> own_paths;
    for (const auto& word : child.argv) {
        if (word.find('/') != std::string::npos) own_paths.push_back(word);
    }
    CaptureScanner scanner(std::move(own_paths));
    context.log.flush();
    const ChildResult result =
        context.runner.run(child, [&](std::string_view bytes) { scanner.feed(bytes); });
    return {result, scanner.finish()};
}

void note_output(const StagedOutput& output, std::string_view format, ConversionResult& result) {
    struct stat st {};
    if (::fstat(output.fd(), &st) == 0) {
        result.outputs.push_back({std::string(format), FileIdentity::of(st)});
    }
}

// The MP3's private directory under the work directory, removed with what it holds when done.
class PrivateDir {
  public:
    PrivateDir(const Mp3& mp3, const ChainContext& context)
        : parent_(context.work_dir), name_(std::to_string(mp3.number)) {
        ::mkdirat(parent_, name_.c_str(), 0700);
        fd_.reset(::openat(parent_, name_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        path_ = context.settings.work_dir + "/" + name_;
    }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    ~PrivateDir() {
        for (const auto& name : made_) ::unlinkat(fd_.get(), name.c_str(), 0);
        ::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
    }

    // A path that opens, in any child, the descriptor the child has as 3.
    std::string link_to_input(const std::string& name) {
        ::symlinkat(kInputLink, fd_.get(), name.c_str());
        return path(name);
    }
    // A path the converter may write to.
    std::string path(const std::string& name) {
        made_.push_back(name);
        return path_ + "/" + name;
    }
    int fd() const { return fd_.get(); }

  private:
    int parent_;
    std::string name_;
    Fd fd_;
    std::string path_;
    std::vector<std::string> made_;
};

// Copies the converter's private output into a staged output beside the MP3. Returns 0 or errno.
int copy_into(int from, const StagedOutput& to) {
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (const int error =
                write_all(to.fd(), std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            return error;
        }
    }
}

class Chain {
  public:
    Chain(const Mp3& mp3, const ChainContext& context)
        : mp3_(mp3), context_(context), private_dir_(mp3, context) {}

    ConversionResult run(double& volume) {
        const std::string input = private_dir_.link_to_input(mp3_.name);
        bool first_run = true;
        for (const SoxFormat& format : kSoxFormats) {
            context_.log.info("Convert %s to %s\n", mp3_.stem.c_str(), format.name.data());
            if (!convert_with_sox(format, input, first_run, volume) || given_up_) return result_;
            first_run = false;
        }
        // Without a converter the run said so once; the conversion stays incomplete.
        if (!context_.converter_ok) return result_;
        context_.log.info("Convert %s to g722\n", mp3_.stem.c_str());
        convert_to_g722();
        result_.complete = !failed_ && !result_.interrupted;
        return result_;
    }

  private:
    // False when the run was interrupted.
    bool convert_with_sox(const SoxFormat& format, const std::string& input, bool first_run,
                          double& volume) {
        for (;;) {
            auto output = std::make_unique<StagedOutput>(mp3_.dir);
            if (!output->ok()) return cannot_write(format.name, output->error());
            const Child sox =
                with_fds(sox_command(format.name, input, volume, first_run), output->fd());
            const auto [result, verdict] = run_judged(sox, context_);
            if (result.interrupted) return interrupted();
            const bool succeeded = report(sox, result, verdict, context_);
            // What outlasted the limit once would outlast it for every format: the file is left
            // for the next run rather than hold this one ten more minutes a format.
            if (result.timed_out) return gave_up();
            bool keep = !verdict.clipped;
            if (verdict.clipped) {
                if (volume - kVolumeStep <= kVolumeFloor) {
                    context_.log.problem("Still clipping at volume %g; keeping this conversion\n",
                                         volume);
                    keep = true;
                } else {
                    volume -= kVolumeStep;
                    context_.log.info("Volume appears to be too high; trying %g...\n", volume);
                    first_run = false;
                }
            }
            if (!keep) continue;
            if (!succeeded) {
                failed_ = true;
                return true;
            }
            publish(*output, format.name);
            if (format.name == "sln16") sln16_ = std::move(output);
            return true;
        }
    }

    void convert_to_g722() {
        const std::string sln16 = mp3_.stem + ".sln16";
        const std::string g722 = mp3_.stem + ".g722";
        Child converter{{context_.settings.converter_path}, {}};
        // Without a fresh .sln16 there is nothing to hand over, and the converter says so.
        converter.argv.push_back(sln16_ ? private_dir_.link_to_input(sln16)
                                        : private_dir_.path(sln16));
        converter.argv.push_back(private_dir_.path(g722));
        if (sln16_) converter.fds.emplace_back(sln16_->fd(), kInputFd);
        const auto [result, verdict] = run_judged(converter, context_);
        if (result.interrupted) {
            interrupted();
            return;
        }
        if (!report(converter, result, verdict, context_)) {
            failed_ = true;
            return;
        }
        // Whatever the converter left there, only a plain file is taken.
        const Fd made(::openat(private_dir_.fd(), g722.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!made || ::fstat(made.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            cannot_write("g722", made ? EINVAL : errno);
            return;
        }
        StagedOutput output(mp3_.dir);
        if (!output.ok()) {
            cannot_write("g722", output.error());
            return;
        }
        if (const int error = copy_into(made.get(), output)) {
            cannot_write("g722", error);
            return;
        }
        publish(output, "g722");
    }

    Child with_fds(Child child, int output) const {
        child.fds = {{mp3_.fd, kInputFd}, {output, kOutputFd}};
        return child;
    }

    void publish(StagedOutput& output, std::string_view format) {
        if (const int error = output.publish(mp3_.stem + "." + std::string(format))) {
            cannot_write(format, error);
            return;
        }
        note_output(output, format, result_);
    }

    bool cannot_write(std::string_view format, int error) {
        context_.log.problem("Couldn't write %s/%s.%.*s: %s\n", mp3_.dir_path.c_str(),
                             mp3_.stem.c_str(), static_cast<int>(format.size()), format.data(),
                             std::strerror(error));
        failed_ = true;
        return true;
    }

    bool interrupted() {
        result_.interrupted = true;
        return false;
    }

    bool gave_up() {
        given_up_ = failed_ = true;
        return true;
    }

    const Mp3& mp3_;
    const ChainContext& context_;
    PrivateDir private_dir_;
    std::unique_ptr<StagedOutput> sln16_;
    bool failed_ = false;
    bool given_up_ = false;
    ConversionResult result_;
};

}  // namespace

Child sox_command(std::string_view format_name, const std::string& input, double volume,
                  bool first_run) {
    const SoxFormat* format = nullptr;
    for (const SoxFormat& candidate : kSoxFormats) {
        if (candidate.name == format_name) format = &candidate;
    }
    Child sox{{"sox"}, {}};
    // The very first run of a file goes without a factor; the output is the same as at "-v 1".
    if (!first_run) {
        sox.argv.insert(sox.argv.end(), {"-v", format_text("%g", volume)});
    }
    sox.argv.insert(sox.argv.end(), {input, "-c", "1", "-r", format->rate, "-t", format->type});
    if (format->linear) sox.argv.insert(sox.argv.end(), {"-e", "signed-integer", "-b", "16"});
    sox.argv.push_back(kOutputPath);
    return sox;
}

bool run_and_report(const Child& child, const ChainContext& context) {
    const auto [result, verdict] = run_judged(child, context);
    return !result.interrupted && report(child, result, verdict, context);
}

ConversionResult convert_mp3(const Mp3& mp3, double& volume, const ChainContext& context) {
    return Chain(mp3, context).run(volume);
}

}  // namespace moh
