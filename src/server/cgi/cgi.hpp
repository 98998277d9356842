// The CGI gateway: which paths are programs, starting one for a request and
// relaying between the client and the program.
#pragma once

#include <string>

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

bool is_cgi(const ServerContext& ctx, const char* path);
// 0 when the program runs and c.fd is its socket; -1 on failure (nothing left behind).
// With `input_fd` >= 0 the program reads its input from that file (a body kept whole).
int run_cgi(connection& c, const char* path, int input_fd = -1);
void get_cgi(connection& c);

// `path` as an absolute path (false when the current folder cannot be read): a
// program runs in the script's folder, and a worker in its own, so a path
// relative to the server's folder would no longer name the script there.
bool absolute_path(const std::string& path, std::string& out);

// From here `remote` holds only request body bytes for the program: the head
// is consumed, and a GET has no body to pass on.
void keep_body_only(connection& c);

// The program's reply head is in `local` (whole or in part): once it is
// complete the client's reply head replaces it and cgi_head_parsed is set; an
// invalid head answers 500 and ends the relay (the program stopped, fd closed).
void cgi_reply_head_step(connection& c);

}  // namespace vantrel
