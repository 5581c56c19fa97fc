// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "process/log.h"
#include "process/runner.h"
#include "settings.h"

namespace moh {

// What the run found out about its tools before the walk.
struct Tools {
    bool sox = true;        // sox runs
    bool sox_mp3 = true;    // and reads MP3
    bool converter = true;  // the G.722 converter can be run
    bool g729 = true;       // the G.729 converter can be run, where .g729 is wanted
    std::set<std::string, std::less<>> sox_formats = {};  // the audio formats sox -h lists

    // Whether sox reads what it calls `type` here; MP3s go by `sox_mp3`, said once for all.
    bool sox_reads(std::string_view type) const {
        return sox && (type == "mp3" ? sox_mp3 : sox_formats.count(type) > 0);
    }
};

// Checks once, before the walk, what the conversions would need: sox and the formats it reads, the
// G.722 converter, and the G.729 one when `extras` asks for .g729. Says so once in `log` for each
// that is missing, or that an account other than root could change (and so is not run).
Tools check_tools(const Settings& settings, const std::vector<std::string>& extras, Runner& runner,
                  Log& log);

}  // namespace moh
