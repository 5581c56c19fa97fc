#pragma once

#include <string>

#include "log.h"

namespace moh {

// Whether a byte may stay in a path that goes into a shell command: ASCII letters, digits and
// "@#%-_=:./". Everything else, multi-byte characters included, is unsafe byte by byte.
bool is_safe_byte(unsigned char byte);

// The path with every unsafe byte replaced by "_"; same length.
std::string sanitised_copy(const std::string& path);

enum class SanitiseResult {
    kClean,         // nothing to do
    kRenamed,       // the file now has the safe name, and `path` holds it
    kRenameFailed,  // the entry must be skipped: its old name is unsafe, its new one absent
};

// Gives the file at `path` a name of safe bytes only, never replacing an existing file, and logs
// one line saying what it did.
SanitiseResult sanitise_path(std::string& path, Log& log);

}  // namespace moh
