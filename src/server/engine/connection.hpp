// One record per socket: its two byte queues, the parsed request, the content
// being served and the engine's bookkeeping.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "server/cgi/cgi_job.hpp"
#include "server/cgi/program_errors.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/embed/hosted.hpp"
#include "server/http/chunked_body.hpp"

namespace vantrel {

enum Method { METHOD_GET = 0, METHOD_POST = 1, METHOD_PUT = 2, METHOD_DELETE = 3, METHOD_HEAD = 4 };

// The state bits. The engine's own phase is not among them: see Phase.
namespace flag {
constexpr unsigned closing = 0x001;          // free the record at the end of this step (mirrors Phase::Closing)
constexpr unsigned parsed = 0x002;           // request line accepted and dispatched
constexpr unsigned cgi_head_parsed = 0x004;  // the CGI program's reply head was handled
constexpr unsigned tls_accepted = 0x008;     // TLS accept succeeded
constexpr unsigned always_ready = 0x010;     // the handler can go on without waiting (Want::Again or Body)
constexpr unsigned sock_readable = 0x040;
constexpr unsigned sock_writable = 0x080;
constexpr unsigned fd_readable = 0x100;      // the local side may produce into `local`
constexpr unsigned fd_writable = 0x200;      // the local side may take bytes from `remote`
constexpr unsigned fd_is_socket = 0x400;     // `fd` is a socket polled like the client's
constexpr unsigned peer_eof = 0x800;         // the peer has finished sending (half-close or close)
constexpr unsigned corked = 0x2000;          // full segments only while a large file body is sent directly
constexpr unsigned peer_failed = 0x10000;    // a receive or send to the peer failed: it is gone
constexpr unsigned readiness = sock_readable | sock_writable | fd_readable | fd_writable;
}  // namespace flag

// Where a record is in its life. The engine's poll interest and what serve()
// does next follow from the phase (and, while Handling, the handler's Want).
enum class Phase : unsigned char {
    Listening,   // the listening record: accepts, never expires
    ReadHead,    // receiving the request head (after the TLS handshake)
    Handling,    // the content handler produces the reply and takes the body
    SendReply,   // the reply is complete in `local`: only sending is left
    SendDirect,  // the rest of a file body goes from `fd` straight to the socket
    Lingering,   // reply sent, write side shut: unread input is drained briefly
    Idle,        // between two requests: parked at the end of the step
    Closing,     // freed at the end of this step
};

// How a reply's body is delimited for the client; chosen by the reply unit.
enum class Framing : unsigned char {
    Undecided,  // not yet: chosen when the head goes out
    Length,     // Content-Length
    Chunked,    // Transfer-Encoding: chunked
    Close,      // the end of the connection ends the body
};

// What a content handler waits for before it can go on. The handler sets it;
// it ends its reply with body_done().
enum class Want : unsigned char {
    Nothing,  // nothing of its own (it waits for the client, or is done)
    Again,    // it can go on at once whenever `local` has room (a file, a listing)
    Body,     // more request body bytes in `remote`
    FdIn,     // `fd` readable
    FdOut,    // `fd` writable
    FdInOut,  // `fd` readable or writable
    // `fd` readable even while `local` is full (the handler keeps what does not
    // fit), and room in `local` again after the client took bytes
    FdInKeeping,
};

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
    std::string connection_header;  // the request's Connection value
    std::string transfer_encoding;
    bool has_content_length = false;
    bool bad_framing = false;      // a Content-Length that is not digits, or two that differ
    unsigned long long body_left = 0;  // request body bytes not yet taken from `remote`
    // A body in chunks is decoded in `remote` as it arrives: its data bytes come
    // first (`body_ready` of them), then what is not decoded yet. Until its end
    // its length is unknown (`body_left` stays kBodyLengthUnknown).
    bool chunked_body = false;
    ChunkedBody chunks;
    unsigned body_ready = 0;
    const char* path_info = nullptr;  // borrowed; valid only while handle() runs
    unsigned long posted = 0;      // PUT body bytes written so far
    UniqueFd fd;                   // file served or written, or the CGI socket
    struct stat file_stat {};
    DirPtr dirp;
    unsigned flags = 0;
    Phase phase = Phase::ReadHead;
    Want want = Want::Nothing;     // set by the content handler
    Framing framing = Framing::Undecided;
    bool keep_alive = false;       // the connection stays open after this reply
    int requests = 0;              // requests answered on this connection before this one

    // Engine bookkeeping.
    short tls_wait = 0;            // POLLIN or POLLOUT while a TLS accept waits
    int poll_sock = -1;            // index of `sock` in this step's poll set, or -1
    int poll_fd = -1;              // index of `fd` in this step's poll set, or -1
    unsigned long long file_left = 0;  // file bytes still to be read for the body
    unsigned long long received = 0;   // bytes received from the peer, head included
    // When the first byte of the request head came (the observer's duration).
    std::chrono::steady_clock::time_point request_started{};

    // A handler's own time limit: once `deadline` has passed while the record
    // is still Handling, the engine calls `on_overdue` (once), which ends the
    // handler's work and sets the reply. The step's wait never outlasts it.
    std::chrono::steady_clock::time_point deadline{};
    IoHandler on_overdue = nullptr;

    // CGI: the program's process id, reaped by that id alone.
    pid_t cgi_pid = -1;
    // A request for a program: its slot or place in the queue, FastCGI state.
    std::unique_ptr<CgiJob> job;
    // A per-request program's captured error output, and what it wrote so far
    // (a FastCGI worker's FCGI_STDERR goes there too).
    UniqueFd err_fd;
    int poll_err = -1;             // index of `err_fd` in this step's poll set, or -1
    ProgramErrors program_errors;
    // A request for a hosted path: its body, then its reply.
    HostedExchangePtr hosted;
    // PUT: the temporary file that replaces `put_target` once the body is complete.
    std::string put_temp;
    std::string put_target;

    connection() {
        uri[0] = request_uri[0] = request_text[0] = '\0';
        local.buf[0] = remote.buf[0] = '\0';
    }

    bool has(unsigned f) const { return (flags & f) != 0; }
};

}  // namespace vantrel
