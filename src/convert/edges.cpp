// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/edges.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <vector>

namespace moh {

int fade_out_end(int fd, int bits, int hz, double seconds, double before_end) {
    const int bytes = bits / 8;
    if (bytes < 1 || bytes > 4) return EINVAL;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    const off_t total = st.st_size / bytes;
    const off_t trail = std::min<off_t>(total, std::lround(hz * before_end));
    const off_t count = std::min<off_t>(total - trail, std::lround(hz * seconds));
    const off_t at = (total - trail - count) * bytes;
    std::vector<unsigned char> tail(static_cast<std::size_t>((count + trail) * bytes));
    errno = 0;  // a short read says nothing of its own
    if (::pread(fd, tail.data(), tail.size(), at) != static_cast<ssize_t>(tail.size()))
        return errno != 0 ? errno : EIO;
    // What follows the fade is silence, but for the resampler's ringing of the unfaded end.
    for (off_t i = 0; i < count + trail; ++i) {
        unsigned char* sample = tail.data() + i * bytes;
        std::uint32_t raw = 0;
        for (int b = 0; b < bytes; ++b) raw |= std::uint32_t{sample[b]} << (8 * b);
        // Sign-extended from its top bit.
        const int shift = 32 - bits;
        const std::int64_t value = static_cast<std::int32_t>(raw << shift) >> shift;
        // Reaches silence at the last sample, as sox's linear fade does.
        const auto faded =
            i >= count ? 0
                       : static_cast<std::int64_t>(std::lround(static_cast<double>(value) *
                                                               static_cast<double>(count - 1 - i) /
                                                               static_cast<double>(count)));
        for (int b = 0; b < bytes; ++b) sample[b] = static_cast<unsigned char>(faded >> (8 * b));
    }
    errno = 0;
    if (::pwrite(fd, tail.data(), tail.size(), at) != static_cast<ssize_t>(tail.size()))
        return errno != 0 ? errno : EIO;
    return 0;
}

}  // namespace moh
