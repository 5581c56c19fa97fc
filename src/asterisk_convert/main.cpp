// SPDX-License-Identifier: GPL-2.0-or-later
// asterisk_convert IN.sln16 OUT.g722: the G.722 converter that moh-convert runs.
#include <cstdio>

#include "g722_file.h"

// The installer tells this program apart from a server's own converter by this text.
[[gnu::used]] static const char kMark[] = MOH_CONVERTER_MARK;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: asterisk_convert IN.sln16 OUT.g722\n");
        return kExitUsage;
    }
    if (const auto error = g722::convert_file(argv[1], argv[2])) {
        std::fprintf(stderr, "asterisk_convert: %s\n", error->c_str());
        return kExitFailed;
    }
    return 0;
}
