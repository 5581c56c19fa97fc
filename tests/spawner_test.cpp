// SPDX-License-Identifier: GPL-2.0-or-later
// The process layer: the real runner with real processes, the log and the progress line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "process/fd.h"
#include "process/log.h"
#include "process/progress.h"
#include "process/runner.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

struct Ran {
    moh::ChildResult result;
    std::string output;
};

Ran run(moh::Runner& runner, moh::Child child) {
    Ran ran;
    ran.result = runner.run(child, [&](std::string_view bytes) { ran.output += bytes; });
    return ran;
}

moh::Child sh(const std::string& script) {
    return {{"sh", "-c", script}, {}};
}

TEST(Spawner, ReportsStatusAndEverythingTheChildPrints) {
    moh::Spawner spawner(10s);
    const Ran ok = run(spawner, sh("echo out; echo err >&2"));
    EXPECT_EQ(ok.result.wait_status, 0);
    EXPECT_EQ(ok.output, "out\nerr\n");
    EXPECT_EQ(run(spawner, sh("exit 3")).result.wait_status, 3 << 8);
    EXPECT_EQ(run(spawner, {{"/nonexistent/program"}, {}}).result.wait_status, 127 << 8);
    EXPECT_EQ(run(spawner, {{"no-such-program-on-path"}, {}}).result.wait_status, 127 << 8);
    const Ran killed = run(spawner, sh("kill -9 $$"));
    EXPECT_TRUE(WIFSIGNALED(killed.result.wait_status) && WTERMSIG(killed.result.wait_status) == 9);
}

TEST(Spawner, HandsOverDescriptorsButNothingElseNorSoxOpts) {
    test::TempDir dir;
    test::write_file(dir / "in", "through 40");
    // Each is handed over under the other's number here, which must not trip the hand-over.
    moh::Fd in(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
    moh::Fd out(::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ::dup3(in.get(), 41, O_CLOEXEC);
    ::dup3(out.get(), 40, O_CLOEXEC);
    in.reset(41);
    out.reset(40);
    ::setenv("SOX_OPTS", "-V1", 1);
    moh::Spawner spawner(10s);
    const Ran ran = run(spawner, {{"sh", "-c",
                                   "cat /dev/fd/40 >/dev/fd/41; echo ${SOX_OPTS-unset}; "
                                   "ls /proc/self/fd | tr '\\n' ' '"},
                                  {{in.get(), 40}, {out.get(), 41}}});
    ::unsetenv("SOX_OPTS");
    EXPECT_EQ(ran.result.wait_status, 0) << ran.output;
    EXPECT_EQ(test::read_file(dir / "out"), "through 40");
    // ls sees the directory it reads as 3, and nothing else of ours.
    EXPECT_EQ(ran.output, "unset\n0 1 2 3 40 41 ");
}

TEST(Spawner, KillsAChildPastItsLimitWithEverythingItStarted) {
    moh::Spawner spawner(300ms);
    const auto start = std::chrono::steady_clock::now();
    const Ran ran = run(spawner, sh("sleep 600 & echo $!; wait"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300s);
    EXPECT_TRUE(ran.result.timed_out);
    EXPECT_TRUE(WIFSIGNALED(ran.result.wait_status) && WTERMSIG(ran.result.wait_status) == 9);
    const pid_t sleeper = std::stoi(ran.output);
    std::this_thread::sleep_for(100ms);  // its reaping by init is not ours to wait for
    const std::string state = test::read_file("/proc/" + std::to_string(sleeper) + "/stat");
    EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos) << state;
}

TEST(Spawner, CommandLineReadsBackThroughAShellAsTheSameWords) {
    EXPECT_EQ(moh::command_line({{"asterisk", "-rx", "moh reload"}, {}}),
              "asterisk -rx 'moh reload'");
    const std::vector<std::string> words = {"/run/moh-convert/1/a.mp3",
                                            "-v",
                                            "0.9",
                                            "it's",
                                            "",
                                            "*.mp3",
                                            "$HOME",
                                            "`id`",
                                            "a;b",
                                            "~root",
                                            "#x",
                                            "tab\there",
                                            "new\nline",
                                            "back\\slash",
                                            "\"q\"",
                                            "\xc3\xa9\xff"};
    moh::Child printf{{"printf", "[%s]"}, {}};
    printf.argv.insert(printf.argv.end(), words.begin(), words.end());
    std::string expected;
    for (const auto& word : words) expected += "[" + word + "]";
    moh::Spawner spawner(10s);
    const Ran ran = run(spawner, sh(moh::command_line(printf)));
    EXPECT_EQ(ran.output, expected) << moh::command_line(printf);
}

// A terminal 24 columns wide, raw, read from the other side.
class Terminal {
  public:
    Terminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        ::grantpt(master_.get());
        ::unlockpt(master_.get());
        slave.reset(::open(::ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios mode{};
        ::tcgetattr(slave.get(), &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(slave.get(), TCSANOW, &mode);
        const winsize size{24, 24, 0, 0};
        ::ioctl(master_.get(), TIOCSWINSZ, &size);
    }
    // What reached the terminal since the last call.
    std::string drawn() {
        std::string bytes;
        pollfd ready{master_.get(), POLLIN, 0};
        while (::poll(&ready, 1, 100) > 0) {
            char buffer[256];
            const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
            if (n <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    moh::Fd slave;

  private:
    moh::Fd master_;
};

TEST(Progress, OneLineRedrawnInPlaceCutToTheWidthWithNothingATerminalActsOn) {
    Terminal terminal;
    moh::Progress progress(terminal.slave.get());
    progress.start(12);
    progress.show(3, "/lib/a.mp3");
    EXPECT_EQ(terminal.drawn(), "\r\033[K[3/12] /lib/a.mp3");
    // 16 columns are left after "[4/12] ": an escape sequence is escaped as in the log, a byte
    // that is not UTF-8 shows as '?', and the wide characters take two columns each.
    progress.show(4, "/a/\033[2J\xff/ab\u65e5\u672c\u8a9e.mp3");
    EXPECT_EQ(terminal.drawn(), "\r\033[K[4/12] /a/\\x1b[2J?/ab\u65e5");
    // The log's lines on the same terminal go above the line.
    progress.show(5, "x");
    terminal.drawn();
    EXPECT_EQ(progress.write_above(terminal.slave.get(), "log line\n"), 0);
    EXPECT_EQ(terminal.drawn(), "\r\033[Klog line\n\r\033[K[5/12] x");
    progress.clear();
    progress.clear();
    EXPECT_EQ(terminal.drawn(), "\r\033[K");
}

TEST(Log, JournalPrioritiesStartEveryLineOnlyWhenStdoutIsTheJournal) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    moh::Log log(out, false, true);
    moh::Log job(out, log);
    log.info("Convert %s to ulaw\n", "a");
    log.problem("Ignoring listing line %s -- no such file or directory\n", "/lib/Jazz\nHits.mp3");
    job.failure("Command failed with exit status %d: sox\n", 2);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, size),
              "<6>Convert a to ulaw\n"
              "<4>Ignoring listing line /lib/Jazz\\x0aHits.mp3 -- no such file or directory\n"
              "<3>Command failed with exit status 2: sox\n");
    std::free(buffer);

    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const moh::Fd read_end(ends[0]), write_end(ends[1]);
    const moh::Fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    struct stat st {};
    ::fstat(write_end.get(), &st);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    EXPECT_TRUE(moh::is_journal_stream(write_end.get()));
    EXPECT_FALSE(moh::is_journal_stream(null.get()));
    ::setenv("JOURNAL_STREAM", (stream + "0").c_str(), 1);
    EXPECT_FALSE(moh::is_journal_stream(write_end.get()));
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(moh::is_journal_stream(write_end.get()));
}

}  // namespace
