// SPDX-License-Identifier: GPL-2.0-or-later
// The converter as moh-convert sees it: a program with an exit status and one line on stderr.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support.h"

namespace {

using test::run_shell;
using test::TempDir;

const std::string kConverter = ASTERISK_CONVERT_BIN;
// Root reads and writes through any permission bits, so those cases run as nobody.
const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

// A directory that nobody can traverse and read.
void open_to_all(const TempDir& dir) {
    ::chmod(dir.path().c_str(), 0755);
}

TEST(ConverterCommand, WrongArgumentCountPrintsUsageAndExits2) {
    for (const char* args : {"", " a", " a b c"}) {
        const auto outcome = run_shell(kConverter + args + " 2>&1");
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(outcome.output, "usage: asterisk_convert IN.sln16 OUT.g722\n") << args;
    }
}

TEST(ConverterCommand, SuccessIsSilent) {
    TempDir dir;
    test::write_file(dir / "in.sln16", std::string(3200, '\0'));
    const auto outcome =
        run_shell(kConverter + " " + (dir / "in.sln16") + " " + (dir / "out.g722") + " 2>&1");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(test::read_file(dir / "out.g722").size(), 800u);
}

TEST(ConverterCommand, UnreadableInputIsOneLineAndExit1) {
    TempDir dir;
    open_to_all(dir);
    test::write_file(dir / "in.sln16", std::string(3200, '\0'));
    ::chmod((dir / "in.sln16").c_str(), 0);
    const auto outcome = run_shell(kAsNobody + kConverter + " " + (dir / "in.sln16") + " " +
                                   (dir / "out.g722") + " 2>&1");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output,
              "asterisk_convert: cannot open " + (dir / "in.sln16") + ": Permission denied\n");
    EXPECT_FALSE(test::exists(dir / "out.g722"));
}

TEST(ConverterCommand, UnwritableOutputDirectoryKeepsPreviousOutput) {
    TempDir dir;
    open_to_all(dir);
    test::write_file(dir / "in.sln16", std::string(3200, '\0'));
    ::mkdir((dir / "locked").c_str(), 0555);
    test::write_file(dir / "locked/out.g722", "previous conversion");
    const auto outcome = run_shell(kAsNobody + kConverter + " " + (dir / "in.sln16") + " " +
                                   (dir / "locked/out.g722") + " 2>&1");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output, "asterisk_convert: cannot create " + (dir / "locked/out.g722") +
                                  ": Permission denied\n");
    EXPECT_EQ(test::read_file(dir / "locked/out.g722"), "previous conversion");
}

TEST(ConverterCommand, FullDiskKeepsPreviousOutputAndLeavesNoPartialFile) {
    TempDir dir;
    test::write_file(dir / "in.sln16", std::string(1 << 20, '\x40'));
    ::mkdir((dir / "small").c_str(), 0755);
    // The filesystem exists only inside the private namespace, so everything is checked there.
    const auto outcome = run_shell(
        "unshare --mount sh -c '"
        "mount -t tmpfs -o size=64k tmpfs " +
        (dir / "small") +
        " || exit 99; "
        "printf \"previous conversion\" > " +
        (dir / "small/out.g722") + "; " + kConverter + " " + (dir / "in.sln16") + " " +
        (dir / "small/out.g722") +
        " 2>&1; "
        "echo \"status $?\"; cat " +
        (dir / "small/out.g722") + "; echo; ls -A " + (dir / "small") + "'");
    ASSERT_NE(outcome.status, 99) << outcome.output;
    EXPECT_EQ(outcome.output, "asterisk_convert: cannot write " + (dir / "small/out.g722") +
                                  ": No space left on device\n"
                                  "status 1\n"
                                  "previous conversion\n"
                                  "out.g722\n");
}

}  // namespace
