// One record per socket, its two byte queues, and the poll loop that drives them.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "server/cgi_job.hpp"
#include "server/context.hpp"
#include "server/io_buffer.hpp"
#include "server/limits.hpp"

namespace vantrel {

// Owns a descriptor; -1 means none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ != -1; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ != -1) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using DirPtr = std::unique_ptr<DIR, DirClose>;

enum Method { METHOD_GET = 0, METHOD_POST = 1, METHOD_PUT = 2, METHOD_DELETE = 3, METHOD_HEAD = 4 };

namespace flag {
constexpr unsigned closing = 0x001;          // free the record at the end of this step
constexpr unsigned parsed = 0x002;           // request line accepted and dispatched
constexpr unsigned cgi_head_parsed = 0x004;  // the CGI program's reply head was handled
constexpr unsigned tls_accepted = 0x008;     // TLS accept succeeded
constexpr unsigned always_ready = 0x010;     // local side is a file or listing: ready every step
constexpr unsigned listener = 0x020;         // the listening record: accepts, never expires
constexpr unsigned sock_readable = 0x040;
constexpr unsigned sock_writable = 0x080;
constexpr unsigned fd_readable = 0x100;      // the local side may produce into `local`
constexpr unsigned fd_writable = 0x200;      // the local side may take bytes from `remote`
constexpr unsigned fd_is_socket = 0x400;     // `fd` is a socket polled like the client's
constexpr unsigned peer_eof = 0x800;         // the peer has finished sending (half-close or close)
constexpr unsigned lingering = 0x1000;       // reply sent, write side shut, draining unread input
constexpr unsigned corked = 0x2000;          // full segments only while a file body is sent directly
constexpr unsigned body_direct = 0x4000;     // the rest of the body goes from `fd` straight to the socket
constexpr unsigned consumes_body = 0x8000;   // the content function only takes bytes from `remote`
constexpr unsigned peer_failed = 0x10000;    // a receive or send to the peer failed: it is gone
constexpr unsigned cgi_input_ended = 0x20000;  // the CGI program's input has been shut down
constexpr unsigned readiness = sock_readable | sock_writable | fd_readable | fd_writable;
}  // namespace flag

using OnReady = void (*)(ServerContext& ctx, connection& c);
using IoHandler = void (*)(connection& c);
// A content handler's own clean-up, run once when the engine ends the record's
// work (lingering or freeing): it releases what the handler started besides `fd`
// (a program, a temporary file). `stopping`: the whole context is being freed,
// so nothing the handler started may be left running afterwards.
using Cleanup = void (*)(connection& c, bool stopping);

struct connection {
    ServerContext* ctx = nullptr;  // borrowed: the owning context
    sockaddr_in peer{};
    socklen_t peer_len = 0;
    long created = 0;              // the request head must be complete kHeadSeconds after this
    long expires = 0;              // idle deadline
    long if_modified_since = 0;    // 0: header absent
    UniqueFd sock;
    SslPtr ssl;
    int request_len = 0;           // 0 incomplete, -1 bad byte, else head length
    int status = 0;
    int method = -1;
    unsigned long content_length = 0;
    unsigned long body_length = 0;   // 0: not limited
    unsigned long header_length = 0;
    unsigned long sent = 0;
    OnReady on_ready = nullptr;
    io_buffer local;               // the reply
    io_buffer remote;              // bytes received from the peer
    IoHandler io_handler = nullptr;
    Cleanup cleanup = nullptr;     // set by the handler that needs one
    char method_name[kWordSize] = {};
    char uri[kIoBufferSize];            // decoded in place during dispatch
    char request_uri[kIoBufferSize];    // as received
    char request_text[kIoBufferSize];   // copy of the received head (and any body bytes)
    char protocol[kWordSize] = {};
    std::string user;              // authenticated user name
    std::string authorization;
    std::string user_agent;
    std::string dir_path;          // directory being listed
    std::string referer;
    std::string cookie;
    std::string content_type;
    std::string location;
    std::string query;
    std::string range;
    bool has_content_type = false;  // a "Content-Type: " line was present (even if empty)
    const char* path_info = nullptr;  // borrowed; valid only while handle() runs
    unsigned long posted = 0;      // PUT body bytes written so far
    UniqueFd fd;                   // file served or written, or the CGI socket
    struct stat file_stat {};
    DirPtr dirp;
    unsigned flags = 0;

    // Engine bookkeeping.
    short tls_wait = 0;            // POLLIN or POLLOUT while a TLS accept waits
    int poll_sock = -1;            // index of `sock` in this step's poll set, or -1
    int poll_fd = -1;              // index of `fd` in this step's poll set, or -1
    unsigned long long file_left = 0;  // file bytes still to be read for the body
    unsigned long long received = 0;   // bytes received from the peer, head included

    // CGI: the program's process id, reaped by that id alone.
    pid_t cgi_pid = -1;
    // A request for a program: its slot or place in the queue, FastCGI state.
    std::unique_ptr<CgiJob> job;
    // The far side (`fd`) has bytes to take even while `remote` is empty.
    bool fd_wants_write = false;
    // PUT: the temporary file that replaces `put_target` once the body is complete.
    std::string put_temp;
    std::string put_target;

    connection() {
        uri[0] = request_uri[0] = request_text[0] = '\0';
        local.buf[0] = remote.buf[0] = '\0';
    }

    bool has(unsigned f) const { return (flags & f) != 0; }
};

// errno values after which the same call is simply made again later.
bool try_again(int err);
bool set_nonblocking(int fd);

// True once the whole announced request body has arrived (at once for a request
// without one).
bool body_received(const connection& c);

// The reply's first `queued` bytes are in `local`, the first `header_bytes` of
// them its head; they go out before anything else.
void reply_head_written(connection& c, unsigned header_bytes, unsigned queued);
// The content function has produced its last byte: what `local` holds ends the reply.
void body_done(connection& c);
// The remaining `file_left` bytes of the body go from the file in `fd` straight
// to the socket (plain TCP only), once `local` has drained.
void send_rest_directly(connection& c);

// Opens the IPv4 listening socket on `address` (dotted; empty or nullptr: every
// address). Fatal on failure (-1 returned when the fatal hook returns). Port 0
// picks a free port (see bound_port).
int server_open_port(int port, const char* address = nullptr);
int bound_port(int sock);
// Wraps a listening socket in a record and links it into the context.
void server_listen(ServerContext& ctx, int sock);
void do_accept(ServerContext& ctx, connection& listener);
// `peer` is the address accept() returned, or nullptr to ask the socket.
void server_add(ServerContext& ctx, int sock, const sockaddr_in* peer = nullptr);
void handshake(connection& c);
int readremote(connection& c, char* dst, std::size_t len);
int writeremote(connection& c, const char* src, std::size_t len);
// Like writeremote, with the bytes taken from the file `file_fd` at its offset.
int sendfile_remote(connection& c, int file_fd, std::size_t len);
void serve(ServerContext& ctx, connection& c);
// One pass: wait at most `ms` for activity, serve what is ready, free what finished.
void server_step(ServerContext& ctx, int ms);
void link_connection(ServerContext& ctx, std::unique_ptr<connection> c);
std::unique_ptr<connection> unlink_connection(ServerContext& ctx, connection* c);
// Writes the access-log line, releases everything the record owns.
void disconnect(ServerContext& ctx, connection* c);
// Frees every record when the context goes: handlers stop what they started.
void disconnect_all(ServerContext& ctx);

}  // namespace vantrel
