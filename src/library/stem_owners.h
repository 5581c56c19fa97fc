// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <vector>

#include "convert/tools.h"
#include "library/entries.h"
#include "library/library.h"
#include "library/update_record.h"
#include "process/fd.h"

namespace moh {

// Sources of one stem write the same output names: which of them holds the names, and how a
// source that may not have them says why. Of the sources this run converts, the first of their
// types in order of precedence, then in byte order, holds them; a WAV Asterisk cannot play
// comes after them, ".WAV" before ".wav".
class StemOwners {
  public:
    // `formats`: the outputs this run makes; `record` may be null (no record is kept).
    StemOwners(const Library& library, const Tools& tools, UpdateRecord* record,
               std::vector<std::string> formats);

    // The first source of `name`'s stem standing in `dir` (a regular file or a link), before
    // `before` in byte order ("" for any); empty when there is none.
    std::string first_source(int dir, const std::string& name, const std::string& before) const;
    // The same among the WAVs of its stem.
    std::string first_wav(int dir, const std::string& name, const std::string& before) const;

    // Why the convertible WAV `entry`, open as `source` and shown as `shown`, may not have the
    // output names of its stem, as the end of its line; empty when it may: no other source
    // (`owner`) or earlier WAV of its stem converts there, and every output that stands there is
    // one this command made of it.
    std::string why_not_its_outputs(int dir, const Entry& entry, int source,
                                    const std::string& shown, const std::string& owner) const;

    // Whether the source `other` in `dir`, open as `file`, goes to conversion this run, so that
    // another source of its stem may say it is converted instead.
    bool converted_this_run(int dir, const std::string& other, const Fd& file) const;

  private:
    static std::string first_of(int dir, const std::string& name, const std::string& before,
                                const std::vector<std::string>& extensions);

    const Library& library_;
    Tools tools_;
    UpdateRecord* record_;
    std::vector<std::string> formats_;
    std::vector<std::string> source_spellings_;  // the extensions of sources converted, in order
};

}  // namespace moh
