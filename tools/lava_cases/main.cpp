// timing-lava-cases: a report stream (JSON Lines, as boardmark --json writes
// it) to LAVA test cases, through LAVA's lava-test-set and lava-test-case
// commands on the board. See timing-lava-cases(1).
#include <spawn.h>
#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cases.h"

extern char** environ;

namespace {

constexpr int EXIT_COMMAND_FAILED = 1;
constexpr int EXIT_USAGE = 2;

bool read_file(const std::string& path, std::string* text) {
    if (path == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        *text = all.str();
        return !std::cin.bad();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return !in.bad();
}

std::vector<std::vector<std::string>> commands_of(const Conversion& conversion) {
    std::vector<std::vector<std::string>> commands;
    std::string open_set;
    for (const LavaCase& item : conversion.cases) {
        if (item.set != open_set) {
            if (!open_set.empty()) commands.push_back({"lava-test-set", "stop"});
            if (!item.set.empty()) commands.push_back({"lava-test-set", "start", item.set});
            open_set = item.set;
        }
        std::vector<std::string> command = {"lava-test-case", item.name, "--result",
                                            item.passed ? "pass" : "fail"};
        if (!item.measurement.empty()) {
            command.insert(command.end(),
                           {"--measurement", item.measurement, "--units", item.units});
        }
        commands.push_back(command);
    }
    if (!open_set.empty()) commands.push_back({"lava-test-set", "stop"});
    return commands;
}

// Runs argv from PATH and waits for it; false with a message when it could
// not run or did not exit with 0.
bool run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child;
    const int error = posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ);
    if (error != 0) {
        std::fprintf(stderr, "timing-lava-cases: cannot run %s: %s\n", args[0],
                     std::strerror(error));
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "timing-lava-cases: waiting for %s: %s\n", args[0],
                         std::strerror(errno));
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    // 127: the child could not exec the program (posix_spawnp says so
    // in its status where it cannot return the error, as under an emulator).
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        std::fprintf(stderr, "timing-lava-cases: cannot run %s: exit status 127\n", args[0]);
    } else {
        std::fprintf(stderr, "timing-lava-cases: %s %s failed\n", args[0], args[1]);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Reports each result row of a report stream (JSON Lines, e.g. boardmark --json) as a "
        "LAVA test case with its measurement and unit: the rows of a measurement in a test set "
        "of its name, failed rows and unreadable lines as failed cases, the warnings as the "
        "case 'warnings' (RUN-warnings with --run).",
        "timing-lava-cases"};
    std::string input = "-";
    std::string errors_path;
    std::string run_name;
    bool print = false;
    app.add_option("FILE", input, "JSON Lines to read; - for standard input")
        ->capture_default_str();
    app.add_option("--errors", errors_path,
                   "Standard error of the run: its lines 'PROGRAM: ROW: WHY' are failed rows");
    app.add_option("--run", run_name,
                   "Name of the run: its warnings case is RUN-warnings, so that several runs can "
                   "report into one LAVA test");
    app.add_flag("--print", print,
                 "Print the lava-test-set and lava-test-case commands instead of running them");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return e.get_exit_code() == 0 ? code : EXIT_USAGE;
    }

    std::string jsonl;
    std::string errors;
    if (!read_file(input, &jsonl)) {
        std::fprintf(stderr, "timing-lava-cases: cannot read %s\n", input.c_str());
        return EXIT_USAGE;
    }
    if (!errors_path.empty() && !read_file(errors_path, &errors)) {
        std::fprintf(stderr, "timing-lava-cases: cannot read %s\n", errors_path.c_str());
        return EXIT_USAGE;
    }
    const Conversion conversion = convert_reports(jsonl, errors, run_name);
    for (const std::string& note : conversion.notes) {
        std::fprintf(stderr, "timing-lava-cases: %s\n", note.c_str());
    }
    // Every command is tried, also after one that failed: no case is lost
    // for another's sake.
    bool all_ran = true;
    for (const auto& command : commands_of(conversion)) {
        if (print) {
            std::string line;
            for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
            std::printf("%s\n", line.c_str());
        } else {
            all_ran = run(command) && all_ran;
        }
    }
    if (std::fflush(stdout) != 0) all_ran = false;
    return all_ran ? 0 : EXIT_COMMAND_FAILED;
}
