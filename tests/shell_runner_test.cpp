#include <gtest/gtest.h>
#include <sys/wait.h>

#include "command_runner.h"
#include "support.h"

namespace {

TEST(ShellRunner, ReturnsTheWaitStatusOfTheShell) {
    moh::ShellRunner runner;
    const int ok = runner.run("true");
    EXPECT_TRUE(WIFEXITED(ok) && WEXITSTATUS(ok) == 0);
    const int failed = runner.run("exit 3");
    EXPECT_TRUE(WIFEXITED(failed) && WEXITSTATUS(failed) == 3);
    const int missing = runner.run("/nonexistent/program 2>/dev/null");
    EXPECT_TRUE(WIFEXITED(missing) && WEXITSTATUS(missing) == 127);
    const int killed = runner.run("kill -9 $$");
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == 9);
}

TEST(ShellRunner, RunsRedirectionsAndWaitsForTheCommand) {
    test::TempDir dir;
    moh::ShellRunner runner;
    runner.run("sleep 0.2; printf done > " + (dir / "out"));
    EXPECT_EQ(test::read_file(dir / "out"), "done");
}

}  // namespace
