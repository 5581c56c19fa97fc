// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/work_space.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <limits>
#include <mutex>

namespace moh {
namespace {

std::mutex claims_mutex;
std::int64_t claimed = 0;  // by the conversions running now

}  // namespace

std::int64_t spare_bytes(int dir) {
    struct statvfs fs {};
    if (::fstatvfs(dir, &fs) != 0 || fs.f_blocks == 0)
        return std::numeric_limits<std::int64_t>::max();
    const auto unit = static_cast<std::int64_t>(fs.f_frsize);
    const auto size = static_cast<std::int64_t>(fs.f_blocks) * unit;
    // What another account may still write, whatever root's own reserved blocks hold.
    const auto free = static_cast<std::int64_t>(fs.f_bavail) * unit;
    return free - std::max(static_cast<std::int64_t>(size * kReserveShare), kReserveFloor);
}

WorkSpaceClaim::WorkSpaceClaim(int dir, std::int64_t bytes) : bytes_(bytes) {
    const std::int64_t spare = spare_bytes(dir);
    const std::lock_guard<std::mutex> lock(claims_mutex);
    spare_ = std::max<std::int64_t>(spare - claimed, 0);
    granted_ = bytes_ <= spare_;
    if (granted_) claimed += bytes_;
}

WorkSpaceClaim::~WorkSpaceClaim() {
    if (!granted_) return;
    const std::lock_guard<std::mutex> lock(claims_mutex);
    claimed -= bytes_;
}

}  // namespace moh
