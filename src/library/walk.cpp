// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "convert/chain.h"
#include "convert/jobs.h"
#include "convert/tools.h"
#include "convert/work_dir.h"
#include "formats/outputs.h"
#include "formats/playable.h"
#include "library/being_written.h"
#include "library/entries.h"
#include "library/library.h"
#include "library/listing.h"
#include "library/prune.h"
#include "library/renamed_folders.h"
#include "library/renamer.h"
#include "library/sources.h"
#include "library/stem_owners.h"
#include "library/update_record.h"
#include "process/interrupt.h"
#include "process/progress.h"

namespace moh {
namespace {

const char* ignored_reason(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return "no such file or directory";
        case ELOOP:
            return "through a link";
        default:
            return std::strerror(error);
    }
}

// The local date of `when`, as an administrator reads it.
std::string day_of(std::time_t when) {
    struct tm local {};
    char text[32] = "";
    if (::localtime_r(&when, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

class Walker {
  public:
    Walker(const Context& context, const Library& library, ListedEntries& entries, int work_dir,
           UpdateRecord* record, JobPool* pool, Tools tools, Pruner* pruner)
        : context_(context),
          library_(library),
          entries_(entries),
          work_dir_(work_dir),
          record_(record),
          pool_(pool),
          tools_(tools),
          pruner_(pruner),
          dry_run_(context.options.dry_run),
          renamer_(library.path(), dry_run_, record),
          owners_(library, tools, record, run_formats(context.options.extra_formats)) {
        if (auto account = asterisk_account(context.settings.asterisk_dir + "/asterisk.conf");
            account && account->named)
            reader_ = std::move(account);
    }

    // False when the run was interrupted.
    bool walk() {
        Entry entry;
        while (entries_.next(entry)) {
            if (interrupt_signal() != 0) return false;
            if (!walk_entry(entry)) return false;
            log();  // an entry that said nothing else still says its name was left alone
        }
        return true;
    }

    int converted() const { return converted_; }
    int converted_others() const { return converted_others_; }
    int renamed() const { return renamer_.renamed(); }
    int removed() const { return removed_; }
    int failed_mp3s() const { return failed_mp3s_.load(); }
    int failed_others() const { return failed_others_.load(); }
    int published() const { return published_.load(); }
    int up_to_date() const { return up_to_date_; }
    // Whether conversions stopped early, so that MP3s went unexamined.
    bool stopped_converting() const { return !tools_.sox_mp3 || no_space_.load(); }
    // Sources whose conversion ended, or that were found current.
    int done() const { return finished_.load() + up_to_date_ + still_failing_; }

  private:
    // With jobs, the walk's lines wait for the lines of the MP3s before them. Under -u an
    // entry's "Leave the name" waits until the entry turns out to need something.
    Log& log() {
        Log& log = pool_ ? pool_->log() : context_.log;
        if (!left_alone_.empty()) log.info("%s", left_alone_.c_str());
        left_alone_.clear();
        return log;
    }

    std::string full(const std::string& relative) const { return library_.path() + "/" + relative; }

    // False when the run was interrupted.
    bool walk_entry(Entry& entry) {
        if (!entry.inside) {
            log().problem("Ignoring listing line %s -- not under %s\n", entry.line.c_str(),
                          library_.path().c_str());
            return true;
        }
        if (entry.error != 0) {
            log().problem("Ignoring listing line %s -- %s\n", entry.line.c_str(),
                          ignored_reason(entry.error));
            return true;
        }
        // The folder's own line said it all; find never enters one, but a listing can be forged.
        if (in_hidden_folder(entry.dir_relative)) return true;
        // Asterisk never plays them, and macOS leaves "._" files of its own beside uploads.
        if (entry.name.front() == '.') {
            log().info("Leave the hidden %s %s alone\n",
                       S_ISDIR(entry.st.st_mode) ? "folder" : "file",
                       full(entry.relative()).c_str());
            return true;
        }
        const int dir = entry.dir->get();
        // Renamed, replacing an earlier upload, or converted, a fragment would be all that is left.
        if (S_ISREG(entry.st.st_mode) &&
            (source_type(entry.name) != nullptr || is_wav_name(entry.name))) {
            int error = 0;
            const Writing writing = still_being_written(dir, entry.name, error);
            if (writing != Writing::kNo && record_ != nullptr)
                record_->keep(UpdateRecord::key_of(dir, entry.name));
            switch (writing) {
                case Writing::kNo:
                    break;
                case Writing::kYes:
                    log().info("Leave %s for the next run -- it is still being written\n",
                               full(entry.relative()).c_str());
                    return true;
                case Writing::kUnknown:
                    log().problem(
                        "Leave %s for the next run -- whether it is still being written "
                        "cannot be told: %s\n",
                        full(entry.relative()).c_str(), std::strerror(error));
                    return true;
            }
        }
        const bool update = context_.options.update && record_ != nullptr;
        if (update && own_output(dir, entry)) return true;
        std::string shown;
        if (!renamer_.give_safe_name(log(), dir, entry.dir_relative, entry.name, shown, entry.st,
                                     update ? &left_alone_ : nullptr))
            return true;
        const std::string dir_path =
            entry.dir_relative.empty() ? library_.path() : full(entry.dir_relative);
        const std::string path = dir_path + "/" + shown;
        const std::string relative = entry.dir_relative.empty() ? entry.name : entry.relative();
        std::string reason;
        const SourceType* type = source_type(shown);
        if (type == nullptr) {
            Fd file;
            // What cannot be looked at safely (a folder, a link out) is left as it is.
            if (S_ISDIR(entry.st.st_mode) || shown.back() == '.' ||
                !(file = library_.open_source(dir, entry.name, relative, reason))) {
                return skipping(shown);
            }
            const std::string owner = owners_.first_source(dir, shown, "");
            const bool wav = is_wav_name(shown);
            // An output whose source is gone may stand beside a new source of its stem. Ours, it
            // is sox's own output: there is nothing to judge.
            if (!wav && pruner_ != nullptr &&
                pruner_->consider(dir, entry.dir_relative, entry.name, entry.st))
                return skipping(shown);
            // Headerless files beside a source are its conversion's outputs, made by sox.
            if (!wav && (!owner.empty() || !owners_.first_wav(dir, shown, "").empty()))
                return skipping(shown);
            const Playability playability = judge_playable(shown, file.get());
            if (playability.plays) {
                // Its outputs, of the audio it held when it needed converting, would be played
                // instead of it.
                if (wav && record_ != nullptr)
                    removed_ += remove_outputs(*record_, log(), dir, dir_path,
                                               UpdateRecord::key_of(dir, entry.name), shown,
                                               OutputsRemoved::kAll, dry_run_);
                return skipping(shown);
            }
            std::string instead;
            if (playability.convertible)
                instead = owners_.why_not_its_outputs(dir, entry, file.get(), shown, owner);
            if (!playability.convertible || !instead.empty()) {
                log().problem("Not playable by Asterisk: %s -- %s%s\n", path.c_str(),
                              playability.reason.c_str(), instead.c_str());
                return true;
            }
            return convert_source({dir, std::move(file), shown, dir_path, entry.name, ""},
                                  playability.reason);
        }
        const bool readable = converted_here(*type, tools_);
        if (readable) show_progress(path.substr(library_.path().size() + 1));
        Fd source = library_.open_source(dir, entry.name, relative, reason);
        if (!source) {
            log().problem("Not converting %s -- %s\n", path.c_str(), reason.c_str());
            return true;
        }
        if (!readable) {
            log().problem(
                "Not converting %s -- sox cannot read %s here; convert it to MP3, FLAC or WAV\n",
                path.c_str(), shown.substr(shown.size() - type->extension.size() - 1).c_str());
            return true;
        }
        if (const std::string first = owners_.first_source(dir, entry.name, "");
            !first.empty() && first != entry.name) {
            const std::string at =
                entry.dir_relative.empty() ? first : entry.dir_relative + "/" + first;
            const bool converted = owners_.converted_this_run(
                dir, first, library_.open_source(dir, first, at, reason));
            log().problem("Not converting %s -- %s beside it %s\n", path.c_str(), first.c_str(),
                          converted ? "is converted to the same names" : "has the same outputs");
            return true;
        }
        return convert_source(
            {dir, std::move(source), shown, dir_path, entry.name, std::string(type->sox_type)}, "");
    }

    static bool in_hidden_folder(const std::string& relative) {
        return !relative.empty() &&
               (relative.front() == '.' || relative.find("/.") != std::string::npos);
    }

    // A current source's outputs stay as unreadable to Asterisk as when they were made: said
    // every run, as at their making, until someone changes their group or mode.
    void say_if_unreadable(int dir, const std::string& dir_path, const std::string& stem) {
        struct stat folder {};
        if (::fstat(dir, &folder) != 0) return;
        for (const std::string& format : run_formats(context_.options.extra_formats)) {
            struct stat file {};
            const std::string name = stem + "." + format;
            if (::fstatat(dir, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (const std::string why = why_unreadable(*reader_, file, folder, dir_path);
                !why.empty()) {
                log().problem("Not readable by %s: %s/%s -- %s\n", reader_->name.c_str(),
                              dir_path.c_str(), name.c_str(), why.c_str());
                return;
            }
        }
    }

    void show_progress(const std::string& relative) {
        if (context_.progress != nullptr) context_.progress->show(++reached_, relative);
    }

    // Whether the entry is an output this command made of the source of its stem beside it: under
    // -u it needs nothing, and says nothing.
    bool own_output(int dir, const Entry& entry) {
        const std::string& name = entry.name;
        const auto dot = name.rfind('.');
        if (!S_ISREG(entry.st.st_mode) || dot == std::string::npos || dot == 0 ||
            !is_output_format(std::string_view(name).substr(dot + 1)))
            return false;
        std::string source = owners_.first_source(dir, name, "");
        if (source.empty()) source = owners_.first_wav(dir, name, "");
        if (source.empty()) return false;
        const std::string key = UpdateRecord::key_of(dir, source);
        // Once its source is reached, a job may be replacing it: the walk's answer must not
        // depend on how far the job got.
        if (reached_sources_.count(key) == 0 &&
            !record_->still_output(key, name.substr(dot + 1), dir, name))
            return false;
        if (pruner_ != nullptr) pruner_->consider(dir, entry.dir_relative, entry.name, entry.st);
        return true;
    }

    bool skipping(const std::string& name) {
        log().info(
            "skipping non-mp3 file conversion of %s-- must already be asterisk compatible!\n",
            name.c_str());
        return true;
    }

    // A file to convert into the outputs beside it.
    struct Source {
        int dir;
        Fd fd;
        std::string shown;     // its name as the log gives it
        std::string dir_path;  // its directory as the log gives it
        std::string name;      // its name on disk now
        std::string type;      // what sox calls it; empty: a WAV that Asterisk cannot play
    };

    // `unplayable`: why a WAV does not play as it is. False when the run was interrupted.
    bool convert_source(Source source, const std::string& unplayable) {
        const bool mp3 = source.type == "mp3";
        const bool wav = source.type.empty();
        if (!tools_.sox || (mp3 && !tools_.sox_mp3) || no_space_.load()) return true;
        const std::string& shown = source.shown;
        const std::string path = source.dir_path + "/" + shown;
        const std::string stem = shown.substr(0, shown.rfind('.'));
        struct stat where {};
        ::fstat(source.dir, &where);
        const std::string outputs =
            std::to_string(where.st_dev) + ":" + std::to_string(where.st_ino) + "/" + stem;
        // Forged listing lines may name a source twice: its outputs are made once a run.
        if (!converted_outputs_.insert(outputs).second) return true;
        const std::string key = UpdateRecord::key_of(source.dir, source.name);
        reached_sources_.insert(key);
        if (wav) show_progress(path.substr(library_.path().size() + 1));
        // A nightly run over a current library stays quiet.
        if (context_.options.update && record_ != nullptr &&
            record_->current(key, source.fd.get(), source.dir, stem)) {
            left_alone_.clear();
            ++up_to_date_;
            if (reader_) say_if_unreadable(source.dir, source.dir_path, stem);
            return true;
        }
        // A file sox could not read fails the same way every night until someone replaces it.
        if (const auto failed = context_.options.update && record_ != nullptr
                                    ? record_->failed_before(key, source.fd.get())
                                    : std::nullopt) {
            log().problem("Still cannot convert %s -- unchanged since it failed on %s\n",
                          path.c_str(), day_of(*failed).c_str());
            ++still_failing_;
            return true;
        }
        // Older outputs of formats no longer made would go on playing the old audio.
        if (record_ != nullptr)
            removed_ += remove_outputs(*record_, log(), source.dir, source.dir_path, key, shown,
                                       OutputsRemoved::kUnmade, dry_run_);
        // A WAV converted well needs no one: its line is not a problem.
        if (wav) {
            log().info("Not playable by Asterisk as it is: %s -- %s; converting it\n", path.c_str(),
                       unplayable.c_str());
        }
        ++(mp3 ? converted_ : converted_others_);
        if (dry_run_) {
            log().info("Would convert %s\n", path.c_str());
            return true;
        }
        struct stat opened {};
        ::fstat(source.fd.get(), &opened);
        const Mp3 job{source.dir,      source.fd.get(), shown,          stem,
                      source.dir_path, ++jobs_,         opened.st_size, source.type};
        const FileIdentity identity = FileIdentity::of(opened);
        log();
        if (pool_ == nullptr) return convert(job, key, identity, mp3, context_.log);

        // The job owns copies of the descriptors; the walk goes on with its own.
        auto owned = std::make_shared<std::pair<Fd, Fd>>(
            Fd(::fcntl(source.dir, F_DUPFD_CLOEXEC, 0)), std::move(source.fd));
        pool_->submit(outputs, [this, job, owned, identity, key, mp3](Log& log) {
            Mp3 own = job;
            own.dir = owned->first.get();
            own.fd = owned->second.get();
            convert(own, key, identity, mp3, log);
        });
        return true;
    }

    // False when the run was interrupted.
    // `is_mp3`: the source is an MP3, counted apart from the rest.
    bool convert(const Mp3& mp3, const std::string& key, const FileIdentity& identity, bool is_mp3,
                 Log& log) {
        // A full library fails every conversion after it: one line says so, and the rest wait.
        if (no_space_.load()) return true;
        double volume = 1.0;
        ChainContext chain{context_.settings, log, context_.runner, work_dir_};
        chain.converter_ok = tools_.converter;
        chain.extras = context_.options.extra_formats;
        chain.g729_ok = tools_.g729;
        chain.level = context_.options.level;
        chain.reader = reader_ ? &*reader_ : nullptr;
        chain.seamless = context_.options.seamless;
        const ConversionResult result = convert_mp3(mp3, volume, chain);
        if (result.interrupted) return false;
        if (record_ != nullptr)
            record_->converted(key, mp3.fd, identity, mp3.dir, mp3.stem, result);
        ++finished_;
        if (!result.complete) ++(is_mp3 ? failed_mp3s_ : failed_others_);
        if (!result.outputs.empty()) ++published_;
        if (result.no_space && !no_space_.exchange(true))
            log.failure("No space left in the library; conversions stop here\n");
        return true;
    }

    const Context& context_;
    const Library& library_;
    ListedEntries& entries_;
    int work_dir_;
    UpdateRecord* record_;
    JobPool* pool_;
    Tools tools_;
    Pruner* pruner_;
    bool dry_run_;
    Renamer renamer_;
    StemOwners owners_;
    int removed_ = 0;           // outputs removed outside pruning
    int still_failing_ = 0;     // sources left as they failed before
    int reached_ = 0;           // sources the progress line has shown
    int converted_ = 0;         // MP3s sent to conversion
    int converted_others_ = 0;  // files Asterisk could not play, sent to conversion
    int jobs_ = 0;              // conversions; numbers each one's private directory
    // The account asterisk.conf names, which must be able to read what is published.
    std::optional<AsteriskAccount> reader_;
    std::set<std::string> converted_outputs_;  // a folder's identity and a stem, a run
    std::set<std::string> reached_sources_;    // sources current or sent to conversion, by key
    std::string left_alone_;                   // the entry's "Leave the name" line, held under -u
    int up_to_date_ = 0;
    std::atomic<int> finished_{0};
    std::atomic<int> failed_mp3s_{0};
    std::atomic<int> failed_others_{0};
    std::atomic<int> published_{0};  // conversions that published at least one output
    std::atomic<bool> no_space_{false};
};

}  // namespace

WalkResult run_walk(const Context& context) {
    const Settings& settings = context.settings;
    Log& log = context.log;
    const Library library(settings.library_dir);
    if (!library.ok()) {
        const std::string reason =
            library.foreign_link().empty()
                ? std::strerror(library.error())
                : library.foreign_link() + " is a link that root does not own";
        log.failure("Couldn't open the library %s: %s\n", settings.library_dir.c_str(),
                    reason.c_str());
        return {kExitNoListing};
    }
    const RunOptions& options = context.options;
    std::optional<WorkDir> work;
    if (!options.dry_run) {
        work.emplace(settings.work_dir);
        if (work->error() != 0) {
            log.failure("Couldn't make the work directory %s: %s\n", settings.work_dir.c_str(),
                        std::strerror(work->error()));
            return {kExitNoListing};
        }
    }

    log.flush();
    std::string failure;
    Fd listing = make_listing(settings, library.fd(), context.runner, failure);
    if (!listing) {
        if (failure.empty()) return {0, true};
        log.failure("%s\n", failure.c_str());
        return {kExitNoListing};
    }
    const std::string deep = first_directory_past_depth(settings, library.fd(), context.runner);
    if (!deep.empty())
        log.problem("Not descending below %d levels: %s\n", kListingDepth, deep.c_str());
    const ListedSources sources = count_sources(listing.get(), library.path());
    const Tools tools = sources.mp3 + sources.wav + sources.other > 0
                            ? check_tools(settings, options.extra_formats, context.runner, log)
                            : Tools{};
    const int to_convert = count_to_convert(library, listing.get(), tools);
    if (context.progress != nullptr) context.progress->start(to_convert);

    ListingReader reader(std::move(listing));
    ListedEntries entries(library, reader);
    std::string warning;
    const std::vector<std::string> formats = run_formats(options.extra_formats);
    std::string upgraded;
    UpdateRecord record(settings.state_dir, library.fd(), library.path(), options.library.empty(),
                        UpdateRecord::recipe(settings, formats, options.level, options.seamless),
                        formats, warning, upgraded);
    if (options.update && !warning.empty()) {
        log.problem("Couldn't use the update record %s; converting everything\n", warning.c_str());
    }
    if (options.update && !upgraded.empty())
        log.info("The update record %s; converting everything once\n", upgraded.c_str());
    // Said once: the record that knows of them is replaced by this run's.
    for (const auto& [old_path, new_path] :
         folders_renamed_before(library, record.first_version_folders(), settings.asterisk_dir)) {
        log.problem(
            "The folder %s was renamed to %s by version 0.1.0; musiconhold.conf may still "
            "name %s\n",
            old_path.c_str(), new_path.c_str(), old_path.c_str());
    }
    std::optional<Pruner> pruner;
    if (options.prune) pruner.emplace(library, record, options.dry_run);
    std::optional<JobPool> pool;
    if (options.jobs > 1 && !options.dry_run) pool.emplace(options.jobs, log);
    Walker walker(context, library, entries, work ? work->fd() : -1, &record,
                  pool ? &*pool : nullptr, tools, pruner ? &*pruner : nullptr);
    const bool walked = walker.walk();
    if (pool) pool->finish();
    const bool interrupted = !walked || interrupt_signal() != 0;
    int unmade = 0;
    const int pruned = pruner && !interrupted ? pruner->prune(log, unmade) : 0;
    if (!options.dry_run) {
        // What went unexamined keeps what the record knew of it.
        const int error = record.save(interrupted || walker.stopped_converting());
        if (error != 0 && options.update) {
            log.failure("Couldn't write the update record in %s: %s\n", settings.state_dir.c_str(),
                        std::strerror(error));
        }
    }
    WalkResult result{0, interrupted, to_convert, walker.done()};
    if (interrupted) return result;

    if (options.dry_run) {
        log.info("Would convert %d mp3 files\n", walker.converted());
        if (walker.converted_others() > 0) {
            log.info("Would convert %d files Asterisk could not play\n", walker.converted_others());
        }
        log.info("Would change the names of %d files\n", walker.renamed());
    } else {
        // Each count of failures sits under the count it is part of.
        const auto failures = [&log](int failed) {
            if (failed > 0)
                log.info("%d of them could not be converted; see the lines above\n", failed);
        };
        log.info("Found and converted %d mp3 files\n", walker.converted());
        failures(walker.failed_mp3s());
        if (walker.converted_others() > 0) {
            log.info("Converted %d files Asterisk could not play\n", walker.converted_others());
            failures(walker.failed_others());
        }
        log.info("CHanged name of %d files\n", walker.renamed());
    }
    if (options.update) log.info("%d sources up to date\n", walker.up_to_date());
    log.info("Now, to the db....\n");
    if (pruned > 0) {
        log.info("%s %d outputs whose source is gone\n",
                 options.dry_run ? "Would remove" : "Removed", pruned);
    }
    // Asterisk reloads only for a library that changed.
    if (options.reload && !options.dry_run &&
        walker.published() + walker.renamed() + pruned + unmade + walker.removed() > 0) {
        log.info("Reloading music on hold\n");
        run_and_report({{"asterisk", "-rx", "moh reload"}, {}},
                       {settings, log, context.runner, -1});
    }
    if (log.had_problems()) result.status = kExitProblems;
    return result;
}

}  // namespace moh
