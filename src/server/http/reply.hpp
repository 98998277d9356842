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
    // The same from its two parts, copied as they are.
    ReplyHead& line(std::string_view name, std::string_view value);
    // Ends the head of a body of `length` bytes (a HEAD request gets the same head).
    void end_with_length(unsigned long long length);
    // Ends the head of a reply that has no body (its status says so: 204, 304).
    void end_without_body();
    // Ends the head of a body whose end the client learns when the connection closes.
    void end_unframed();

private:
    // Copies `text` after what is written, cut where the queue ends.
    void append(std::string_view text);
    void append_decimal(unsigned long long value);
    void connection_line();
    void finish();

    connection& c_;
    std::size_t used_ = 0;
};

// Whether the request lets its connection stay open after the reply:
// persistent connections are on, the request was read whole and its end is
// known, the client asks for it (HTTP/1.1 unless "Connection: close", HTTP/1.0
// with "Connection: keep-alive"), and the connection's request limit is not
// reached. The reply's framing decides the rest.
bool request_keeps_connection(const connection& c);

// Where the next body bytes go at the end of `local`, and how many fit, under
// the reply's framing (room for a chunk's size line, its end and the last
// chunk is kept aside).
struct BodySpace {
    char* data;
    std::size_t size;
};
BodySpace body_space(connection& c);
// `n` bytes were written at body_space().data: they become part of the body.
void body_written(connection& c, std::size_t n);
// The head is about to go out while the body's framing is still open (a
// program's reply, a listing): its length when the whole body is here, else
// chunks for HTTP/1.1, else the end of the connection; with the connection line.
void frame_before_sending(connection& c);
// The body is complete: a chunked one gets its last chunk.
void end_body_framing(connection& c);

// True when the request head holds "Expect: 100-continue".
bool expects_continue(const connection& c);
// For a request whose body is about to be read (its head already consumed from
// `remote`): the interim "100 Continue" when the client waits for it and no body
// byte has come yet. Written through the engine's write path (it is the first
// thing sent on the connection).
void send_continue_if_expected(connection& c);

// ---- a program's reply (CGI and FastCGI) ----

// Bytes to keep free in `local` while a program's head is incomplete: the
// client's head may be longer (status line, connection and framing lines).
constexpr std::size_t kCgiHeadReserve = 192;
// Room each piece of a chunked body needs beyond its bytes, the last chunk's included.
constexpr std::size_t kChunkReserve = 32;
// Room kept free after the head while the framing is open: its lines and the
// first chunk's size line.
constexpr std::size_t kFramingReserve = 128;

// The program's reply head, `consumed` bytes at the front of `c.local`, becomes
// the head the client gets: `status_line`, the program's `fields` (its lines
// less "Status:", blank line included), and "Connection: close" unless the
// program named the connection itself; body bytes after it are moved. Room for
// the longer head must have been kept (kCgiHeadReserve bytes beyond what the
// program sent). False when it does not fit (nothing changed then).
bool place_program_head(connection& c, int status, std::string_view status_line, std::string_view fields,
                        unsigned consumed);

}  // namespace vantrel
