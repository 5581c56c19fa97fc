#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "convert/chain.h"

namespace moh {

// What --update remembers between runs: for each MP3 whose last conversion succeeded entirely,
// the MP3 and the six outputs as they were then, and the recipe they were made with. It lives
// root-only outside the library and is replaced in one step. Safe to use from several jobs.
class UpdateRecord {
  public:
    // The conversion commands and the converter program, as one text: a change in either makes
    // every earlier conversion stale.
    static std::string recipe(const std::string& converter_path);

    // Reads the record in `dir`. A missing record is empty; an unreadable or corrupt one is
    // empty too, and `warning` says why.
    UpdateRecord(std::string dir, std::string recipe, std::string& warning);

    // Whether the MP3 at `relative` (to the library), open as `mp3`, still has the outputs its
    // last complete conversion published in `dir`. A current entry is carried into the next
    // record.
    bool current(const std::string& relative, int mp3, int dir, const std::string& stem);

    // Notes a conversion's outcome: a complete one of an MP3 that stayed `opened` all along is
    // remembered, any other forgotten.
    void converted(const std::string& relative, int mp3, const FileIdentity& opened,
                   const ConversionResult& result);

    // Writes the record of this run: what was current or converted now. Returns 0 or errno.
    int save() const;

  private:
    struct Entry {
        FileIdentity mp3;
        std::vector<FileIdentity> outputs;  // in the order of kOutputFormats
    };

    std::string dir_;
    std::string recipe_;
    std::map<std::string, Entry> before_;
    std::map<std::string, Entry> now_;
    mutable std::mutex mutex_;
};

}  // namespace moh
