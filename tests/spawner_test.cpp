// The real runner with real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "process/fd.h"
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
    const Ran ran = run(spawner, sh("sleep 30 & echo $!; wait"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
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

}  // namespace
