// The content handlers that handle() dispatches to, each in its own file.
#pragma once

#include <cstdio>
#include <string>

#include "server/connection.hpp"

namespace vantrel {

// --- static files (static_file.cpp) ---
// Opened file in c.fd: writes the reply head and arms the body.
void get_file(connection& c);
void get_file_body(connection& c);
// The MIME type for a URI from the context's list ("text/plain" when none).
const char* mime_type_for(const ServerContext& ctx, const char* uri);

// --- directory listing (listing.cpp) ---
// 0 when an index file was found: path, uri and file_stat now describe it; -1 otherwise.
int find_index_file(connection& c, char* path, std::size_t path_size);
void list_dir(connection& c);
void list_dir_rows(connection& c);

// --- Digest authentication (auth.cpp) ---
enum AuthResult { AUTH_REFUSED = 0, AUTH_OK = 1, AUTH_STALE = 2 };
// AUTH_OK: the request may proceed; otherwise it must be challenged (with
// stale=true for AUTH_STALE).
int check_authorization(connection& c, const char* path);
int check_password(connection& c, std::FILE* password_file);
// Once every password check of a request has passed: records the nonce count
// of its credentials under (user, nonce, cnonce). AUTH_OK the first time;
// AUTH_REFUSED for a count used before; AUTH_STALE when the nonce is older than
// what is still remembered. A request is checked against up to two password
// files, so the count is claimed once, here, and not by each check.
int claim_nonce_count(connection& c);
// The result of a request's last password check, its nonce count claimed when
// credentials were checked at all.
int authorize(connection& c, int checked);
// 401 with a new challenge; `stale` tells the client its nonce expired.
void send_challenge(connection& c, bool stale = false);
// `vantrel-httpd -A FILE REALM USER PASSWORD`: adds or replaces USER's line for
// REALM (HA1 computed), creating the file if needed. Returns 0 or -1 (message on stderr).
int htpasswd_add(const char* file, const char* realm, const char* user, const char* password);

// --- PUT and DELETE (put.cpp) ---
// Dispatch steps for PUT and DELETE on the mapped path, which lies in `folder`
// (the document root or an alias folder).
void handle_put_delete(connection& c, char* path, const std::string& folder);

// --- CGI (cgi.cpp) ---
bool is_cgi(const ServerContext& ctx, const char* path);
// 0 when the program runs and c.fd is its socket; -1 on failure (nothing left behind).
int run_cgi(connection& c, const char* path);
void get_cgi(connection& c);

}  // namespace vantrel
