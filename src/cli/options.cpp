// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/options.h"

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "formats/outputs.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr int kReloadOption = 256;  // no short form
constexpr int kLibraryOption = 257;
constexpr int kPruneOption = 258;
constexpr int kFormatsOption = 259;
constexpr int kLevelOption = 260;
constexpr int kCheckOption = 261;
constexpr int kAsteriskConfigOption = 262;
constexpr int kSeamlessOption = 263;
// Loudness targets that make sense for music on hold: a PBX's lines sit near -20 LUFS.
constexpr double kLevelLowest = -40;
constexpr double kLevelHighest = -5;
constexpr double kDefaultLevel = -20;
constexpr long kJobsLimit = 1024;

int processors() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

CommandLine usage_error() {
    std::fprintf(stderr, "Try 'moh-convert --help' for more information.\n");
    CommandLine command;
    command.action = CommandLine::Action::kUsageError;
    return command;
}

}  // namespace

CommandLine parse_command_line(int argc, char** argv) {
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"dry-run", no_argument, nullptr, 'n'},
        {"quiet", no_argument, nullptr, 'q'},
        {"update", no_argument, nullptr, 'u'},
        {"jobs", required_argument, nullptr, 'j'},
        {"reload", no_argument, nullptr, kReloadOption},
        {"library", required_argument, nullptr, kLibraryOption},
        {"prune", no_argument, nullptr, kPruneOption},
        {"formats", required_argument, nullptr, kFormatsOption},
        {"level", optional_argument, nullptr, kLevelOption},
        {"seamless", no_argument, nullptr, kSeamlessOption},
        {"check", no_argument, nullptr, kCheckOption},
        {"asterisk-config", required_argument, nullptr, kAsteriskConfigOption},
        {nullptr, 0, nullptr, 0},
    };
    // getopt words its complaints after argv[0]; ours always reads "moh-convert: ".
    std::vector<char*> args(argv, argv + argc);
    char name[] = "moh-convert";
    if (!args.empty()) args[0] = name;
    args.push_back(nullptr);
    ::optind = 0;  // a fresh scan, even if an earlier parse ran in this process
    ::opterr = 0;  // getopt would echo an argument as it is, escape sequences and all

    CommandLine command;
    bool help = false;
    bool version = false;
    bool check = false;
    const char* changing = nullptr;  // an option of runs that change the library
    for (int option;
         (option = ::getopt_long(argc, args.data(), "+:hVnquj:", kOptions, nullptr)) != -1;) {
        switch (option) {
            case 'h':
                help = true;
                break;
            case 'V':
                version = true;
                break;
            case 'n':
                changing = "--dry-run";
                command.run.dry_run = true;
                break;
            case 'q':
                changing = "--quiet";
                command.quiet = true;
                break;
            case 'u':
                changing = "--update";
                command.run.update = true;
                break;
            case 'j': {
                changing = "--jobs";
                char* end = nullptr;
                errno = 0;
                const long jobs = std::strtol(::optarg, &end, 10);
                if (errno != 0 || end == ::optarg || *end != '\0' || jobs < 0 ||
                    jobs > kJobsLimit) {
                    std::fprintf(stderr, "moh-convert: invalid number of jobs: '%s'\n",
                                 escape_name(::optarg).c_str());
                    return usage_error();
                }
                command.run.jobs = jobs == 0 ? processors() : static_cast<int>(jobs);
                break;
            }
            case kReloadOption:
                changing = "--reload";
                command.run.reload = true;
                break;
            case kFormatsOption: {
                std::string unknown;
                if (!parse_formats(::optarg, command.run.extra_formats, unknown)) {
                    std::string known;
                    for (const auto format : kOutputFormats) known += std::string(format) + ", ";
                    for (const auto format : kExtraFormats) known += std::string(format) + ", ";
                    known.resize(known.size() - 2);
                    std::fprintf(stderr, "moh-convert: unknown format '%s'; the formats are %s\n",
                                 escape_name(unknown).c_str(), known.c_str());
                    return usage_error();
                }
                break;
            }
            case kLevelOption: {
                changing = "--level";
                double level = kDefaultLevel;
                if (::optarg != nullptr) {
                    char* end = nullptr;
                    errno = 0;
                    level = std::strtod(::optarg, &end);
                    if (errno != 0 || end == ::optarg || *end != '\0' || !(level >= kLevelLowest) ||
                        !(level <= kLevelHighest)) {
                        std::fprintf(stderr,
                                     "moh-convert: invalid loudness target: '%s' (LUFS from %g to "
                                     "%g)\n",
                                     escape_name(::optarg).c_str(), kLevelLowest, kLevelHighest);
                        return usage_error();
                    }
                }
                command.run.level = level;
                break;
            }
            case kSeamlessOption:
                changing = "--seamless";
                command.run.seamless = true;
                break;
            case kPruneOption:
                changing = "--prune";
                command.run.prune = true;
                break;
            case kLibraryOption: {
                // Every listing line must begin with the library's path and one slash.
                std::string library = ::optarg;
                while (library.size() > 1 && library.back() == '/') library.pop_back();
                if (library.empty() || library.front() != '/' || library == "/") {
                    std::fprintf(stderr,
                                 "moh-convert: the library must be an absolute path: '%s'\n",
                                 escape_name(::optarg).c_str());
                    return usage_error();
                }
                command.run.library = library;
                break;
            }
            case kCheckOption:
                check = true;
                break;
            case kAsteriskConfigOption:
                command.asterisk_config = ::optarg;
                if (command.asterisk_config.empty()) {
                    std::fprintf(stderr, "moh-convert: --asterisk-config needs a file\n");
                    return usage_error();
                }
                break;
            default: {
                const std::string word = escape_name(::optind > 0 ? args[::optind - 1] : "");
                if (option == ':')
                    std::fprintf(stderr, "moh-convert: option '%s' requires an argument\n",
                                 word.c_str());
                else if (word.starts_with("--"))
                    std::fprintf(stderr, "moh-convert: unrecognized option '%s'\n", word.c_str());
                else
                    std::fprintf(stderr, "moh-convert: invalid option -- '%s'\n",
                                 escape_name(std::string(1, static_cast<char>(::optopt))).c_str());
                return usage_error();
            }
        }
    }
    if (::optind < argc) {
        std::fprintf(stderr, "moh-convert: extra operand '%s'\n",
                     escape_name(argv[::optind]).c_str());
        return usage_error();
    }
    if (help) {
        command.action = CommandLine::Action::kHelp;
    } else if (version) {
        command.action = CommandLine::Action::kVersion;
    } else if (check && changing != nullptr) {
        std::fprintf(stderr, "moh-convert: --check changes nothing; it takes no %s\n", changing);
        return usage_error();
    } else if (check) {
        command.action = CommandLine::Action::kCheck;
    } else if (!command.asterisk_config.empty()) {
        std::fprintf(stderr, "moh-convert: --asterisk-config goes with --check\n");
        return usage_error();
    }
    return command;
}

void print_usage(std::FILE* out) {
    std::fputs(
        "Usage: moh-convert [OPTION]...\n"
        "Give every audio file in the music-on-hold library\n"
        "/home/services/asterisk/var/lib/asterisk/mohmp3 a safe name, and convert every MP3\n"
        "into the formats Asterisk plays: ulaw, alaw, gsm, sln, sln16 and g722.\n"
        "\n"
        "  -n, --dry-run   show what a run would rename and convert; change nothing\n"
        "  -q, --quiet     print only the lines that report a problem\n"
        "  -u, --update    convert only the sources whose outputs are not known to be\n"
        "                  current, and say nothing of the rest\n"
        "  -j, --jobs=N    convert up to N MP3s at once; 0 means one per CPU (default 1)\n"
        "      --reload    after a run that published, replaced, renamed or removed\n"
        "                  something, run asterisk -rx \"moh reload\"\n"
        "      --prune     remove the outputs this command made of sources that are gone\n"
        "      --library=DIR  convert the library in DIR instead, such as\n"
        "                  /var/lib/asterisk/moh\n"
        "      --formats=LIST  also make the formats in the comma-separated LIST: sln48\n"
        "                  for Opus (WebRTC, softphones) calls, g729 for G.729 calls\n"
        "      --level[=LUFS]  bring each source to LUFS (default -20) before converting\n"
        "      --seamless  begin every output with 0.2 s of silence and a fade-in and end\n"
        "                  it with a fade-out, so that tracks join without a burst\n"
        "                  (G.722 callers hear one at every change without it)\n"
        "      --check     change nothing; say, as a Nagios plugin, whether Asterisk can\n"
        "                  play every source of every class in every format (with\n"
        "                  --library and --formats as the runs have them); any account\n"
        "                  that can read the library may run it\n"
        "      --asterisk-config=FILE  with --check, also check the mode=files classes of\n"
        "                  FILE (default /etc/asterisk/musiconhold.conf, when readable)\n"
        "  -h, --help      show this help and exit\n"
        "  -V, --version   show the version and exit\n"
        "\n"
        "Run it as root; --check, --help and --version need no root.\n"
        "\n"
        "Exit status:\n"
        "   0  the run ended and printed no problem line\n"
        "   1  the run ended and printed problem lines (the ones --quiet keeps)\n"
        "   2  usage error\n"
        "  20  the library or its listing cannot be had\n"
        "  74  the log could not be written (stdout full or closed)\n"
        "  75  another run holds the lock /run/moh-convert.lock\n"
        "  77  not run as root\n"
        "With --check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the library cannot be read,\n"
        "or a usage error).\n",
        out);
}

}  // namespace moh
