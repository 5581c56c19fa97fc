#include "convert.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "clipping.h"

namespace moh {
namespace {

struct Target {
    const char* name;  // also the extension of the file it writes
    // Arguments: factor, dir, stem, dir, stem, capture path.
    const char* command;
};

constexpr Target kTargets[] = {
    {"ulaw", "sox -v %g %s/%s.mp3 -c 1 -r 8000 -t ul %s/%s.ulaw > %s 2>&1"},
    {"alaw", "sox -v %g %s/%s.mp3 -c 1 -r 8000 -t al %s/%s.alaw > %s 2>&1"},
    {"gsm", "sox -v %g %s/%s.mp3 -c 1 -r 8000 -t gsm %s/%s.gsm > %s 2>&1"},
    {"sln", "sox -v %g %s/%s.mp3 -c 1 -r 8000 -t raw %s/%s.sln > %s 2>&1"},
    {"sln16", "sox -v %g %s/%s.mp3 -c 1 -r 16000 -t raw %s/%s.sln16 > %s 2>&1"},
};
// The very first run of a file goes without a factor; the output is the same as at "-v 1".
constexpr const char* kFirstCommand = "sox %s/%s.mp3 -c 1 -r 8000 -t ul %s/%s.ulaw > %s 2>&1";

void report_failure(int status, const std::string& command_line, Log& log) {
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        log.print("Command failed with exit status %d: %s\n", WEXITSTATUS(status),
                  command_line.c_str());
    } else if (WIFSIGNALED(status)) {
        log.print("Command killed by signal %d: %s\n", WTERMSIG(status), command_line.c_str());
    }
}

// A converter opens its output following links and truncating in place, so an output that is a
// link, a hard link, a FIFO or a device would let whoever planted it in the library have root
// write elsewhere, or hang the run. Such an entry is removed; a plain file stays until it is
// rewritten, so a failed conversion does not lose the previous one.
void clear_output(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) ::unlink(path.c_str());
}

// Runs one sox command; true when sox reported clipping.
bool run_sox(const std::string& command_line, const std::string& output, const Context& context) {
    remove_redirect_target(context.settings.capture_path);
    clear_output(output);
    const int status = run_command(command_line, context);
    report_failure(status, command_line, context.log);
    const CaptureVerdict verdict = read_capture(context.settings.capture_path);
    // sox exits 0 after some write errors, a full disk among them, leaving a truncated output.
    if (status == 0 && !verdict.failure.empty()) {
        context.log.print("Command reported \"%s\" though it exited with status 0: %s\n",
                          verdict.failure.c_str(), command_line.c_str());
    }
    return verdict.clipped;
}

}  // namespace

void remove_redirect_target(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

int run_command(const std::string& command_line, const Context& context) {
    context.log.flush();
    return context.runner.run(command_line);
}

void convert_mp3(const std::string& dir, const std::string& stem, double& volume,
                 const Context& context) {
    const char* d = dir.c_str();
    const char* s = stem.c_str();
    const char* capture = context.settings.capture_path.c_str();
    const std::string output_stem = dir + "/" + stem + ".";
    for (const Target& target : kTargets) {
        context.log.print("Convert %s to %s\n", s, target.name);
        const std::string output = output_stem + target.name;
        std::string command = &target == &kTargets[0]
                                  ? format_text(kFirstCommand, d, s, d, s, capture)
                                  : format_text(target.command, volume, d, s, d, s, capture);
        while (run_sox(command, output, context)) {
            if (volume - kVolumeStep <= kVolumeFloor) {
                context.log.print("Still clipping at volume %g; keeping this conversion\n", volume);
                break;
            }
            volume -= kVolumeStep;
            context.log.print("Volume appears to be too high; trying %g...\n", volume);
            command = format_text(target.command, volume, d, s, d, s, capture);
        }
    }

    context.log.print("Convert %s to g722\n", s);
    const std::string command = format_text("%s %s/%s.sln16 %s/%s.g722",
                                            context.settings.converter_path.c_str(), d, s, d, s);
    clear_output(output_stem + "g722");
    report_failure(run_command(command, context), command, context.log);
}

}  // namespace moh
