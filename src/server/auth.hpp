// Digest authentication internals: credentials, password files, MD5.
#pragma once

#include <cstddef>
#include <cstdint>
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
// AUTH_OK when the sent response equals the expected qop=auth digest for HA1,
// the credentials' uri is the request URI as sent, the nonce is fresh and a
// nonce count is given. AUTH_STALE for a right digest whose nonce has expired;
// otherwise AUTH_REFUSED. Whether the count was used before is claim_nonce_count's.
int checkpass(const connection& c, const char* ha1, const Credentials& cred);
// MD5 of the concatenated parts as 32 lowercase hex digits plus NUL.
void md5_hex(char out[33], std::initializer_list<std::string_view> parts);
// Compares two texts in time that depends only on their length.
bool secure_equal(std::string_view a, std::string_view b);
enum NonceState { NONCE_FRESH, NONCE_EXPIRED, NONCE_INVALID };
// FRESH: `nonce` is a decimal time issued at most kNonceLifetime seconds before
// `now` and not after it (its time goes to `issued`); EXPIRED: issued earlier;
// INVALID: not a time this server could have issued.
NonceState nonce_state(const char* nonce, long now, long* issued = nullptr);
bool nonce_is_fresh(const char* nonce, long now);
// The hexadecimal nonce count of a Digest header; false when it is not one (or 0).
bool parse_nonce_count(const char* nc, std::uint64_t& count);

}  // namespace vantrel
