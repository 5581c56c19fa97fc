// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include "cli/options.h"
#include "cli/run_lock.h"
#include "support.h"

namespace {

using Action = moh::CommandLine::Action;

moh::CommandLine parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/bin/moh-convert");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return moh::parse_command_line(static_cast<int>(words.size()), argv.data());
}

TEST(CommandLine, OptionsInShortAndLongForm) {
    const moh::CommandLine all = parse({"-n", "-q", "-u", "-j", "3", "--reload"});
    EXPECT_EQ(all.action, Action::kRun);
    EXPECT_TRUE(all.run.dry_run && all.quiet && all.run.update && all.run.reload);
    EXPECT_EQ(all.run.jobs, 3);
    const moh::CommandLine longs = parse({"--dry-run", "--quiet", "--update", "--jobs=0"});
    EXPECT_TRUE(longs.run.dry_run && longs.quiet && longs.run.update && !longs.run.reload);
    EXPECT_EQ(longs.run.jobs, static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(parse({}).run.jobs, 1);
    EXPECT_EQ(parse({"-n", "--help"}).action, Action::kHelp);
    EXPECT_EQ(parse({"--version"}).action, Action::kVersion);
    const moh::CommandLine added = parse({"--formats=g729,ulaw,sln48,g729", "--level",
                                          "--library=/srv/moh//", "--prune", "--seamless"});
    EXPECT_EQ(added.run.extra_formats, (std::vector<std::string>{"g729", "sln48"}));
    EXPECT_EQ(added.run.level, -20.0);
    EXPECT_EQ(added.run.library, "/srv/moh");
    EXPECT_TRUE(added.run.prune && added.run.seamless && !parse({}).run.seamless);
    EXPECT_EQ(parse({"--level=-23.5"}).run.level, -23.5);
    EXPECT_FALSE(parse({}).run.level);
    const moh::CommandLine check =
        parse({"--check", "--library=/srv/moh", "--formats=g729", "--asterisk-config=/m.conf"});
    EXPECT_EQ(check.action, Action::kCheck);
    EXPECT_EQ(check.asterisk_config, "/m.conf");
    for (const auto& wrong : std::vector<std::vector<std::string>>{{"-x"},
                                                                   {"--bogus"},
                                                                   {"-j"},
                                                                   {"-j", "many"},
                                                                   {"--jobs=-1"},
                                                                   {"run"},
                                                                   {"-n", "x"},
                                                                   {"--formats=ulaw,mp3"},
                                                                   {"--formats="},
                                                                   {"--level=loud"},
                                                                   {"--level=3"},
                                                                   {"--library=relative"},
                                                                   {"--check", "--prune"},
                                                                   {"--check", "--seamless"},
                                                                   {"-q", "--check"},
                                                                   {"--asterisk-config=/m"}}) {
        EXPECT_EQ(parse(wrong).action, Action::kUsageError) << wrong.front();
    }
}

TEST(RunLock, SecondHolderIsToldWhoHoldsIt) {
    test::TempDir dir;
    const moh::RunLock first(dir / "lock");
    ASSERT_TRUE(first.held()) << first.failure();
    const moh::RunLock second(dir / "lock");
    EXPECT_FALSE(second.held());
    EXPECT_EQ(second.holder(), ::getpid());
    EXPECT_EQ(second.failure(), "");

    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "link").c_str()), 0);
    const moh::RunLock through_link(dir / "link");
    EXPECT_FALSE(through_link.held());
    EXPECT_NE(through_link.failure(), "");
    EXPECT_FALSE(test::exists(dir / "elsewhere")) << "the lock was created through a link";
}

}  // namespace
