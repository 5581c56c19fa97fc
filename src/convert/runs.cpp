// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/runs.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace moh {
namespace {

std::string program_name(const Child& child) {
    const std::string& path = child.argv.front();
    return path.substr(path.rfind('/') + 1);
}

// `said` with each of the child's private paths (under the work directory) shown as `source`,
// the path in the library they stand for.
std::string shown_as_source(std::string said, const Child& child, const ChainContext& context,
                            const std::string& source) {
    const std::string work = context.settings.work_dir + "/";
    for (const std::string& word : child.argv) {
        if (source.empty() || word.compare(0, work.size(), work) != 0) continue;
        for (auto at = said.find(word); at != std::string::npos;
             at = said.find(word, at + source.size()))
            said.replace(at, word.size(), source);
    }
    return said;
}

}  // namespace

bool no_room(int error) {
    return error == ENOSPC || error == EDQUOT;
}

bool no_room(const std::string& failure) {
    return failure.find(std::strerror(ENOSPC)) != std::string::npos ||
           failure.find(std::strerror(EDQUOT)) != std::string::npos;
}

bool succeeded(const Child& child, const Outcome& outcome) {
    const int status = outcome.result.wait_status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           (program_name(child) != "sox" || outcome.verdict.failure.empty());
}

bool cannot_open_input(const std::string& failure) {
    return failure.find("can't open input file") != std::string::npos;
}

bool report(const Child& child, const Outcome& outcome, const ChainContext& context,
            const std::string& converting, const std::string& source) {
    if (succeeded(child, outcome)) return true;
    const int status = outcome.result.wait_status;
    const std::string line = command_line(child);
    const std::string program = program_name(child);
    const CaptureVerdict& verdict = outcome.verdict;
    Log& log = context.log;
    const bool exited_0 = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!outcome.result.refused.empty()) {
        log.failure("Not running %s -- %s\n", line.c_str(), outcome.result.refused.c_str());
    } else if (exited_0) {
        // sox exits 0 after some write errors, a full disk among them.
        log.failure("Command reported \"%s\" though it exited with status 0: %s\n",
                    verdict.failure.c_str(), line.c_str());
    } else if (WIFSIGNALED(status)) {
        log.failure("Command killed by signal %d: %s\n", WTERMSIG(status), line.c_str());
    } else {
        log.failure("Command failed with exit status %d: %s\n", WEXITSTATUS(status), line.c_str());
    }
    if (!converting.empty()) log.failure("  converting %s\n", converting.c_str());
    if (exited_0) return false;
    if (outcome.result.timed_out) {
        log.failure("  timed out after %lld s\n",
                    static_cast<long long>(context.settings.child_time_limit.count()));
    }
    const std::string said = shown_as_source(
        program == "sox" ? verdict.failure : verdict.first_line, child, context, source);
    if (!said.empty()) log.failure("  %s said: %s\n", program.c_str(), said.c_str());
    return false;
}

Outcome run_judged(const Child& child, const ChainContext& context) {
    std::vector<std::string> own_paths;
    for (const auto& word : child.argv) {
        if (word.find('/') != std::string::npos) own_paths.push_back(word);
    }
    CaptureScanner scanner(std::move(own_paths));
    context.log.flush();
    const ChildResult result =
        context.runner.run(child, [&](std::string_view bytes) { scanner.feed(bytes); });
    return {result, scanner.finish()};
}

void run_side_by_side(std::vector<Stage>& stages, const ChainContext& context) {
    std::vector<std::thread> threads;
    for (Stage& stage : stages) {
        const auto run = [&stage, &context] {
            stage.outcome = run_judged(stage.child, context);
            stage.pipe_ends.clear();
        };
        try {
            threads.emplace_back(run);
        } catch (const std::system_error&) {
            stage.outcome.result.wait_status = 127 << 8;  // as a child that could not start
            stage.pipe_ends.clear();
        }
    }
    for (auto& thread : threads) thread.join();
}

bool run_and_report(const Child& child, const ChainContext& context) {
    const Outcome outcome = run_judged(child, context);
    return !outcome.result.interrupted && report(child, outcome, context);
}

}  // namespace moh
