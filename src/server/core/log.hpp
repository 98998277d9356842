// Server log (debug, error, fatal) on the standard error stream, and the access log.
#pragma once

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace vantrel {

struct connection;

enum LogLevel { LOG_DEBUG = 0, LOG_ERROR = 1, LOG_FATAL = 2 };

// Process-wide values; the UI thread and the server thread both touch them.
extern std::atomic<long> current_time;
extern std::atomic<int> debug_mode;

// Where "now" comes from; tests replace it to move the clock without waiting.
using TimeSource = std::function<long()>;
void set_time_source(TimeSource source);  // empty: the system clock
long read_clock();                        // the time source's value
void refresh_current_time();              // current_time = read_clock()

// Called with the text of every fatal message. The default prints nothing more
// (the line is already on stderr) and ends the process with exit code 1. A hook
// that returns lets the failing call return its failure value instead.
using FatalHook = std::function<void(const std::string& message)>;
void set_fatal_hook(FatalHook hook);  // empty: the default

// Set by any fatal message (so that do_init can return nullptr); cleared by clear_fatal.
bool fatal_happened();
void clear_fatal();

// Writes "%lu " with current_time, the message and a newline to stderr, flushed.
// Debug lines only while debug_mode is on. Fatal lines then call the fatal hook.
void server_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// One access-log line for a finished connection.
void log_access(std::FILE* stream, const connection& c);

}  // namespace vantrel
