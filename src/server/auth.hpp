// Digest authentication internals: credentials, password files, MD5.
#pragma once

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "server/connection.hpp"
#include "server/context.hpp"

namespace vantrel {

// The fields of one Digest Authorization header; each holds at most size - 1
// characters and starts empty.
struct Credentials {
    char user[64];
    char uri[kIoBufferSize];
    char cnonce[64];
    char nonce[33];
    char response[33];
    char qop[16];
    char nc[64];
};

// A nonce is the decimal server time of its challenge; it stays valid this long.
constexpr long kNonceLifetime = 3600;

// The governing password file for a mapped path: the global one, else the
// directory's own ".htpasswd". nullptr when there is none or it cannot be read.
std::FILE* open_auth_file(const ServerContext& ctx, const char* path);
// 1 when the Authorization header uses the Digest scheme (fields filled as far
// as present), else 0.
int parse_credentials(const connection& c, Credentials& cred);
// Reads the value after a keyword of `keyword_len` characters at `cursor`:
// quoted (up to the next '"') or bare (up to a blank, tab or comma). Returns the
// number of values read (0 or 1) and moves the cursor past what was read.
int fetchfield(const char*& cursor, char* dst, std::size_t dst_size, std::size_t keyword_len);
// 1 when the sent response equals the expected qop=auth digest for HA1, the
// nonce is fresh and the credentials' uri is the request URI as sent.
int checkpass(const connection& c, const char* ha1, const Credentials& cred);
// MD5 of the concatenated parts as 32 lowercase hex digits plus NUL.
void md5_hex(char out[33], std::initializer_list<std::string_view> parts);
// Compares two texts in time that depends only on their length.
bool secure_equal(std::string_view a, std::string_view b);
// True when `nonce` is a decimal time issued at most kNonceLifetime seconds
// before `now` and not after it.
bool nonce_is_fresh(const char* nonce, long now);

}  // namespace vantrel
