#pragma once

#include <string>

namespace moh {

// The paths a run works with. The command itself uses only fixed_settings(); tests point the
// same code at private directories.
struct Settings {
    std::string library_dir;     // the music-on-hold directory, listed and converted in place
    std::string listing_path;    // where find writes the listing
    std::string capture_path;    // where each sox run writes its messages
    std::string converter_path;  // the G.722 converter
};

inline Settings fixed_settings() {
    return {
        "/home/services/asterisk/var/lib/asterisk/mohmp3",
        "/tmp/moh-xx",
        "/tmp/xxx",
        "/usr/lib/nagios/plugins/asterisk_convert",
    };
}

}  // namespace moh
