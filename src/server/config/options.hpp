// The process-wide option table, the configuration file and switches, and the
// making and freeing of a context.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/config/context.hpp"

namespace vantrel {

using Setter = void (*)(ServerContext& ctx, const std::string& value);

enum OptionKind { KIND_TEXT = 0, KIND_BOOL = 1, KIND_NUMBER = 2, KIND_FILE = 4, KIND_DIR = 8 };

struct OptionRow {
    char letter;
    const char* keyword;
    const char* description;
    Setter setter;
    const char* arg_label;
    const char* default_value;           // nullptr: none
    std::optional<std::string> value;    // current value, process-wide
    int kind;
};

constexpr std::size_t kOptionCount = 24;

// The table in its order (setters run and usage prints in this order).
std::vector<OptionRow>& option_table();
// Clears every current value (tests; a fresh process starts this way).
void reset_options();

// setopt for each pair in order, then do_init with the file and no arguments.
// Returns nullptr after a fatal message whose hook returned.
std::unique_ptr<ServerContext> init_context(
    const char* config_file, const std::vector<std::pair<std::string, std::string>>& options);
// Replaces a row's current value. Unknown keyword: fatal, false.
bool setopt(const char* keyword, const char* value);
// Defaults, configuration file, switches, setters, in that order.
std::unique_ptr<ServerContext> do_init(const char* config_file, int argc, const char* const* argv);
// First row whose letter equals `letter`, or (when given) whose keyword equals `keyword`.
OptionRow* find_option(char letter, const char* keyword);
// Closes every connection (access-log lines included), the log, the context.
void free_context(std::unique_ptr<ServerContext> ctx);
// Option listing on stderr, then exit code 1.
[[noreturn]] void usage(const char* program);
// Prints the listing without exiting.
void print_usage(std::FILE* stream, const char* program);

}  // namespace vantrel
