// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace moh {

// One section of an Asterisk configuration file, with the settings of the templates it names
// first, as Asterisk reads it.
struct ConfigSection {
    std::string name;
    bool is_template = false;  // "[name](!)": no section of its own
    std::vector<std::pair<std::string, std::string>> settings;

    // The last value of `key`, as a later line overrides an earlier one; nothing when unset.
    std::optional<std::string> value(const std::string& key) const;
};

// The sections of the configuration file at `path`, which is only read, and never waited on. On
// failure, nothing, and `error` is the errno (EINVAL for what is no regular file, EFBIG for a
// file no configuration fills).
std::optional<std::vector<ConfigSection>> read_asterisk_config(const std::string& path, int& error);

// The account Asterisk runs as, by which it opens its music.
struct AsteriskAccount {
    std::string name;
    uid_t uid = 0;
    std::vector<gid_t> groups;  // the gid it runs with first
    bool named = false;         // asterisk.conf names it, rather than it being the usual one

    // Whether it has all of `bits` (as S_I?OTH) on a file of status `st`, by its mode bits.
    bool may(const struct stat& st, mode_t bits) const;
};

// The account from asterisk.conf at `path` ("runuser" and "rungroup" under [options]), as
// Asterisk takes them on: the run group alone when one is named, else the user's groups. Without
// a readable runuser, the account "asterisk"; nothing when there is no such account.
std::optional<AsteriskAccount> asterisk_account(const std::string& path);

// A file's access as a person reads it: "mode 0640, owner alice, group asterisk".
std::string access_text(const struct stat& st);

// Why `reader` cannot read a file of status `file` in the folder `folder_path` of status
// `folder`: "in FOLDER, " and the folder's access where it cannot enter it, else the file's own
// access; empty when it can read it.
std::string why_unreadable(const AsteriskAccount& reader, const struct stat& file,
                           const struct stat& folder, const std::string& folder_path);

// Where Asterisk looks for a class's relative directory=: astdatadir under [directories] in
// asterisk.conf at `path`, /var/lib/asterisk by default.
std::string asterisk_data_dir(const std::string& path);

// Whether `section` of musiconhold.conf is a class that plays the files of a folder.
bool is_files_class(const ConfigSection& section);

// The folder such a class plays, as Asterisk opens it: a relative directory= lies under
// `data_dir`. Empty when it names none.
std::string class_folder(const ConfigSection& section, const std::string& data_dir);

}  // namespace moh
