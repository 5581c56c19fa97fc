// SPDX-License-Identifier: GPL-2.0-or-later
#include "asterisk/config.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr off_t kConfigLimit = 4 << 20;  // far more than any PBX's configuration

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

// The line without its comment; "\;" stands for a semicolon. `in_block` carries a ";-- --;"
// comment from line to line.
std::string uncommented(const std::string& line, bool& in_block) {
    std::string kept;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (in_block) {
            if (line.compare(i, 3, "--;") == 0) {
                in_block = false;
                i += 2;
            }
        } else if (line.compare(i, 3, ";--") == 0) {
            in_block = true;
            i += 2;
        } else if (line[i] == ';') {
            break;
        } else if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == ';') {
            kept += ';';
            ++i;
        } else {
            kept += line[i];
        }
    }
    return kept;
}

// The primary group and every group of `name` from the group database.
std::vector<gid_t> groups_of(const char* name, gid_t primary) {
    std::vector<gid_t> groups(NGROUPS_MAX);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(name, primary, groups.data(), &count) < 0) count = 1;
    groups.resize(static_cast<std::size_t>(count));
    groups.front() = primary;
    return groups;
}

}  // namespace

std::optional<std::string> ConfigSection::value(const std::string& key) const {
    std::optional<std::string> found;
    for (const auto& [name, text] : settings) {
        if (name == key) found = text;
    }
    return found;
}

std::optional<std::vector<ConfigSection>> read_asterisk_config(const std::string& path,
                                                               int& error) {
    const Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0) {
        error = errno;
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kConfigLimit) {
        error = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);

    std::vector<ConfigSection> sections;
    bool in_block = false;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = trimmed(uncommented(text.substr(start, end - start), in_block));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;  // #include and #exec: not followed
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close == std::string::npos) continue;
            ConfigSection section{trimmed(line.substr(1, close - 1)), false, {}};
            // "(!)" marks a template; other names in the parentheses are templates to inherit.
            const auto open = line.find('(', close);
            const auto shut = line.find(')', close);
            if (open != std::string::npos && shut != std::string::npos && shut > open) {
                const std::string options = line.substr(open + 1, shut - open - 1);
                for (std::size_t at = 0; at <= options.size();) {
                    const std::size_t comma = std::min(options.find(',', at), options.size());
                    const std::string option = trimmed(options.substr(at, comma - at));
                    at = comma + 1;
                    if (option == "!") {
                        section.is_template = true;
                        continue;
                    }
                    for (const ConfigSection& earlier : sections) {
                        if (earlier.name == option)
                            section.settings.insert(section.settings.end(),
                                                    earlier.settings.begin(),
                                                    earlier.settings.end());
                    }
                }
            }
            sections.push_back(std::move(section));
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos || sections.empty()) continue;
        std::string value = line.substr(equals + 1);
        if (!value.empty() && value.front() == '>') value.erase(0, 1);  // "key => value"
        sections.back().settings.emplace_back(trimmed(line.substr(0, equals)), trimmed(value));
    }
    return sections;
}

std::optional<AsteriskAccount> asterisk_account(const std::string& path) {
    std::optional<std::string> user, run_group_name;
    int error = 0;
    if (const auto sections = read_asterisk_config(path, error)) {
        for (const ConfigSection& section : *sections) {
            if (section.name != "options") continue;
            if (auto value = section.value("runuser")) user = value;
            if (auto value = section.value("rungroup")) run_group_name = value;
        }
    }
    const bool named = user && !user->empty();
    if (!named) user = "asterisk";
    const passwd* account = ::getpwnam(user->c_str());
    if (account == nullptr) return std::nullopt;
    AsteriskAccount found{account->pw_name, account->pw_uid, {}, named};
    // Asterisk drops every other group when it is given a run group.
    const struct group* run_group =
        run_group_name && !run_group_name->empty() ? ::getgrnam(run_group_name->c_str()) : nullptr;
    if (run_group != nullptr)
        found.groups = {run_group->gr_gid};
    else
        found.groups = groups_of(found.name.c_str(), account->pw_gid);
    return found;
}

bool AsteriskAccount::may(const struct stat& st, mode_t bits) const {
    if (uid == 0) return true;
    int shift = 0;
    if (st.st_uid == uid)
        shift = 6;
    else if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
        shift = 3;
    return ((st.st_mode >> shift) & bits) == bits;
}

std::string access_text(const struct stat& st) {
    const passwd* user = ::getpwuid(st.st_uid);
    std::string text = format_text("mode %04o, owner ", st.st_mode & 07777);
    text += user != nullptr ? user->pw_name : std::to_string(st.st_uid);
    const group* owning = ::getgrgid(st.st_gid);
    return text + ", group " + (owning != nullptr ? owning->gr_name : std::to_string(st.st_gid));
}

std::string why_unreadable(const AsteriskAccount& reader, const struct stat& file,
                           const struct stat& folder, const std::string& folder_path) {
    if (!reader.may(folder, S_IXOTH)) return "in " + folder_path + ", " + access_text(folder);
    return reader.may(file, S_IROTH) ? std::string() : access_text(file);
}

std::string asterisk_data_dir(const std::string& path) {
    int error = 0;
    std::string dir = "/var/lib/asterisk";
    if (const auto sections = read_asterisk_config(path, error)) {
        for (const ConfigSection& section : *sections) {
            if (section.name != "directories") continue;
            if (auto value = section.value("astdatadir"); value && !value->empty()) dir = *value;
        }
    }
    return dir;
}

bool is_files_class(const ConfigSection& section) {
    return !section.is_template && section.name != "general" &&
           section.value("mode").value_or("files") == "files";
}

std::string class_folder(const ConfigSection& section, const std::string& data_dir) {
    std::string dir = section.value("directory").value_or("");
    if (!dir.empty() && dir.front() != '/') dir = data_dir + "/" + dir;
    return dir;
}

}  // namespace moh
