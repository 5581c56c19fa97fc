// SPDX-License-Identifier: GPL-2.0-or-later
#include "check/check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "formats/outputs.h"
#include "library/library.h"
#include "library/update_record.h"
#include "process/fd.h"
#include "support.h"

namespace {

using test::write_file;

const std::string kGsmFrame = "\xd0" + std::string(32, '\0');

// A source and its six outputs, a day newer than it.
void converted(const std::string& dir, const std::string& stem) {
    write_file(dir + "/" + stem + ".mp3", "ID3 music");
    const timespec day_old[2] = {{::time(nullptr) - 86400, 0}, {::time(nullptr) - 86400, 0}};
    ::utimensat(AT_FDCWD, (dir + "/" + stem + ".mp3").c_str(), day_old, 0);
    for (const auto format : moh::kOutputFormats) {
        write_file(dir + "/" + stem + "." + std::string(format),
                   format == "gsm" ? kGsmFrame : std::string(320, '\x55'));
    }
}

struct Fixture {
    test::TempDir temp;
    std::string lib = temp / "lib";
    moh::CheckPaths paths;

    Fixture() {
        ::chmod(temp.path().c_str(), 0755);
        ::mkdir(lib.c_str(), 0755);
        write_file(temp / "asterisk.conf", "[options]\nrunuser = nobody ; the monitoring test's\n");
        paths = {lib, false, temp / "state", moh::run_formats({}), temp / "asterisk.conf",
                 "",  false};
    }
    void classes(const std::string& text) {
        write_file(temp / "musiconhold.conf", text);
        paths.musiconhold_conf = temp / "musiconhold.conf";
        paths.musiconhold_asked = true;
    }
    // The record of a conversion of `stem` in the library's top folder, as a run saves it.
    void record(const std::string& stem) {
        const moh::Library library(lib);
        std::string warning, upgraded;
        moh::UpdateRecord record(paths.state_dir, library.fd(), lib, false, "r", paths.formats,
                                 warning, upgraded);
        const moh::Fd source(::open((lib + "/" + stem + ".mp3").c_str(), O_RDONLY));
        moh::ConversionResult result;
        result.complete = true;
        struct stat st {};
        for (const auto& format : paths.formats) {
            ::stat((lib + "/" + stem + "." + format).c_str(), &st);
            result.outputs.push_back({format, moh::FileIdentity::of(st)});
        }
        ::fstat(source.get(), &st);
        record.converted(moh::UpdateRecord::key_of(library.fd(), stem + ".mp3"), source.get(),
                         moh::FileIdentity::of(st), library.fd(), stem, result);
        ASSERT_EQ(record.save(false), 0);
    }
};

TEST(Check, EachStatusFromALibraryOfItsOwn) {
    struct Row {
        const char* what;
        std::function<void(Fixture&)> make;
        int status;
        std::vector<std::string> lines;  // the status line, then findings; TMP for the fixture
    };
    const Row rows[] = {
        {"healthy",
         [](Fixture& f) { converted(f.lib, "a"); },
         moh::kCheckOk,
         {"MOH OK - 1 class, 1 track, every format current | classes=1 tracks=1 missing=0 "
          "stale=0 unplayable=0"}},
        {"an output missing, one stale",
         [](Fixture& f) {
             converted(f.lib, "a");
             ::unlink((f.lib + "/a.g722").c_str());
             const timespec older[2] = {{0, 0}, {0, 0}};
             ::utimensat(AT_FDCWD, (f.lib + "/a.sln").c_str(), older, 0);
         },
         moh::kCheckWarning,
         {"MOH WARNING - 1 class, 1 track, 1 output missing, 1 stale | classes=1 tracks=1 "
          "missing=1 stale=1 unplayable=0",
          "Output stale: TMP/lib/a.sln -- older than a.mp3", "Output missing: TMP/lib/a.g722"}},
        {"changed since the record's conversion, though older",
         [](Fixture& f) {
             converted(f.lib, "a");
             f.record("a");
             struct stat st {};
             ::stat((f.lib + "/a.mp3").c_str(), &st);
             write_file(f.lib + "/a.mp3", "ID3 other");
             const timespec as_before[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, (f.lib + "/a.mp3").c_str(), as_before, 0);
         },
         moh::kCheckWarning,
         {"MOH WARNING - 1 class, 1 track, 6 stale | classes=1 tracks=1 missing=0 stale=6 "
          "unplayable=0",
          "Output stale: TMP/lib/a.ulaw -- a.mp3 changed since it was converted"}},
        {"unplayable, torn and unreadable files; a name that would forge lines",
         [](Fixture& f) {
             converted(f.lib, "a");
             write_file(f.lib + "/b\n|MOH OK.ulaw", "RIFF....WAVE");
             write_file(f.lib + "/a.sln16", std::string(321, '\0'));
             ::chmod((f.lib + "/a.alaw").c_str(), 0600);
         },
         moh::kCheckWarning,
         {"MOH WARNING - 1 class, 1 track, 1 not readable by nobody, 2 unplayable | classes=1 "
          "tracks=1 missing=0 stale=0 unplayable=2",
          "Not playable by Asterisk: TMP/lib/b\\x0a\\x7cMOH OK.ulaw -- it begins with a \"RIFF\" "
          "header, which plays as noise",
          "Not readable by nobody: TMP/lib/a.alaw -- mode 0600, owner root, group root",
          "Not playable by Asterisk: TMP/lib/a.sln16 -- 321 bytes, not a whole number of 2-byte "
          "frames"}},
        {"a folder with nothing playable",
         [](Fixture& f) {
             converted(f.lib, "a");
             ::mkdir((f.lib + "/Sales").c_str(), 0755);
             write_file(f.lib + "/Sales/broken.wav", "");
         },
         moh::kCheckCritical,
         {"MOH CRITICAL - 2 classes, 1 track, 1 silent class, 1 unplayable | classes=2 tracks=1 "
          "missing=0 stale=0 unplayable=1",
          "Not playable by Asterisk: TMP/lib/Sales/broken.wav -- empty",
          "Silent class: TMP/lib/Sales -- nothing in it that Asterisk can play"}},
        {"classes over an empty folder and none, random=yes, a folder no class names",
         [](Fixture& f) {
             converted(f.lib, "a");
             ::mkdir((f.lib + "/Empty").c_str(), 0755);
             ::mkdir((f.lib + "/Spare").c_str(), 0755);
             converted(f.lib + "/Spare", "s");
             f.classes("[general]\n[default]\nmode=files\ndirectory=" + f.lib +
                       "\nrandom=yes\n[quiet](!)\nmode=files\n[q](quiet)\ndirectory => " + f.lib +
                       "/Empty\n[gone]\ndirectory=" + f.lib + "/Gone\n[mp3]\nmode=mp3\n");
         },
         moh::kCheckCritical,
         {"MOH CRITICAL - 3 classes, 2 tracks, 2 silent classes, 1 ignored setting | classes=3 "
          "tracks=2 missing=0 stale=0 unplayable=0",
          "Ignored setting: random=yes in class [default] of TMP/musiconhold.conf -- Asterisk "
          "23 ignores it; use sort=random",
          "Silent class [q] over TMP/lib/Empty -- nothing in it that Asterisk can play",
          "Silent class [gone] over TMP/lib/Gone -- no such folder",
          "No class plays: TMP/lib/Spare -- no mode=files class in TMP/musiconhold.conf names it"}},
        {"no library",
         [](Fixture& f) { ::rmdir(f.lib.c_str()); },
         moh::kCheckUnknown,
         {"MOH UNKNOWN - cannot read the library TMP/lib: No such file or directory"}},
    };
    for (const Row& row : rows) {
        Fixture fixture;
        row.make(fixture);
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* stream = ::open_memstream(&buffer, &size);
        const int status = moh::run_check(fixture.paths, stream);
        std::fclose(stream);
        std::string text(buffer, size);
        std::free(buffer);
        EXPECT_EQ(status, row.status) << row.what << "\n" << text;
        std::vector<std::string> expected;
        for (std::string line : row.lines) {
            for (std::size_t at; (at = line.find("TMP")) != std::string::npos;)
                line.replace(at, 3, fixture.temp.path());
            expected.push_back(line);
        }
        std::vector<std::string> got;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find('\n', start);
            got.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        // The status line as it is; among the findings, at least these.
        ASSERT_FALSE(got.empty()) << row.what;
        EXPECT_EQ(got.front(), expected.front()) << row.what;
        for (std::size_t i = 1; i < expected.size(); ++i)
            EXPECT_NE(std::find(got.begin() + 1, got.end(), expected[i]), got.end())
                << row.what << ": no line " << expected[i] << " in\n"
                << text;
    }
}

}  // namespace
