// The content handlers that handle() dispatches to, each in its own file.
#pragma once

#include <cstdio>

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
// 1: the request may proceed; 0: it must be challenged.
int check_authorization(connection& c, const char* path);
int check_password(connection& c, std::FILE* password_file);
void send_challenge(connection& c);
// `vantrel-httpd -A FILE REALM USER PASSWORD`: adds or replaces USER's line for
// REALM (HA1 computed), creating the file if needed. Returns 0 or -1 (message on stderr).
int htpasswd_add(const char* file, const char* realm, const char* user, const char* password);

// --- PUT and DELETE (put.cpp) ---
// Dispatch steps for PUT and DELETE on the mapped path.
void handle_put_delete(connection& c, char* path);

// --- CGI (cgi.cpp) ---
bool is_cgi(const ServerContext& ctx, const char* path);
// 0 when the program runs and c.fd is its socket; -1 on failure (nothing left behind).
int run_cgi(connection& c, const char* path);
void get_cgi(connection& c);

}  // namespace vantrel
