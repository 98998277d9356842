// The part of a program's reply that the client has not taken yet. It waits in
// memory up to a bound and beyond it in an unnamed temporary file, so that the
// program is free for the next request as soon as it has written its reply,
// however slowly the client reads.
#pragma once

#include <cstddef>
#include <string>

#include "server/core/handles.hpp"

namespace vantrel {

class ReplySpool {
public:
    // Bytes kept in memory before the file is used.
    static constexpr std::size_t kMemoryBytes = 64 * 1024;
    // Bytes kept at most for one reply; beyond it the program waits for the client.
    static constexpr unsigned long long kMaxBytes = 1ULL << 30;

    bool empty() const { return size() == 0; }
    unsigned long long size() const { return (memory_.size() - memory_taken_) + (file_written_ - file_taken_); }
    // How many more bytes append() takes.
    unsigned long long room() const { return kMaxBytes - size(); }

    // Keeps `n` bytes after those kept before. False when they do not fit or
    // the file cannot be written (nothing of them is kept then).
    bool append(const char* data, std::size_t n);
    // Moves up to `max` of the oldest bytes to `out`; returns how many, 0 only
    // when empty or on a read error (`failed()` tells).
    std::size_t take(char* out, std::size_t max);
    bool failed() const { return failed_; }

private:
    bool append_to_file(const char* data, std::size_t n);
    void reset_when_empty();

    std::string memory_;  // the oldest bytes; the file's come after them
    std::size_t memory_taken_ = 0;
    UniqueFd file_;
    unsigned long long file_written_ = 0;
    unsigned long long file_taken_ = 0;
    bool failed_ = false;
};

}  // namespace vantrel
