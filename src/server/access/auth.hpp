// Digest authentication: the check of a request against its password file, the
// challenge, and the pieces (credentials, password files, MD5, nonces).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "server/config/context.hpp"
#include "server/core/limits.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

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
