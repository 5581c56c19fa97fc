// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>

namespace moh {

// Room kept free on the work directory's filesystem for everyone else who writes there: at
// least a tenth of it, and at least 256 MiB.
constexpr double kReserveShare = 0.10;
constexpr std::int64_t kReserveFloor = std::int64_t{256} << 20;

// Bytes free beyond the reserve on the filesystem of the directory `dir`, below 0 once the
// reserve is cut into; INT64_MAX when the filesystem cannot say.
std::int64_t spare_bytes(int dir);

// The work space one conversion expects to take, held while it runs, so that conversions that run
// side by side do not count the same spare room each.
class WorkSpaceClaim {
  public:
    // Claims `bytes` in the work directory `dir`, if what it can spare beyond every other claim
    // holds them. Check granted().
    WorkSpaceClaim(int dir, std::int64_t bytes);
    WorkSpaceClaim(const WorkSpaceClaim&) = delete;
    WorkSpaceClaim& operator=(const WorkSpaceClaim&) = delete;
    ~WorkSpaceClaim();

    bool granted() const { return granted_; }
    // What could be spared beyond the other claims when this one was made, at least 0.
    std::int64_t spare() const { return spare_; }

  private:
    std::int64_t bytes_;
    std::int64_t spare_ = 0;
    bool granted_ = false;
};

}  // namespace moh
