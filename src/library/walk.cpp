#include "library/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "convert/chain.h"
#include "convert/jobs.h"
#include "convert/work_dir.h"
#include "library/library.h"
#include "library/listing.h"
#include "library/sanitise.h"
#include "library/update_record.h"
#include "process/interrupt.h"

namespace moh {
namespace {

// A name holding more newlines than this is not pieced together from the listing's lines.
constexpr int kJoinLimit = 16;

std::string join_path(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

std::pair<std::string, std::string> split_last(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {"", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        const auto slash = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// The entries renamed in this run, and those whose rename failed. Later listing lines are read
// under the new names, and entries beneath a failed rename are left alone.
class Renames {
  public:
    // `relative` with every directory renamed so far under its new name.
    std::string current(std::string relative) const {
        if (moved_.empty()) return relative;
        for (std::size_t at = 0;;) {
            const auto slash = relative.find('/', at);
            if (slash == std::string::npos) return relative;
            const auto found = moved_.find(relative.substr(0, slash));
            if (found == moved_.end()) {
                at = slash + 1;
            } else {
                relative = found->second + relative.substr(slash);
                at = found->second.size() + 1;
            }
        }
    }
    bool beneath_refused(const std::string& relative) const {
        if (refused_.empty()) return false;
        for (auto slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            if (refused_.count(relative.substr(0, slash)) != 0) return true;
        }
        return refused_.count(relative) != 0;
    }
    void moved(const std::string& from, const std::string& to) { moved_[from] = to; }
    void refused(const std::string& relative) { refused_.insert(relative); }

  private:
    std::map<std::string, std::string> moved_;
    std::set<std::string> refused_;
};

// Where a listing line leads. `shown` is its path relative to the library as the log names it,
// after this run's renames; `on_disk` is where it is now, which differs only in a dry run.
struct Entry {
    std::string shown;
    std::string on_disk;
    std::shared_ptr<const Fd> dir;  // the directory it is in
    int error = 0;                  // errno of the look-up; ENOENT when the line names nothing
    bool no_directory = false;      // the error came from the directory part
    bool refused = false;           // beneath an entry whose rename failed
};

const char* ignored_reason(const Entry& entry) {
    switch (entry.error) {
        case ENOENT:
        case ENOTDIR:
            return "no such file or directory";
        case ELOOP:
            return "through a link";
        default:
            return std::strerror(entry.error);
    }
}

class Walker {
  public:
    Walker(const Context& context, const Library& library, ListingReader& reader, int work_dir,
           UpdateRecord* record, JobPool* pool)
        : context_(context),
          library_(library),
          reader_(reader),
          work_dir_(work_dir),
          record_(record),
          pool_(pool),
          dry_run_(context.options.dry_run) {}

    // False when the run was interrupted.
    bool walk() {
        std::string line;
        while (reader_.next(line)) {
            if (interrupt_signal() != 0) return false;
            if (line.size() < 2) continue;
            if (!walk_line(line)) return false;
        }
        return true;
    }

    int converted() const { return converted_; }
    int renamed() const { return renamed_; }

  private:
    // With jobs, the walk's lines wait for the lines of the MP3s before them.
    Log& log() { return pool_ ? pool_->log() : context_.log; }

    std::string full(const std::string& relative) const { return library_.path() + "/" + relative; }

    void ignore(const std::string& line, const char* reason) {
        log().problem("Ignoring listing line %s -- %s\n", line.c_str(), reason);
    }

    bool walk_line(std::string line) {
        if (!is_library_entry(line, library_.path())) {
            ignore(line, ("not under " + library_.path()).c_str());
            return true;
        }
        Entry entry = locate(line);
        if (entry.error == ENOENT && !entry.no_directory)
            entry = piece_together(line, std::move(entry));
        if (entry.refused) return true;
        if (entry.error != 0) {
            ignore(line, ignored_reason(entry));
            return true;
        }
        if (!give_safe_names(entry)) return true;

        const auto [dir, name] = split_last(entry.shown);
        if (!is_mp3_name(name)) {
            log().info(
                "skipping non-mp3 file conversion of %s-- must already be asterisk compatible!\n",
                name.c_str());
            return true;
        }
        std::string reason;
        const Fd mp3 = library_.open_mp3(entry.dir->get(), split_last(entry.on_disk).second,
                                         entry.on_disk, reason);
        if (!mp3) {
            log().problem("Not converting %s -- %s\n", full(entry.shown).c_str(), reason.c_str());
            return true;
        }
        const std::string stem = name.substr(0, name.size() - 4);
        if (context_.options.update &&
            record_->current(entry.shown, mp3.get(), entry.dir->get(), stem)) {
            log().info("Up to date: %s\n", full(entry.shown).c_str());
            return true;
        }
        struct stat opened {};
        ::fstat(mp3.get(), &opened);
        ++converted_;
        if (dry_run_) {
            log().info("Would convert %s\n", full(entry.shown).c_str());
            return true;
        }
        const Mp3 job{
            entry.dir->get(), mp3.get(),     name, stem, dir.empty() ? library_.path() : full(dir),
            converted_,       opened.st_size};
        const FileIdentity identity = FileIdentity::of(opened);
        if (pool_ == nullptr) return convert(job, entry.shown, identity, context_.log);

        // The job owns copies of the descriptors; the walk goes on with its own.
        auto owned =
            std::make_shared<std::pair<Fd, Fd>>(Fd(::fcntl(entry.dir->get(), F_DUPFD_CLOEXEC, 0)),
                                                Fd(::fcntl(mp3.get(), F_DUPFD_CLOEXEC, 0)));
        struct stat st {};
        ::fstat(entry.dir->get(), &st);
        const std::string key =
            std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + stem;
        pool_->submit(key, [this, job, owned, identity, relative = entry.shown](Log& log) {
            Mp3 own = job;
            own.dir = owned->first.get();
            own.fd = owned->second.get();
            convert(own, relative, identity, log);
        });
        return true;
    }

    // False when the run was interrupted.
    bool convert(const Mp3& mp3, const std::string& relative, const FileIdentity& identity,
                 Log& log) {
        double volume = 1.0;
        const ChainContext chain{context_.settings, log, context_.runner, work_dir_};
        const ConversionResult result = convert_mp3(mp3, volume, chain);
        if (record_ != nullptr && !result.interrupted)
            record_->converted(relative, mp3.fd, identity, result);
        return !result.interrupted;
    }

    // The listing names a directory's entries one after another: the last one opened serves
    // until another is asked for, or a rename may have changed what its path names.
    std::shared_ptr<const Fd> open_dir(const std::string& relative, int& error) {
        if (!cached_dir_ || relative != cached_path_) {
            cached_error_ = 0;
            cached_dir_ = std::make_shared<const Fd>(library_.open_dir(relative, cached_error_));
            cached_path_ = relative;
        }
        error = cached_error_;
        return cached_dir_;
    }

    // Resolves a line beneath the library, with no link in its directory part.
    Entry locate(const std::string& line) {
        Entry entry;
        const std::string as_listed = line.substr(library_.path().size() + 1);
        entry.shown = renames_.current(as_listed);
        if (renames_.beneath_refused(entry.shown)) {
            entry.refused = true;
            return entry;
        }
        entry.on_disk = dry_run_ ? as_listed : entry.shown;
        const auto [dir, name] = split_last(entry.on_disk);
        entry.dir = open_dir(dir, entry.error);
        if (!*entry.dir) {
            entry.no_directory = entry.error == ENOENT || entry.error == ENOTDIR;
            if (entry.no_directory) entry.error = ENOENT;
            return entry;
        }
        struct stat st {};
        if (::fstatat(entry.dir->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.error = errno == ENOTDIR ? ENOENT : errno;
        }
        return entry;
    }

    // A name that holds a newline reaches the listing as several lines: a line that names
    // nothing is joined with the next ones while their directory exists. Lines read in vain are
    // put back.
    Entry piece_together(std::string& line, Entry entry) {
        std::vector<std::string> read;
        std::string joined = line;
        for (int pieces = 0; pieces < kJoinLimit; ++pieces) {
            std::string piece;
            if (!reader_.next(piece)) break;
            read.push_back(piece);
            joined += '\n';
            joined += piece;
            if (!is_library_entry(joined, library_.path())) break;
            Entry candidate = locate(joined);
            if (candidate.no_directory) break;
            if (candidate.error != ENOENT || candidate.refused) {
                line = joined;
                return candidate;
            }
        }
        for (auto piece = read.rbegin(); piece != read.rend(); ++piece) {
            reader_.put_back(std::move(*piece));
        }
        return entry;
    }

    // Renames each unsafe directory of the entry's path, outermost first, then the entry
    // itself. False when a rename failed, and the entry is to be skipped.
    bool give_safe_names(Entry& entry) {
        std::vector<std::string> shown = components(entry.shown);
        std::vector<std::string> on_disk = components(entry.on_disk);
        for (std::size_t i = 0; i + 1 < shown.size(); ++i) {
            const std::string safe = sanitised_copy(shown[i]);
            if (safe == shown[i]) continue;
            const std::string shown_parent = join_parts(shown, i);
            const std::string disk_parent = join_parts(on_disk, i);
            int error = 0;
            const Fd parent = library_.open_dir(disk_parent, error);
            if (!parent) {
                const std::string from = join_path(shown_parent, shown[i]);
                log().problem("Couldn't rename %s => %s: %s\n", full(from).c_str(),
                              full(join_path(shown_parent, safe)).c_str(), std::strerror(error));
                renames_.refused(from);
                return false;
            }
            if (!rename_entry(parent.get(), disk_parent, on_disk[i], shown_parent, shown[i],
                              safe)) {
                return false;
            }
            shown[i] = safe;
            if (!dry_run_) on_disk[i] = safe;
        }
        entry.shown = join_parts(shown, shown.size());
        entry.on_disk = join_parts(on_disk, on_disk.size());

        const auto [shown_dir, name] = split_last(entry.shown);
        const std::string safe = sanitised_copy(name);
        if (safe == name) {
            log().info("Leave the name %s alone\n", full(entry.shown).c_str());
            return true;
        }
        const auto [disk_dir, disk_name] = split_last(entry.on_disk);
        if (!rename_entry(entry.dir->get(), disk_dir, disk_name, shown_dir, name, safe)) {
            return false;
        }
        entry.shown = join_path(shown_dir, safe);
        if (!dry_run_) entry.on_disk = join_path(disk_dir, safe);
        return true;
    }

    static std::string join_parts(const std::vector<std::string>& parts, std::size_t count) {
        std::string joined;
        for (std::size_t i = 0; i < count; ++i) joined = join_path(joined, parts[i]);
        return joined;
    }

    // Renames `disk_name` in `dir` to `safe`, never replacing anything, and logs it.
    bool rename_entry(int dir, const std::string& disk_dir, const std::string& disk_name,
                      const std::string& shown_dir, const std::string& shown_name,
                      const std::string& safe) {
        const std::string from = join_path(shown_dir, shown_name);
        const std::string to = join_path(shown_dir, safe);
        std::string reason;
        if (const auto mp3 = conversion_taking(dir, safe)) {
            reason = "the name is taken by the conversion of " + *mp3;
        } else if (const int error = dry_run_ ? would_rename(dir, disk_dir, disk_name, to, safe)
                                              : rename_now(dir, disk_name, safe)) {
            reason = std::strerror(error);
        }
        if (!reason.empty()) {
            log().problem("Couldn't rename %s => %s: %s\n", full(from).c_str(), full(to).c_str(),
                          reason.c_str());
            renames_.refused(from);
            return false;
        }
        log().info(dry_run_ ? "Would change %s => %s\n" : "Changed %s => %s\n", full(from).c_str(),
                   full(to).c_str());
        renames_.moved(from, to);
        cached_dir_.reset();
        ++renamed_;
        return true;
    }

    static int rename_now(int dir, const std::string& from, const std::string& to) {
        return ::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    }

    // What a rename would meet, given the renames this dry run has already foreseen.
    int would_rename(int dir, const std::string& disk_dir, const std::string& disk_name,
                     const std::string& shown_to, const std::string& safe) {
        struct stat st {};
        if (foreseen_.count(shown_to) != 0 ||
            (::fstatat(dir, safe.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
             vacated_.count(join_path(disk_dir, safe)) == 0)) {
            return EEXIST;
        }
        if (::faccessat(dir, ".", W_OK, 0) != 0) return errno;
        foreseen_.insert(shown_to);
        vacated_.insert(join_path(disk_dir, disk_name));
        return 0;
    }

    // The MP3 in `dir` whose conversion writes `name`, if `name` is one of the outputs' names.
    // Each directory is read once a run: a writer's folder of thousands of such names must not
    // cost a reading of the folder each.
    std::optional<std::string> conversion_taking(int dir, const std::string& name) {
        std::string stem;
        for (const std::string_view format : kOutputFormats) {
            const std::string suffix = "." + std::string(format);
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                stem = name.substr(0, name.size() - suffix.size());
            }
        }
        struct stat st {};
        if (stem.empty() || ::fstat(dir, &st) != 0) return std::nullopt;
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        auto found = mp3_names_.find(key);
        if (found == mp3_names_.end()) found = mp3_names_.emplace(key, mp3_names_in(dir)).first;
        const auto mp3 = found->second.find(stem);
        if (mp3 == found->second.end()) return std::nullopt;
        return mp3->second;
    }

    // The safe names of the MP3s in `dir`, the ones they have or will have once renamed, by stem.
    static std::map<std::string, std::string> mp3_names_in(int dir) {
        std::map<std::string, std::string> names;
        const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listing < 0) return names;
        const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), &::closedir);
        if (!entries) {
            ::close(listing);
            return names;
        }
        while (const dirent* found = ::readdir(entries.get())) {
            const std::string safe = sanitised_copy(found->d_name);
            if (is_mp3_name(safe)) names.emplace(safe.substr(0, safe.size() - 4), safe);
        }
        return names;
    }

    const Context& context_;
    const Library& library_;
    ListingReader& reader_;
    int work_dir_;
    UpdateRecord* record_;
    JobPool* pool_;
    bool dry_run_;
    Renames renames_;
    std::shared_ptr<const Fd> cached_dir_;
    std::string cached_path_;
    int cached_error_ = 0;
    std::map<std::pair<dev_t, ino_t>, std::map<std::string, std::string>> mp3_names_;
    std::set<std::string> foreseen_;  // dry run: names its renames would have made
    std::set<std::string> vacated_;   // dry run: names its renames would have freed
    int converted_ = 0;
    int renamed_ = 0;
};

}  // namespace

WalkResult run_walk(const Context& context) {
    const Settings& settings = context.settings;
    Log& log = context.log;
    const Library library(settings.library_dir);
    if (!library.ok()) {
        log.problem("Couldn't open the library %s: %s\n", settings.library_dir.c_str(),
                    std::strerror(library.error()));
        return {kExitNoListing};
    }
    std::optional<WorkDir> work;
    if (!context.options.dry_run) {
        work.emplace(settings.work_dir);
        if (work->error() != 0) {
            log.problem("Couldn't make the work directory %s: %s\n", settings.work_dir.c_str(),
                        std::strerror(work->error()));
            return {kExitNoListing};
        }
    }

    log.flush();
    std::string failure;
    Fd listing = make_listing(settings, context.runner, failure);
    if (!listing) {
        if (failure.empty()) return {0, true};
        log.problem("%s\n", failure.c_str());
        return {kExitNoListing};
    }
    const std::string deep = first_directory_past_depth(settings, context.runner);
    if (!deep.empty())
        log.problem("Not descending below %d levels: %s\n", kListingDepth, deep.c_str());

    ListingReader reader(std::move(listing));
    const RunOptions& options = context.options;
    std::optional<UpdateRecord> record;
    if (options.update || !options.dry_run) {
        std::string warning;
        record.emplace(settings.state_dir, UpdateRecord::recipe(settings.converter_path), warning);
        if (options.update && !warning.empty()) {
            log.problem("Couldn't use the update record %s; converting everything\n",
                        warning.c_str());
        }
    }
    std::optional<JobPool> pool;
    if (options.jobs > 1 && !options.dry_run) pool.emplace(options.jobs, log);
    Walker walker(context, library, reader, work ? work->fd() : -1, record ? &*record : nullptr,
                  pool ? &*pool : nullptr);
    const bool walked = walker.walk();
    if (pool) pool->finish();
    if (record && !options.dry_run) {
        const int error = record->save();
        if (error != 0 && options.update) {
            log.problem("Couldn't write the update record in %s: %s\n", settings.state_dir.c_str(),
                        std::strerror(error));
        }
    }
    if (!walked || interrupt_signal() != 0) return {0, true};

    log.info("Found and converted %d mp3 files\n", walker.converted());
    log.info("CHanged name of %d files\n", walker.renamed());
    log.info("Now, to the db....\n");
    if (options.reload && !options.dry_run && walker.converted() + walker.renamed() > 0) {
        log.info("Reloading music on hold\n");
        run_and_report({{"asterisk", "-rx", "moh reload"}, {}},
                       {settings, log, context.runner, -1});
    }
    return {0};
}

}  // namespace moh
