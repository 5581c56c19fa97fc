// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/stem_owners.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "formats/playable.h"
#include "library/being_written.h"
#include "library/sources.h"

namespace moh {
namespace {

const std::vector<std::string> kWavs = {".WAV", ".wav"};

}  // namespace

StemOwners::StemOwners(const Library& library, const Tools& tools, UpdateRecord* record,
                       std::vector<std::string> formats)
    : library_(library), tools_(tools), record_(record), formats_(std::move(formats)) {
    for (const SourceType& type : source_types()) {
        if (converted_here(type, tools))
            for (std::string& spelling : spellings(type.extension))
                source_spellings_.push_back(std::move(spelling));
    }
}

std::string StemOwners::first_source(int dir, const std::string& name,
                                     const std::string& before) const {
    return first_of(dir, name, before, source_spellings_);
}

std::string StemOwners::first_wav(int dir, const std::string& name,
                                  const std::string& before) const {
    return first_of(dir, name, before, kWavs);
}

std::string StemOwners::why_not_its_outputs(int dir, const Entry& entry, int source,
                                            const std::string& shown,
                                            const std::string& owner) const {
    const auto open_beside = [&](const std::string& name) {
        std::string reason;
        return library_.open_source(
            dir, name, entry.dir_relative.empty() ? name : entry.dir_relative + "/" + name, reason);
    };
    // That it is converted instead is said only when it will be, this run.
    const auto owned_by = [&](const std::string& other, const Fd& file) {
        return "; " + other +
               (converted_this_run(dir, other, file) ? " beside it is converted instead"
                                                     : " beside it has the same outputs");
    };
    if (!owner.empty()) return owned_by(owner, open_beside(owner));
    const std::string other = first_wav(dir, shown, shown);
    if (!other.empty()) {
        const Fd file = open_beside(other);
        if (file && judge_playable(other, file.get()).convertible) return owned_by(other, file);
    }
    if (record_ == nullptr) return {};
    const std::string stem = shown.substr(0, shown.rfind('.'));
    const std::string key = UpdateRecord::key_of(dir, entry.name);
    for (const std::string& format : formats_) {
        const std::string name = stem + "." + format;
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !record_->published(key, source, format, dir, name)) {
            return "; " + name + " beside it is not one this command made";
        }
    }
    return {};
}

bool StemOwners::converted_this_run(int dir, const std::string& other, const Fd& file) const {
    const SourceType* type = source_type(other);
    int error = 0;
    return file && tools_.sox && (type == nullptr || tools_.sox_reads(type->sox_type)) &&
           still_being_written(dir, other, error) == Writing::kNo;
}

std::string StemOwners::first_of(int dir, const std::string& name, const std::string& before,
                                 const std::vector<std::string>& extensions) {
    const std::string stem = name.substr(0, name.rfind('.'));
    for (const std::string& extension : extensions) {
        const std::string other = stem + extension;
        struct stat st {};
        if ((before.empty() || other < before) &&
            ::fstatat(dir, other.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
            return other;
    }
    return {};
}

}  // namespace moh
