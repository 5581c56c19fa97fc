// SPDX-License-Identifier: GPL-3.0-or-later
// g729_convert IN.sln OUT.g729: the G.729 converter that moh-convert runs.
#include <cstdio>

#include "g729_file.h"

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: g729_convert IN.sln OUT.g729\n");
        return kExitUsage;
    }
    if (const auto error = g729::convert_file(argv[1], argv[2])) {
        std::fprintf(stderr, "g729_convert: %s\n", error->c_str());
        return kExitFailed;
    }
    return 0;
}
