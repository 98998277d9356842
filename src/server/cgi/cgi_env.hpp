// A CGI program's environment block and the variables of a request.
#pragma once

#include <cstddef>
#include <vector>

#include "server/engine/connection.hpp"

namespace vantrel {

// Room for every variable of any request the server accepts: the request head,
// URI, query, PATH_INFO and Content-Type are each below 16 KiB, the header lines
// become at most about 2.25 times their own size (a 4-byte "a:b\n" line is the
// 9-byte "HTTP_A=b"), the three script paths are below PATH_MAX, plus the
// server's own variables and the configured extra ones.
constexpr std::size_t kCgiEnvironmentSize = 256 * 1024;

// A program's environment: NAME=value entries, each ended by a NUL, in one block
// of fixed capacity, and the pointer table execve wants. The block grows as
// entries come, up to the capacity: a typical request needs about a kilobyte.
class CgiEnvironment {
public:
    explicit CgiEnvironment(std::size_t capacity = kCgiEnvironmentSize);

    // Appends one formatted entry. An entry that does not fit is not cut: the
    // call returns false and the whole environment counts as failed.
    bool add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Appends HTTP_NAME=value for a request header: the name upper-cased with
    // every "-" turned into "_". False, as for add, when it does not fit.
    bool add_header(const char* name, std::size_t name_len, const char* value, std::size_t value_len);
    bool ok() const { return !failed_; }
    std::size_t count() const { return offsets_.size(); }
    // The entry at index i (for tests and logging).
    const char* entry(std::size_t i) const { return block_.data() + offsets_[i]; }
    // The NULL-terminated table; valid until the next add.
    char* const* envp();

private:
    // Makes room for `need` more bytes plus the closing NUL; false beyond the capacity.
    bool make_room(std::size_t need);

    std::vector<char> block_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    bool failed_ = false;
    std::vector<std::size_t> offsets_;
    std::vector<char*> table_;
};

// Fills `env` with the CGI/1.1 variables of the request on `c` for the script
// at `path` (absolute). Returns false when an entry did not fit.
bool build_cgi_environment(const connection& c, const char* path, CgiEnvironment& env);

}  // namespace vantrel
