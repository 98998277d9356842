// What a program writes to its error output for one request: each line goes to
// the server log, and the lines are kept for the request observer.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel {

struct connection;

class ProgramErrors {
public:
    // Most bytes kept per request; lines are kept whole or not at all.
    static constexpr std::size_t kKeptMax = 16384;
    // A line that never ends is logged in pieces of this size rather than held.
    static constexpr std::size_t kLinePieceMax = 4096;

    // Takes the next bytes; every complete line is logged, and kept when `keep`.
    void take(const char* data, std::size_t length, bool keep);
    // The output has ended: a last line without its newline is logged and kept.
    void finish(bool keep);
    const std::string& kept() const { return kept_; }
    void clear();

private:
    void line(const char* text, std::size_t length, bool keep);

    std::string partial_;  // bytes after the last newline
    std::string kept_;
    bool full_ = false;    // a line did not fit: nothing more is kept
};

// Reads what a per-request program wrote to its captured error output
// (`c.err_fd`) without waiting; closes the pipe at its end.
void read_program_errors(connection& c);

}  // namespace vantrel
