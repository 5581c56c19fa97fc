// SPDX-License-Identifier: GPL-2.0-or-later
// A library writer racing the run: plants a FIFO, an empty file or a symbolic link at each name
// in turn, each in one rename over whatever stands there, over and over until killed (or after
// a minute, so that a failed test leaves nothing behind).
// Usage: replant DIR NAME=fifo|NAME=file|NAME=link:TARGET...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
    const int dir = argc > 2 ? open(argv[1], O_PATH | O_DIRECTORY) : -1;
    if (dir < 0) {
        std::fprintf(stderr, "usage: replant DIR NAME=fifo|NAME=file|NAME=link:TARGET...\n");
        return 2;
    }
    char spare[64];
    std::snprintf(spare, sizeof spare, ".replant-%d", static_cast<int>(getpid()));
    for (const std::time_t end = std::time(nullptr) + 60; std::time(nullptr) < end;) {
        for (int i = 2; i < argc; ++i) {
            char name[4096];
            std::snprintf(name, sizeof name, "%s", argv[i]);
            char* kind = std::strchr(name, '=');
            if (kind == nullptr) return 2;
            *kind++ = '\0';
            unlinkat(dir, spare, 0);
            int made = -1;
            if (std::strncmp(kind, "link:", 5) == 0) {
                made = symlinkat(kind + 5, dir, spare);
            } else if (std::strcmp(kind, "fifo") == 0) {
                made = mkfifoat(dir, spare, 0666);
            } else if (const int fd = openat(dir, spare, O_WRONLY | O_CREAT | O_EXCL, 0666); fd >= 0) {
                made = close(fd);
            }
            if (made != 0 || renameat(dir, spare, dir, name) != 0) {
                std::perror(name);
                return 1;
            }
        }
    }
    return 0;
}
