#include "convert/chain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "convert/capture.h"
#include "convert/pump.h"
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

// The failure of a write for want of room: the library's disk is full, or its owner's quota.
bool no_room(int error) {
    return error == ENOSPC || error == EDQUOT;
}

// Whether sox's failure line gives one of those reasons.
bool no_room(const std::string& failure) {
    return failure.find(std::strerror(ENOSPC)) != std::string::npos ||
           failure.find(std::strerror(EDQUOT)) != std::string::npos;
}

// sox could not read the MP3 at all: every other format would fail the same way.
bool unreadable_input(const CaptureVerdict& verdict) {
    return verdict.failure.find("can't open input") != std::string::npos;
}

// Logs a command that did not succeed; true when it did. `converting` names the MP3 and the
// format, and is printed after the command, since the command's own paths are gone with the run.
bool report(const Child& child, const ChildResult& result, const CaptureVerdict& verdict,
            const ChainContext& context, const std::string& converting = "") {
    const int status = result.wait_status;
    const std::string line = command_line(child);
    const std::string program = program_name(child);
    const bool sox = program == "sox";
    Log& log = context.log;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (!sox || verdict.failure.empty()) return true;
        // sox exits 0 after some write errors, a full disk among them.
        log.failure("Command reported \"%s\" though it exited with status 0: %s\n",
                    verdict.failure.c_str(), line.c_str());
    } else if (WIFSIGNALED(status)) {
        log.failure("Command killed by signal %d: %s\n", WTERMSIG(status), line.c_str());
    } else {
        log.failure("Command failed with exit status %d: %s\n", WEXITSTATUS(status), line.c_str());
    }
    if (!converting.empty()) log.failure("  converting %s\n", converting.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
    if (result.timed_out) {
        log.failure("  timed out after %lld s\n",
                    static_cast<long long>(context.settings.child_time_limit.count()));
    }
    const std::string& said = sox ? verdict.failure : verdict.first_line;
    if (!said.empty()) log.failure("  %s said: %s\n", program.c_str(), said.c_str());
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
        : parent_(context.work_dir),
          name_(std::to_string(mp3.number)),
          path_(context.settings.work_dir + "/" + name_) {
        if (::mkdirat(parent_, name_.c_str(), 0700) != 0) {
            error_ = errno;
            return;
        }
        fd_.reset(::openat(parent_, name_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd_) error_ = errno;
    }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    ~PrivateDir() {
        for (const auto& name : made_) ::unlinkat(fd_.get(), name.c_str(), 0);
        if (fd_) ::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
    }

    // 0, or the errno of the failure to make it.
    int error() const { return error_; }
    const std::string& path() const { return path_; }

    // A path that opens, in any child, the descriptor the child has as 3; empty when it cannot be
    // made, and `error` says why.
    std::string link_to_input(const std::string& name, int& error) {
        if (::symlinkat(kInputLink, fd_.get(), name.c_str()) != 0) {
            error = errno;
            return "";
        }
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
    std::string path_;
    Fd fd_;
    int error_ = 0;
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
        : mp3_(mp3),
          context_(context),
          source_(mp3.dir_path + "/" + mp3.name),
          private_dir_(mp3, context) {}

    ConversionResult run(double& volume) {
        struct stat st {};
        if (::fstat(mp3_.fd, &st) != 0) return cannot_prepare(errno), result_;
        owner_ = st.st_uid;
        group_ = st.st_gid;
        size_ = mp3_.size >= 0 ? mp3_.size : st.st_size;
        if (private_dir_.error() != 0) return cannot_prepare(private_dir_.error()), result_;
        int error = 0;
        const std::string input = private_dir_.link_to_input(mp3_.name, error);
        if (input.empty()) return cannot_prepare(error), result_;
        for (const SoxFormat& format : kSoxFormats) {
            context_.log.info("Convert %s to %s\n", mp3_.stem.c_str(), format.name.data());
            if (!convert_with_sox(format, input, volume) || stopped_) return result_;
        }
        // Without a fresh .sln16 there is nothing to convert, and its failure has been told.
        if (context_.converter_ok && sln16_) {
            context_.log.info("Convert %s to g722\n", mp3_.stem.c_str());
            convert_to_g722();
        }
        result_.complete =
            !failed_ && !result_.interrupted && !result_.no_space && context_.converter_ok;
        return result_;
    }

  private:
    // False when the run was interrupted.
    bool convert_with_sox(const SoxFormat& format, const std::string& input, double& volume) {
        for (;;) {
            auto output = std::make_unique<StagedOutput>(mp3_.dir);
            if (!output->ok()) return cannot_write(format.name, output->error());
            // sox reads the MP3 through a pipe that gives it what the MP3 held when it was
            // opened: a file that grows while it is read cannot keep sox busy.
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) return cannot_prepare(errno);
            Fd read_end(ends[0]);
            std::vector<Fd> write_end;
            write_end.emplace_back(ends[1]);
            Pump feed(Fd(::fcntl(mp3_.fd, F_DUPFD_CLOEXEC, 0)), std::move(write_end), size_);
            Child sox = sox_command(format.name, input, volume, first_run_);
            sox.fds = {{read_end.get(), kInputFd}, {output->fd(), kOutputFd}};
            const auto [result, verdict] = run_judged(sox, context_);
            read_end.reset();
            feed.finish();
            if (result.interrupted) return interrupted();
            const bool succeeded = report(sox, result, verdict, context_, converting(format.name));
            // What outlasted the limit once would outlast it for every format: the file is left
            // for the next run rather than hold this one ten more minutes a format.
            if (result.timed_out) return stop();
            if (!succeeded && first_run_ && unreadable_input(verdict)) {
                context_.log.failure("  the other formats of %s are left for the next run\n",
                                     source_.c_str());
                return stop();
            }
            if (!succeeded && no_room(verdict.failure)) {
                result_.no_space = true;
                return stop();
            }
            bool keep = !verdict.clipped;
            if (verdict.clipped) {
                if (volume - kVolumeStep <= kVolumeFloor) {
                    context_.log.problem("Still clipping at volume %g; keeping this conversion\n",
                                         volume);
                    keep = true;
                } else {
                    volume -= kVolumeStep;
                    context_.log.info("Volume appears to be too high; trying %g...\n", volume);
                }
            }
            first_run_ = false;
            if (!keep) continue;
            if (!succeeded) {
                failed_ = true;
                return true;
            }
            publish(*output, format.name);
            if (format.name == "sln16" && !stopped_) sln16_ = std::move(output);
            return true;
        }
    }

    void convert_to_g722() {
        const std::string sln16 = mp3_.stem + ".sln16";
        const std::string g722 = mp3_.stem + ".g722";
        int error = 0;
        Child converter{{context_.settings.converter_path}, {{sln16_->fd(), kInputFd}}};
        converter.argv.push_back(private_dir_.link_to_input(sln16, error));
        if (converter.argv.back().empty()) {
            cannot_prepare(error);
            return;
        }
        converter.argv.push_back(private_dir_.path(g722));
        const auto [result, verdict] = run_judged(converter, context_);
        if (result.interrupted) {
            interrupted();
            return;
        }
        if (!report(converter, result, verdict, context_, converting("g722"))) {
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

    std::string converting(std::string_view format) const {
        return source_ + " to " + std::string(format);
    }

    // Outputs are their MP3's owner's, as if the owner had converted it.
    void publish(StagedOutput& output, std::string_view format) {
        int error = output.give_to(owner_, group_);
        if (error == 0) error = output.publish(mp3_.stem + "." + std::string(format));
        if (error != 0) {
            cannot_write(format, error);
            return;
        }
        note_output(output, format, result_);
    }

    bool cannot_write(std::string_view format, int error) {
        context_.log.failure("Couldn't write %s/%s.%.*s: %s\n", mp3_.dir_path.c_str(),
                             mp3_.stem.c_str(), static_cast<int>(format.size()), format.data(),
                             std::strerror(error));
        failed_ = true;
        if (no_room(error)) {
            result_.no_space = true;
            stopped_ = true;
        }
        return true;
    }

    // The work directory failed us: nothing of this MP3 can be converted now.
    bool cannot_prepare(int error) {
        context_.log.failure("Couldn't prepare the conversion of %s in %s: %s\n", source_.c_str(),
                             private_dir_.path().c_str(), std::strerror(error));
        return stop();
    }

    bool interrupted() {
        result_.interrupted = true;
        return false;
    }

    // Ends this MP3's chain here; the walk goes on.
    bool stop() {
        stopped_ = failed_ = true;
        return true;
    }

    const Mp3& mp3_;
    const ChainContext& context_;
    std::string source_;  // the MP3's path in the library
    PrivateDir private_dir_;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    off_t size_ = 0;
    bool first_run_ = true;
    std::unique_ptr<StagedOutput> sln16_;
    bool failed_ = false;
    bool stopped_ = false;
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
