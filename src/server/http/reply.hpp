// The reply unit: every byte of a reply head and of its body's framing. Status
// replies, the heads handlers build, a program's head as the client gets it,
// Content-Length or chunks, the interim "100 Continue", and whether the
// connection stays open after the reply.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/core/io_buffer.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

// The standard reason text for a status ("" for one without).
const char* standard_reason(int status);
// "HTTP/1.1 <status> <reason>\r\n"; the standard text when `reason` is empty.
std::string reply_status_line(int status, std::string_view reason);

// Status reply into `local`: status line, the extra header line if any, a blank
// line, then the status number, a space and the message.
void senderr(connection& c, int status, const char* reason, const char* extra_header,
             const char* format, ...) __attribute__((format(printf, 5, 6)));

// The reply's first `queued` bytes are in `local`, the first `header_bytes` of
// them its head; they go out before anything else.
void reply_head_written(connection& c, unsigned header_bytes, unsigned queued);

// A reply head built into `local` (which it replaces): the status line, the
// handler's own fields, then the framing and connection lines, which are the
// reply unit's alone.
class ReplyHead {
public:
    // `reason` nullptr: the standard text for the status.
    ReplyHead(connection& c, int status, const char* reason = nullptr);
    ReplyHead(const ReplyHead&) = delete;
    ReplyHead& operator=(const ReplyHead&) = delete;

    // One "Name: value" line, CR LF added.
    ReplyHead& field(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends the head of a body of `length` bytes (a HEAD request gets the same head).
    void end_with_length(unsigned long long length);
    // Ends the head of a reply that has no body (its status says so: 204, 304).
    void end_without_body();
    // Ends the head of a body whose end the client learns when the connection closes.
    void end_unframed();

private:
    void finish();

    connection& c_;
    std::size_t used_ = 0;
};

// True when the request head holds "Expect: 100-continue".
bool expects_continue(const connection& c);
// For a request whose body is about to be read (its head already consumed from
// `remote`): the interim "100 Continue" when the client waits for it and no body
// byte has come yet. Written through the engine's write path (it is the first
// thing sent on the connection).
void send_continue_if_expected(connection& c);

// ---- a program's reply (CGI and FastCGI) ----

// Bytes to keep free in `local` while a program's head is incomplete.
constexpr std::size_t kCgiHeadReserve = 64;
// Room each piece of a chunked body needs beyond its bytes, the last chunk's included.
constexpr std::size_t kChunkReserve = 32;

// The program's reply head, `consumed` bytes at the front of `c.local`, becomes
// the head the client gets: `status_line`, the program's `fields` (its lines
// less "Status:", blank line included), and "Connection: close" unless the
// program named the connection itself; body bytes after it are moved. Room for
// the longer head must have been kept (kCgiHeadReserve bytes beyond what the
// program sent). False when it does not fit (nothing changed then).
bool place_program_head(connection& c, int status, std::string_view status_line, std::string_view fields,
                        unsigned consumed);
// The program's output has ended with its whole reply still in `local`: the
// head gets the body's length, so the client can tell a complete reply from one
// cut short. Nothing changes for a reply that has begun to go out, a HEAD
// request, a status without a body, or a head that already frames its body.
void add_program_length(connection& c);
// The reply to an HTTP/1.1 request is going out before the program has ended:
// its body is sent in chunks (so a reply cut short can be told from a whole
// one), the body so far as the first. False, with nothing changed, under the
// same conditions as above, for an older client, or when the framing does not
// fit; the body then ends with the connection.
bool start_program_chunks(connection& c);
// Appends `length` bytes as one chunk (nothing for none); the caller has kept
// kChunkReserve bytes free beyond them.
void append_chunk(io_buffer& out, const char* data, std::size_t length);
// Appends the empty chunk that ends the body.
void append_last_chunk(io_buffer& out);

}  // namespace vantrel
