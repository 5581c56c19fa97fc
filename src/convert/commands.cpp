// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/commands.h"

#include <charconv>
#include <cstdlib>

#include "process/log.h"

namespace moh {
namespace {

// The factor that takes audio decoded at `decoded` to `factor`, as exact as a double can say it.
std::string ratio_text(double factor, double decoded) {
    const double ratio = std::strtod(factor_text(factor).c_str(), nullptr) /
                         std::strtod(factor_text(decoded).c_str(), nullptr);
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, ratio).ptr;
    return std::string(text, end);
}

}  // namespace

int kept_bits(const Rate& rate) {
    return std::atoi(rate.kept.back());  // what follows its "-b"
}

std::int64_t kept_bytes_per_second(const Rate& rate) {
    return std::int64_t{rate.hz} * kept_bits(rate) / 8;
}

const SoxFormat& sox_format(std::string_view name) {
    for (const SoxFormat& format : kSoxFormats) {
        if (format.name == name) return format;
    }
    return kSoxFormats[0];
}

std::string factor_text(double factor) {
    return format_text("%g", factor);
}

Child decode_command(const std::string& mp3, double factor) {
    Child sox{{"sox", "-R"}, {}};
    if (factor != 1) sox.argv.insert(sox.argv.end(), {"-v", factor_text(factor)});
    sox.argv.insert(sox.argv.end(), {mp3, "-c", "1", "-t", "sox", kOutputPath});
    return sox;
}

Child resample_command(const std::string& decoded, const Rate& rate, bool seamless) {
    Child sox{{"sox", "-R", "-t", "sox", decoded}, {}};
    sox.argv.insert(sox.argv.end(), rate.kept.begin(), rate.kept.end());
    sox.argv.insert(sox.argv.end(), {"-r", std::to_string(rate.hz), kOutputPath});
    // Faded before the silence is put in front, so that the fade is the music's own.
    if (seamless) {
        sox.argv.insert(sox.argv.end(), {"fade", "t", factor_text(kSeamless.fade_in), "pad",
                                         factor_text(kSeamless.leading_silence),
                                         factor_text(kSeamless.trailing_silence)});
    }
    return sox;
}

Child encode_command(const SoxFormat& format, const std::string& kept, double factor,
                     double decoded) {
    const Rate& rate = kRates[format.rate];
    Child sox{{"sox", "-R"}, {}};
    if (factor != decoded) sox.argv.insert(sox.argv.end(), {"-v", ratio_text(factor, decoded)});
    sox.argv.insert(sox.argv.end(), rate.kept.begin(), rate.kept.end());
    sox.argv.insert(sox.argv.end(), {"-r", std::to_string(rate.hz), "-c", "1", kept});
    sox.argv.insert(sox.argv.end(), format.output.begin(), format.output.end());
    sox.argv.push_back(kOutputPath);
    return sox;
}

std::string conversion_commands() {
    std::string text;
    for (const double factor : {1.0, 0.5}) {
        text += command_line(decode_command("IN", factor)) + ";";
        for (const SoxFormat& format : kSoxFormats) {
            text += command_line(encode_command(format, "IN", factor, 1.0)) + ";";
        }
    }
    for (const Rate& rate : kRates) text += command_line(resample_command("IN", rate)) + ";";
    return text;
}

}  // namespace moh
