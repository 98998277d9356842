// A program's reply head: reading it, the head the client gets, and the
// framing of the body (length or chunks).
#pragma once

#include <cstddef>
#include <string>

#include "server/core/io_buffer.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

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

}  // namespace vantrel
