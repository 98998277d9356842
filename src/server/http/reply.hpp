// Replies the server makes itself: status replies and the interim "100 Continue".
#pragma once

#include "server/engine/connection.hpp"

namespace vantrel {

// Status reply into `local`: status line, the extra header line if any, a blank
// line, then the status number, a space and the message.
void senderr(connection& c, int status, const char* reason, const char* extra_header,
             const char* format, ...) __attribute__((format(printf, 5, 6)));

// True when the request head holds "Expect: 100-continue".
bool expects_continue(const connection& c);
// For a request whose body is about to be read (its head already consumed from
// `remote`): the interim "100 Continue" when the client waits for it and no body
// byte has come yet. Written through the
// engine's write path (it is the first thing sent on the connection).
void send_continue_if_expected(connection& c);

}  // namespace vantrel
