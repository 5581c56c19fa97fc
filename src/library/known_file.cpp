// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/known_file.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

std::string encode_identity(const FileIdentity& file) {
    return format_text("%ju:%ju:%jd:%jd:%ld:%jd:%ld", static_cast<uintmax_t>(file.device),
                       static_cast<uintmax_t>(file.inode), static_cast<intmax_t>(file.size),
                       static_cast<intmax_t>(file.modified.tv_sec), file.modified.tv_nsec,
                       static_cast<intmax_t>(file.changed.tv_sec), file.changed.tv_nsec);
}

bool decode_identity(const std::string& text, FileIdentity& file) {
    uintmax_t device, inode;
    intmax_t size, modified, changed;
    long modified_ns, changed_ns;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%ju:%ju:%jd:%jd:%ld:%jd:%ld%n", &device, &inode, &size,
                    &modified, &modified_ns, &changed, &changed_ns, &consumed) != 7 ||
        static_cast<std::size_t>(consumed) != text.size()) {
        return false;
    }
    file = {static_cast<dev_t>(device),
            static_cast<ino_t>(inode),
            static_cast<off_t>(size),
            {static_cast<time_t>(modified), modified_ns},
            {static_cast<time_t>(changed), changed_ns}};
    return true;
}

}  // namespace

std::string KnownFile::encode() const {
    std::string text = encode_identity(identity) + ",";
    if (digest) {
        // By hand: a record holds thousands of digests, and a formatted write of each byte
        // would be most of the time an idle run takes.
        static constexpr char kHex[] = "0123456789abcdef";
        for (const std::uint8_t byte : *digest) {
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        }
    }
    return text;
}

bool KnownFile::decode(const std::string& text, KnownFile& file) {
    const auto comma = text.find(',');
    file.digest.reset();
    // A record of the previous version has the status alone.
    if (comma == std::string::npos) return decode_identity(text, file.identity);
    const std::string hex = text.substr(comma + 1);
    if (!decode_identity(text.substr(0, comma), file.identity)) return false;
    if (hex.empty()) return true;
    if (hex.size() != 2 * SHA256_DIGEST_SIZE) return false;
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    file.digest.emplace();
    for (std::size_t i = 0; i < file.digest->size(); ++i) {
        const int high = nibble(hex[2 * i]), low = nibble(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*file.digest)[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

Digest content_digest(int fd, off_t size) {
    sha256_ctx context;
    sha256_init(&context);
    char buffer[64 * 1024];
    for (off_t offset = 0; offset < size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<off_t>(size - offset, sizeof buffer));
        const ssize_t got = ::pread(fd, buffer, want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        sha256_update(&context, static_cast<std::size_t>(got),
                      reinterpret_cast<const std::uint8_t*>(buffer));
        offset += got;
    }
    Digest digest{std::in_place};
    sha256_digest(&context, digest->size(), digest->data());
    return digest;
}

bool still_known(KnownFile& known, int fd, const struct stat& now) {
    const FileIdentity identity = FileIdentity::of(now);
    if (identity == known.identity) return true;
    // Only a file of the same length can hold the same bytes: nothing else is read.
    if (!known.digest || !S_ISREG(now.st_mode) || now.st_size != known.identity.size ||
        content_digest(fd, now.st_size) != known.digest) {
        return false;
    }
    struct stat after {};
    // Written to while it was read: not the content just compared.
    if (::fstat(fd, &after) != 0 || !(FileIdentity::of(after) == identity)) return false;
    known.identity = identity;
    return true;
}

bool still_known_at(KnownFile& known, int dir, const std::string& name) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (FileIdentity::of(st) == known.identity) return true;
    const Fd file(
        ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    return file && ::fstat(file.get(), &st) == 0 && still_known(known, file.get(), st);
}

}  // namespace moh
