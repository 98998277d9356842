// Runs a helper program to completion and collects what it prints: the PHP
// interpreter's module list, for one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vantrel::shell {

struct ProgramOutput {
    bool ran = false;     // the program was started and ended by itself within the limit
    int exit_code = -1;   // its exit code when it ran
    std::string out;      // its standard output (at most kProgramOutputMax bytes)
    std::string error;    // why it did not run, for a message
};

inline constexpr std::size_t kProgramOutputMax = 1 << 20;

// Runs argv (argv[0] a path, or a name looked up in PATH) with standard input
// and error on /dev/null and the process's environment; a program still
// running after `limit` is killed.
ProgramOutput RunForOutput(const std::vector<std::string>& argv,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace vantrel::shell
