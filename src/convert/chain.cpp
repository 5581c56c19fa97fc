// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/chain.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "convert/capture.h"
#include "convert/commands.h"
#include "convert/edges.h"
#include "convert/loudness.h"
#include "convert/private_dir.h"
#include "convert/pump.h"
#include "convert/runs.h"
#include "convert/staged_output.h"
#include "convert/work_space.h"
#include "formats/playable.h"
#include "process/fd.h"

namespace moh {
namespace {

// A pipe whose ends are closed on exec. False, with errno, when there is none.
bool make_pipe(Fd& read_end, Fd& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

void note_output(const StagedOutput& output, std::string_view format, ConversionResult& result) {
    struct stat st {};
    if (::fstat(output.fd(), &st) == 0) {
        result.outputs.push_back({std::string(format), FileIdentity::of(st)});
    }
}

// Copies the converter's private output into a staged output beside the MP3. Returns 0 or errno.
int copy_into(int from, const StagedOutput& to) {
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (const int error =
                write_all(to.fd(), std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            return error;
        }
    }
}

// The MP3 decoded, at one rate: every format at that rate is made from it.
struct Kept {
    Fd file;               // unnamed, in the private directory
    std::string path;      // what its readers open, a link to their descriptor 3
    bool clipped = false;  // it clipped when it was made: fit for its own factor alone
};

// Under a pipe's worth of bytes.
constexpr off_t kSmallSource = 64 * 1024;
// The G.722 and G.729 converters' outputs, in the private directory until they are copied out.
constexpr std::int64_t kConverterBytesPerSecond = 8000 + 1000;

class Chain {
  public:
    Chain(const Mp3& mp3, const ChainContext& context)
        : mp3_(mp3),
          context_(context),
          source_(mp3.dir_path + "/" + mp3.name),
          private_dir_(context.work_dir, context.settings.work_dir, std::to_string(mp3.number)) {
        for (std::size_t f = 0; f < kSixSoxFormats; ++f) sox_steps_.push_back(&kSoxFormats[f]);
        for (const std::string& extra : context.extras) {
            if (extra == "g729") wants_g729_ = true;
            if (extra != "g729") sox_steps_.push_back(&sox_format(extra));
        }
    }

    ConversionResult run(double& volume) {
        struct stat st {};
        if (::fstat(mp3_.fd, &st) != 0) return cannot_prepare(errno), result_;
        // The source's owner's, in the group of the class folder, which Asterisk's account reads
        // by; a track its owner keeps from others stays so.
        struct stat folder {};
        owner_ = st.st_uid;
        group_ = ::fstat(mp3_.dir, &folder) == 0 ? folder.st_gid : st.st_gid;
        mode_ = (st.st_mode & S_IROTH) != 0 ? 0644 : 0640;
        size_ = mp3_.size >= 0 ? mp3_.size : st.st_size;
        if (private_dir_.error() != 0) return cannot_prepare(private_dir_.error()), result_;
        if (!claim_work_space()) return result_;
        if (context_.level && !level(*context_.level, volume)) return result_;
        for (std::size_t step = 0; step < kSixSoxFormats; ++step) {
            if (!make(*sox_steps_[step], volume)) return result_;
        }
        // Without a fresh .sln16 there is nothing to convert, and its failure has been told.
        if (context_.converter_ok && sln16_) {
            context_.log.info("Convert %s to g722\n", mp3_.stem.c_str());
            if (auto g722 =
                    prepare_converter(context_.settings.converter_path, *sln16_, "sln16", "g722"))
                finish_converter(*g722);
        }
        for (std::size_t step = kSixSoxFormats; step < sox_steps_.size(); ++step) {
            if (!make(*sox_steps_[step], volume)) return result_;
        }
        if (g729_) {
            context_.log.info("Convert %s to g729\n", mp3_.stem.c_str());
            finish_converter(*g729_);
        }
        result_.complete = !failed_ && !result_.interrupted && !result_.no_space &&
                           context_.converter_ok && (!wants_g729_ || context_.g729_ok);
        return result_;
    }

  private:
    // Claims the work space the source's audio takes, by its length, at every rate it is kept
    // at, and the converters' outputs: a source that would cut into the reserve is not
    // converted. False when it is not.
    bool claim_work_space() {
        std::int64_t per_second = kConverterBytesPerSecond;
        for (std::size_t rate = 0; rate < kRateCount; ++rate) {
            if (std::any_of(sox_steps_.begin(), sox_steps_.end(),
                            [rate](const SoxFormat* format) { return format->rate == rate; }))
                per_second += kept_bytes_per_second(kRates[rate]);
        }
        const double bytes =
            (seconds_at_most(mp3_.fd, size_) + edge_seconds()) * static_cast<double>(per_second) +
            static_cast<double>(size_ < kSmallSource ? size_ : 0);
        needed_ = static_cast<std::int64_t>(std::ceil(std::min(bytes, 1e18)));
        claim_.emplace(context_.work_dir, needed_);
        if (claim_->granted()) return true;
        no_work_space();
        return false;
    }

    // `needed_` was more than the work directory can spare, or the decoding reached the reserve.
    void no_work_space() {
        constexpr std::int64_t kMiB = 1 << 20;
        std::int64_t taken = 0;
        for (const Kept& kept : kept_) {
            struct stat st {};
            if (kept.file && ::fstat(kept.file.get(), &st) == 0) taken += st.st_blocks * 512;
        }
        const std::int64_t needed = std::max(needed_, taken);
        context_.log.problem(
            "Not converting %s -- its conversion needs %lld MiB of work space and only %lld MiB "
            "can be spared\n",
            source_.c_str(), static_cast<long long>((needed + kMiB - 1) / kMiB),
            static_cast<long long>(claim_->spare() / kMiB));
        stop();
    }

    // Makes one sox format; false when the chain ends here.
    bool make(const SoxFormat& format, double& volume) {
        context_.log.info("Convert %s to %s\n", mp3_.stem.c_str(), format.name.data());
        if (!convert_with_sox(format, volume) || stopped_) return false;
        // What no later format needs leaves room for what comes.
        for (std::size_t rate = 0; rate < kRateCount; ++rate) {
            if (!needed_after(format, rate)) kept_[rate].file.reset();
        }
        return true;
    }

    // Measures the source's loudness on its mono mixdown at 16 kHz, and its peak at every rate a
    // format is made from, and sets `volume` to the factor that brings it to `target`. Decoded at
    // half its level, so that a peak over full scale is measured rather than clipped. False when
    // the chain ends here.
    bool level(double target, double& volume) {
        constexpr double kMeasuredAt = 0.5;
        if (!decode(*sox_steps_[0], kMeasuredAt)) return false;
        std::optional<double> lufs;
        double peak = 0;
        try {
            for (std::size_t rate = 0; rate < kRateCount; ++rate) {
                const int fd = kept_[rate].file.get();
                if (fd < 0) continue;
                LoudnessMeter meter(static_cast<unsigned>(kRates[rate].hz));
                const SampleFormat format = kept_bits(kRates[rate]) == 32 ? SampleFormat::kSigned32
                                                                          : SampleFormat::kSigned24;
                if (::lseek(fd, 0, SEEK_SET) != 0 || meter.add_from(fd, format) != 0) {
                    lufs.reset();
                    break;
                }
                peak = std::max(peak, meter.peak() / kMeasuredAt);
                if (rate == k16k) lufs = meter.integrated();
            }
        } catch (const std::bad_alloc&) {
            // Unmeasured, as a source too short to measure: it keeps its level.
            lufs.reset();
        }
        if (lufs) *lufs -= 20 * std::log10(kMeasuredAt);
        const LevelFactor factor = level_factor(lufs, peak, target);
        volume = factor.factor;
        if (!lufs) {
            context_.log.info("Level %s: too short or too silent to measure, factor %g\n",
                              mp3_.stem.c_str(), volume);
        } else if (factor.short_of) {
            context_.log.info("Level %s: %.1f LUFS, factor %g (short of the target: %s)\n",
                              mp3_.stem.c_str(), *lufs, volume, factor.short_of);
        } else {
            context_.log.info("Level %s: %.1f LUFS, factor %g\n", mp3_.stem.c_str(), *lufs, volume);
        }
        return true;
    }

    // Whether a sox format after `format` is made at `rate`.
    bool needed_after(const SoxFormat& format, std::size_t rate) const {
        const auto at = std::find(sox_steps_.begin(), sox_steps_.end(), &format);
        for (auto later = at == sox_steps_.end() ? at : at + 1; later != sox_steps_.end();
             ++later) {
            if ((*later)->rate == rate) return true;
        }
        return false;
    }

    // Decodes the MP3 at the factor, into audio at each rate that `format` and the formats after
    // it need, all at once: one sox decodes, and one for each rate resamples what it decoded,
    // which reaches them through pipes. `format` is the one being made, for the log. False when
    // the chain ends here.
    bool decode(const SoxFormat& format, double factor) {
        decoded_at_ = factor;
        int error = 0;
        if (decoder_input_.empty()) {
            // sox knows a type by its header where it has one, else by the name's extension:
            // .oga, say, is not one of them.
            decoder_input_ = private_dir_.link_to_input(
                mp3_.type.empty() ? mp3_.name : mp3_.stem + "." + mp3_.type, error);
            decoded_ = private_dir_.link_to_input(mp3_.stem + ".sox", error);
            for (std::size_t rate = 0; rate < kRateCount; ++rate)
                kept_[rate].path =
                    private_dir_.link_to_input(mp3_.stem + kRates[rate].suffix, error);
        }
        std::vector<Stage> stages(1);
        Fd feed_in, feed_out, decoded_in, decoded_out;
        std::vector<Fd> to_rates;
        // sox tells a piped source's type from its first 256 bytes, and a shorter one is at its
        // end by then: a small source is handed over as a file of its own.
        const bool small = size_ < kSmallSource;
        if (error == 0 && small) feed_out = private_dir_.unnamed_file(error);
        if (error == 0 &&
            ((!small && !make_pipe(feed_out, feed_in)) || !make_pipe(decoded_out, decoded_in)))
            error = errno;
        for (std::size_t rate = 0; rate < kRateCount && error == 0; ++rate) {
            Kept& kept = kept_[rate];
            kept.file.reset();  // the room it took is the new one's
            kept.clipped = false;
            if (rate != format.rate && !needed_after(format, rate)) continue;
            kept.file = private_dir_.unnamed_file(error);
            Fd from_decoder;
            to_rates.emplace_back();
            if (error == 0 && !make_pipe(from_decoder, to_rates.back())) error = errno;
            Stage& stage = stages.emplace_back();
            stage.child = resample_command(decoded_, kRates[rate], context_.seamless);
            stage.child.fds = {{from_decoder.get(), kInputFd}, {kept.file.get(), kOutputFd}};
            stage.pipe_ends.push_back(std::move(from_decoder));
            stage.rate = rate;
        }
        if (error != 0) {
            cannot_prepare(error);
            return false;
        }
        stages[0].child = decode_command(decoder_input_, factor);
        stages[0].child.fds = {{feed_out.get(), kInputFd}, {decoded_in.get(), kOutputFd}};
        // Should the source's length have been told wrong, the decoding stops at the reserve.
        Pump fan_out(std::move(decoded_out), std::move(to_rates), -1,
                     [this] { return spare_bytes(context_.work_dir) >= 0; });
        // sox reads the MP3 through a pipe that gives it what the MP3 held when it was opened: a
        // file that grows while it is read cannot keep sox busy.
        std::vector<Fd> to_decoder;
        to_decoder.push_back(small ? Fd(::fcntl(feed_out.get(), F_DUPFD_CLOEXEC, 0))
                                   : std::move(feed_in));
        Pump feed(Fd(::fcntl(mp3_.fd, F_DUPFD_CLOEXEC, 0)), std::move(to_decoder), size_);
        const bool feeding = feed.running();
        if (small) feed.finish();
        stages[0].pipe_ends.push_back(std::move(feed_out));
        stages[0].pipe_ends.push_back(std::move(decoded_in));
        if (!feeding || !fan_out.running()) {
            cannot_prepare(EAGAIN);
            return false;
        }

        run_side_by_side(stages, context_);
        fan_out.finish();
        const int read_error = feed.finish();
        for (const Stage& stage : stages) {
            if (stage.outcome.result.interrupted) return interrupted();
        }
        if (fan_out.cut_short()) {
            no_work_space();
            return false;
        }
        // A decoder cut off by a resampler that failed failed only for that.
        const int decoder_status = stages[0].outcome.result.wait_status;
        const bool cut_off = WIFSIGNALED(decoder_status) && WTERMSIG(decoder_status) == SIGPIPE;
        const Stage* failed = nullptr;
        for (const Stage& stage : stages) {
            if (!failed && !succeeded(stage.child, stage.outcome) &&
                !(&stage == &stages[0] && cut_off)) {
                failed = &stage;
            }
        }
        if (!failed && cut_off) failed = &stages[0];
        bool retry_helps = true;
        if (failed) {
            report(failed->child, failed->outcome, context_, converting(format.name), source_);
            if (failed->outcome.result.timed_out) {
                stop();
                return false;
            }
            const std::string& failure = failed->outcome.verdict.failure;
            // A WAV's own header makes sox give its reasons.
            if (failed == &stages[0] && mp3_.type == "mp3" && cannot_open_input(failure))
                context_.log.failure("  the file is %s\n", what_it_is(format).c_str());
            // The same file fails the same way tomorrow, unless the disk was full.
            retry_helps = no_room(failure);
            // sox's own word that it could not read the source, not a crash or a kill.
            result_.unreadable = !retry_helps && failed == &stages[0] && !failure.empty() &&
                                 WIFEXITED(failed->outcome.result.wait_status);
        } else if (read_error != 0) {
            context_.log.failure("Couldn't read %s: %s\n", source_.c_str(),
                                 std::strerror(read_error));
        } else if (const int error = fade_out()) {
            cannot_prepare(error);
            return false;
        } else {
            // Where decoding clipped, every rate did.
            for (const Stage& stage : stages) {
                for (std::size_t rate = 0; rate < kRateCount; ++rate) {
                    if (&stage == &stages[0] || stage.rate == rate)
                        kept_[rate].clipped = kept_[rate].clipped || stage.outcome.verdict.clipped;
                }
            }
            return true;
        }
        // What stopped the decoding would stop it for every format.
        context_.log.failure(retry_helps ? "  the other formats of %s are left for the next run\n"
                                         : "  the other formats of %s are not made either\n",
                             source_.c_str());
        stop();
        return false;
    }

    // The silence --seamless adds to a source's length.
    double edge_seconds() const {
        return context_.seamless ? kSeamless.leading_silence + kSeamless.trailing_silence : 0;
    }

    // With --seamless, the end of each kept audio: its start was made as it was decoded. Returns 0
    // or errno.
    int fade_out() {
        if (!context_.seamless) return 0;
        for (std::size_t rate = 0; rate < kRateCount; ++rate) {
            const Fd& file = kept_[rate].file;
            if (!file) continue;
            if (const int error = fade_out_end(file.get(), kept_bits(kRates[rate]), kRates[rate].hz,
                                               kSeamless.fade_out, kSeamless.trailing_silence))
                return error;
        }
        return 0;
    }

    // What the MP3 is, when sox could not decode it and did not say why: empty, something else by
    // its first bytes, or an MP3 that ends after the audio decoded at the rate of `format`.
    std::string what_it_is(const SoxFormat& format) const {
        if (size_ == 0) return "empty";
        unsigned char start[8] = {};
        const ssize_t got = ::pread(mp3_.fd, start, std::min<off_t>(sizeof start, size_), 0);
        const bool id3 = got >= 3 && std::memcmp(start, "ID3", 3) == 0;
        const bool frame = got >= 2 && start[0] == 0xFF && (start[1] & 0xE0) == 0xE0;
        if (!id3 && !frame) {
            // The log shows them as it shows a name; a name holds no zero byte, so they end there.
            std::string shown;
            for (ssize_t i = 0; i < got && start[i] != 0; ++i) shown += static_cast<char>(start[i]);
            if (shown.empty()) return "not an MP3: it begins with a zero byte";
            return "not an MP3: it begins with \"" + shown + "\"";
        }
        const Rate& rate = kRates[format.rate];
        // Each kept sample is as wide as its "-b" says.
        const auto bits = std::find(rate.kept.begin(), rate.kept.end(), std::string_view("-b"));
        const long bytes = bits + 1 < rate.kept.end() ? std::atol(*(bits + 1)) / 8 : 4;
        struct stat st {};
        const Fd& kept = kept_[format.rate].file;
        const double seconds =
            kept && ::fstat(kept.get(), &st) == 0
                ? std::max(0.0, double(st.st_size) / bytes / rate.hz - edge_seconds())
                : 0;
        return format_text("cut short after %g s", std::floor(seconds * 10) / 10);
    }

    // False when the run was interrupted.
    bool convert_with_sox(const SoxFormat& format, double& volume) {
        for (;;) {
            auto output = std::make_unique<StagedOutput>(mp3_.dir);
            if (!output->ok()) return cannot_write(format.name, output->error());
            const Kept& kept = kept_[format.rate];
            // Decoded only once an output can be written, so that a read-only library costs no
            // sox; and again only when what clipped at one factor is wanted at a lower one.
            if (!kept.file || (volume < decoded_at_ && kept.clipped)) {
                if (!decode(format, volume)) return !result_.interrupted;
            }
            Child sox = encode_command(format, kept.path, volume, decoded_at_);
            sox.fds = {{kept.file.get(), kInputFd}, {output->fd(), kOutputFd}};
            Outcome outcome = run_judged(sox, context_);
            if (outcome.result.interrupted) return interrupted();
            // A direct conversion at this factor would have clipped where its making did.
            if (volume == decoded_at_ && kept.clipped) outcome.verdict.clipped = true;
            const bool succeeded = report(sox, outcome, context_, converting(format.name), source_);
            // What outlasted the limit once would outlast it for every format: the file is left
            // for the next run rather than hold this one ten more minutes a format.
            if (outcome.result.timed_out) return stop();
            if (!succeeded && no_room(outcome.verdict.failure)) {
                result_.no_space = true;
                return stop();
            }
            bool keep = !outcome.verdict.clipped;
            if (outcome.verdict.clipped) {
                if (volume - kVolumeStep <= kVolumeFloor) {
                    context_.log.problem("Still clipping at volume %g; keeping this conversion\n",
                                         volume);
                    keep = true;
                } else {
                    volume -= kVolumeStep;
                    context_.log.info("Volume appears to be too high; trying %g...\n", volume);
                }
            }
            if (!keep) continue;
            if (!succeeded) {
                failed_ = true;
                return true;
            }
            publish(*output, format.name);
            // The converters read what was published.
            if (format.name == "sln16" && !stopped_) sln16_ = std::move(output);
            const bool published =
                !result_.outputs.empty() && result_.outputs.back().format == format.name;
            if (format.name == "sln" && wants_g729_ && context_.g729_ok && published) {
                sln_ = std::move(output);
                start_g729();
            }
            return true;
        }
    }

    // A converter's run: its command, what it writes, and its outcome when it runs beside the
    // chain.
    struct ConverterRun {
        Child child;
        std::string out;  // its output's name in the private directory
        std::string format;
        std::future<Outcome> running;
    };

    // The converter `program` on `input`, the fresh `input_format` output, making `format`;
    // nothing, once said why, when its private paths cannot be made.
    std::optional<ConverterRun> prepare_converter(const std::string& program,
                                                  const StagedOutput& input,
                                                  std::string_view input_format,
                                                  std::string_view format) {
        int error = 0;
        ConverterRun run{{{program}, {{input.fd(), kInputFd}}},
                         mp3_.stem + "." + std::string(format),
                         std::string(format),
                         {}};
        run.child.argv.push_back(
            private_dir_.link_to_input(mp3_.stem + "." + std::string(input_format), error));
        if (run.child.argv.back().empty()) {
            cannot_prepare(error);
            return std::nullopt;
        }
        run.child.argv.push_back(private_dir_.path(run.out));
        return run;
    }

    // Runs the converter, unless it runs already, and publishes what it made.
    void finish_converter(ConverterRun& run) {
        const Outcome outcome =
            run.running.valid() ? run.running.get() : run_judged(run.child, context_);
        if (outcome.result.interrupted) {
            interrupted();
            return;
        }
        if (!report(run.child, outcome, context_, converting(run.format), source_)) {
            failed_ = true;
            return;
        }
        // Whatever the converter left there, only a plain file is taken.
        const Fd made(::openat(private_dir_.fd(), run.out.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!made || ::fstat(made.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            cannot_write(run.format, made ? EINVAL : errno);
            return;
        }
        StagedOutput output(mp3_.dir);
        if (!output.ok()) {
            cannot_write(run.format, output.error());
            return;
        }
        if (const int copied = copy_into(made.get(), output)) {
            cannot_write(run.format, copied);
            return;
        }
        publish(output, run.format);
    }

    // G.729 encoding takes as long as the sln16, g722 and sln48 that come before it in the log:
    // it runs beside them, from the moment its .sln is published, and is reported in its turn.
    void start_g729() {
        g729_ = prepare_converter(context_.settings.g729_converter_path, *sln_, "sln", "g729");
        if (!g729_) return;
        try {
            g729_->running = std::async(std::launch::async, [this, child = g729_->child] {
                return run_judged(child, context_);
            });
        } catch (const std::system_error&) {
            // No thread to spare: it runs in its turn.
        }
    }

    std::string converting(std::string_view format) const {
        return source_ + " to " + std::string(format);
    }

    // Outputs are their MP3's owner's, as if the owner had converted it.
    void publish(StagedOutput& output, std::string_view format) {
        const std::string name = mp3_.stem + "." + std::string(format);
        int error = may_replace(name) ? output.give_to(owner_, group_, mode_) : EPERM;
        if (error == 0) error = output.publish(name);
        if (error != 0) {
            cannot_write(format, error);
            return;
        }
        note_output(output, format, result_);
        if (context_.reader != nullptr && !said_unreadable_)
            said_unreadable_ = unreadable(output, format);
    }

    // In a sticky folder an uploader may replace only what is its own or the folder owner's:
    // root replaces nothing more on its behalf.
    bool may_replace(const std::string& name) const {
        struct stat folder {
        }, there{};
        return ::fstat(mp3_.dir, &folder) != 0 || (folder.st_mode & S_ISVTX) == 0 ||
               ::fstatat(mp3_.dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
               there.st_uid == owner_ || there.st_uid == folder.st_uid;
    }

    // Says whether the account Asterisk runs as cannot read the output, which callers would then
    // never hear; true when it said so.
    bool unreadable(const StagedOutput& output, std::string_view format) {
        const AsteriskAccount& reader = *context_.reader;
        struct stat file {
        }, folder{};
        if (::fstat(output.fd(), &file) != 0 || ::fstat(mp3_.dir, &folder) != 0) return false;
        const std::string why = why_unreadable(reader, file, folder, mp3_.dir_path);
        if (why.empty()) return false;
        context_.log.problem("Not readable by %s: %s/%s.%.*s -- %s\n", reader.name.c_str(),
                             mp3_.dir_path.c_str(), mp3_.stem.c_str(),
                             static_cast<int>(format.size()), format.data(), why.c_str());
        return true;
    }

    bool cannot_write(std::string_view format, int error) {
        context_.log.failure("Couldn't write %s/%s.%.*s: %s\n", mp3_.dir_path.c_str(),
                             mp3_.stem.c_str(), static_cast<int>(format.size()), format.data(),
                             std::strerror(error));
        failed_ = true;
        if (no_room(error)) {
            result_.no_space = true;
            stopped_ = true;
        }
        return true;
    }

    // The work directory failed us: nothing of this MP3 can be converted now.
    bool cannot_prepare(int error) {
        context_.log.failure("Couldn't prepare the conversion of %s in %s: %s\n", source_.c_str(),
                             private_dir_.path().c_str(), std::strerror(error));
        return stop();
    }

    bool interrupted() {
        result_.interrupted = true;
        return false;
    }

    // Ends this MP3's chain here; the walk goes on.
    bool stop() {
        stopped_ = failed_ = true;
        return true;
    }

    const Mp3& mp3_;
    const ChainContext& context_;
    std::string source_;  // the MP3's path in the library
    PrivateDir private_dir_;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    mode_t mode_ = 0644;
    bool said_unreadable_ = false;  // once a source: its outputs share owner, group and mode
    off_t size_ = 0;
    std::int64_t needed_ = 0;  // the work space its conversion was expected to take
    std::optional<WorkSpaceClaim> claim_;
    double decoded_at_ = 0;      // the factor the kept audio was decoded at
    std::string decoder_input_;  // the private paths its children are given
    std::string decoded_;
    Kept kept_[kRateCount];
    std::vector<const SoxFormat*> sox_steps_;  // the sox formats, in the order they are made
    bool wants_g729_ = false;
    std::unique_ptr<StagedOutput> sln16_;  // what the converters read
    std::unique_ptr<StagedOutput> sln_;
    std::optional<ConverterRun> g729_;  // waited for, if it runs, before what it reads goes
    bool failed_ = false;
    bool stopped_ = false;
    ConversionResult result_;
};

}  // namespace

ConversionResult convert_mp3(const Mp3& mp3, double& volume, const ChainContext& context) {
    return Chain(mp3, context).run(volume);
}

}  // namespace moh
