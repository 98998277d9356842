// A program's reply head: reading the fields the server acts on. The head the
// client gets and the body's framing are the reply unit's (http/reply.hpp).
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace vantrel
