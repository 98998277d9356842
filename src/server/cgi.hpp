// The pieces of the CGI gateway: the environment block, the program's command
// line and its start, and the reaping of finished programs. The gateway itself
// (is_cgi, run_cgi, get_cgi, cgi_release) is declared in handlers.hpp.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "server/connection.hpp"

namespace vantrel {

// Room for every variable of any request the server accepts: the request head,
// URI, query, PATH_INFO and Content-Type are each below 16 KiB, the header lines
// become at most about 2.25 times their own size (a 4-byte "a:b\n" line is the
// 9-byte "HTTP_A=b"), the three script paths are below PATH_MAX, plus the
// server's own variables and the configured extra ones.
constexpr std::size_t kCgiEnvironmentSize = 256 * 1024;

// The fields of a CGI program's reply head that the server acts on, and the
// head as the client gets it.
struct CgiReplyHead {
    int status = 0;        // from "Status:", 0 when the program sent none
    std::string reason;    // the text after the code in "Status:"; may be empty
    std::string location;  // from the first "Location:"
    std::string fields;    // the program's header lines less "Status:", blank line included

    // The program's status; else 302 when it gave a Location; else 200.
    int reply_status() const;
    // "HTTP/1.1 <status> <reason>\r\n" with the program's reason text, or the
    // standard one for the status when it gave none.
    std::string status_line() const;
};

// Reads a program's reply head: the `length` bytes up to and including its
// blank line, wherever they came from. False when a Status value is not a
// three-digit code.
bool parse_cgi_reply_head(const char* head, std::size_t length, CgiReplyHead& out);
// The standard reason text for a status ("" for one without).
const char* standard_reason(int status);

// The program's reply head, `length` bytes at the front of `c.local`, becomes
// the head the client gets (status line, the program's lines less "Status:",
// "Connection: close" unless the program named the connection itself),
// moving any body bytes after it. Room for the longer head must have been kept:
// kCgiHeadReserve bytes beyond what the program sent. False when the head is
// not valid (nothing changed then).
bool place_cgi_reply_head(connection& c, unsigned length);
// The program's output has ended with its whole reply still in `local`: the
// head gets the body's length, so the client can tell a complete reply from one
// cut short. Nothing changes for a reply that has begun to go out, a HEAD
// request, a status without a body, or a head that already frames its body.
void add_cgi_reply_length(connection& c);
// The reply to an HTTP/1.1 request is going out before the program has ended:
// its body is sent in chunks (so a reply cut short can be told from a whole
// one), the body so far as the first. False, with nothing changed, under the
// same conditions as above, for an older client, or when the framing does not
// fit; the body then ends with the connection, as before.
bool start_chunked_cgi_reply(connection& c);
// Room each piece of a chunked body needs beyond its bytes, the last chunk's
// included.
constexpr std::size_t kChunkReserve = 32;
// Appends `length` bytes as one chunk (nothing for none); the caller has kept
// kChunkReserve bytes free beyond them.
void append_chunk(io_buffer& out, const char* data, std::size_t length);
// Appends the empty chunk that ends the body.
void append_last_chunk(io_buffer& out);
// Bytes to keep free in `local` while a program's head is incomplete.
constexpr std::size_t kCgiHeadReserve = 64;

// `path` as an absolute path (false when the current folder cannot be read): a
// program runs in the script's folder, and a worker in its own, so a path
// relative to the server's folder would no longer name the script there.
bool absolute_path(const std::string& path, std::string& out);

// From here `remote` holds only request body bytes for the program: the head
// is consumed, and a GET has no body to pass on.
void keep_body_only(connection& c);

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

// What to run: the arguments and the folder to run them in.
struct CgiCommand {
    std::vector<std::string> argv;
    std::string workdir;
    bool search_path = false;  // argv[0] is a bare name to look up in PATH
};

// Builds the command for a script: {interpreter, script} when an interpreter is
// configured; else the script's "#!" line split as the kernel splits it
// (interpreter and at most one optional argument) followed by the script; else
// the script alone. Returns false for a path too long to use.
bool cgi_command(const std::string& interpreter, const char* script, CgiCommand& out);

// Starts the program with standard input and output on the far end of a new
// socket pair and standard error on the server's own, no other descriptor, and
// default signal handling. On success returns the process id and stores the
// near end (non-blocking, close-on-exec) in `near_fd`; on failure returns -1
// with nothing left open.
pid_t cgi_spawn(const CgiCommand& command, char* const envp[], UniqueFd& near_fd);

// The program's reply head is in `local` (whole or in part): once it is
// complete the client's reply head replaces it and cgi_head_parsed is set; an
// invalid head answers 500 and ends the relay (io_handler cleared, fd closed).
void cgi_reply_head_step(connection& c);

// Reaps `pid` if it has finished; otherwise keeps it on a process-wide list that
// a background thread reaps by process id once it ends (never waitpid(-1)).
void cgi_reap(pid_t pid);
// Stops a program and everything it started in its process group at once: it
// cannot act on anything after this returns.
void cgi_kill(pid_t pid);
// Waits for `pid` (and only it) to end, reaping it.
void cgi_wait(pid_t pid);
// Ids handed to cgi_reap that have not been reaped yet (for tests).
std::size_t cgi_unreaped_count();

}  // namespace vantrel
