// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace moh {

// The paths and limits a run works with. The command itself uses only fixed_settings(); tests
// point the same code at private directories and shorten the limits.
struct Settings {
    std::string library_dir;     // the music-on-hold directory, listed and converted in place
    std::string listing_path;    // where the listing is left for inspection
    std::string converter_path;  // the G.722 converter, which takes an input and an output path
    std::string work_dir;        // root-only, on disk; each conversion's private files live here
    std::string lock_path;       // held for the whole run, so that runs never overlap
    std::string state_dir;       // root-only; what --update remembers between runs
    std::chrono::seconds child_time_limit{600};  // 100 times what a 30-minute track needs
    // The G.729 converter, installed beside the G.722 one's real file; takes paths like it.
    std::string g729_converter_path = MOH_G729_CONVERTER_PATH;
    // Asterisk's configuration: its account, and the classes' folders in musiconhold.conf.
    std::string asterisk_dir = "/etc/asterisk";
};

inline Settings fixed_settings() {
    return {
        "/home/services/asterisk/var/lib/asterisk/mohmp3",
        "/tmp/moh-xx",
        "/usr/lib/nagios/plugins/asterisk_convert",
        "/var/lib/moh-convert/work",
        "/run/moh-convert.lock",
        "/var/lib/moh-convert",
    };
}

// What the command line asked of this run.
struct RunOptions {
    bool dry_run = false;  // show what would be done, change nothing
    bool update = false;   // convert only the MP3s whose outputs are not known to be current
    bool reload = false;   // have Asterisk reload music on hold after a run that changed anything
    bool prune = false;    // remove the outputs of sources that are gone
    int jobs = 1;          // MP3s converted at once
    std::string library;   // another library than the fixed one, as given; empty for that one
    std::vector<std::string> extra_formats;  // made after the six, in this order
    std::optional<double> level;             // the loudness target in LUFS, when levelling
    bool seamless = false;                   // outputs that join cleanly, track to track
};

// The listing does not descend below this many levels: no music library is deeper, and the
// work of listing grows with the square of the depth.
constexpr int kListingDepth = 32;

}  // namespace moh
