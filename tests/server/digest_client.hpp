// A Digest client for tests that need to shape the Authorization header
// themselves (case of the response, stale nonces, mismatched URIs).
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "testkit.hpp"

#include "server/access/auth.hpp"

namespace digest_client {

inline std::string md5(const std::string& text) {
    char out[33];
    vantrel::md5_hex(out, {text});
    return out;
}

// A password-file line: user:realm:HA1.
inline std::string htpasswd_line(const std::string& user, const std::string& realm, const std::string& password) {
    return user + ":" + realm + ":" + md5(user + ":" + realm + ":" + password) + "\n";
}

// A client nonce of its own for every set of parameters: the server refuses a
// nonce count used twice under one (user, nonce, cnonce).
inline std::string fresh_cnonce() {
    static unsigned counter = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%x%04x", static_cast<unsigned>(getpid()), ++counter);
    return text;
}

struct Params {
    std::string user, realm, password, method, uri, nonce;
    std::string cnonce = fresh_cnonce();
    std::string nc = "00000001";
    bool uppercase_response = false;
};

// The qop=auth response of RFC 2617.
inline std::string response(const Params& p) {
    std::string ha1 = md5(p.user + ":" + p.realm + ":" + p.password);
    std::string ha2 = md5(p.method + ":" + p.uri);
    std::string r = md5(ha1 + ":" + p.nonce + ":" + p.nc + ":" + p.cnonce + ":auth:" + ha2);
    if (p.uppercase_response)
        for (auto& ch : r) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return r;
}

inline std::string authorization(const Params& p) {
    return "Authorization: Digest username=\"" + p.user + "\", realm=\"" + p.realm + "\", nonce=\"" + p.nonce +
           "\", uri=\"" + p.uri + "\", cnonce=\"" + p.cnonce + "\", nc=" + p.nc + ", qop=auth, response=\"" +
           response(p) + "\", algorithm=MD5\r\n";
}

// The nonce of the challenge the server sends for `path` ("" when none came).
inline std::string fetch_nonce(int port, const std::string& method, const std::string& path) {
    std::string raw = testkit::raw_request(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                                     (method == "PUT" ? "Content-Length: 1\r\n\r\nx" : "\r\n"));
    std::smatch m;
    static const std::regex nonce_re("nonce=\"([0-9]+)\"");
    return std::regex_search(raw, m, nonce_re) ? m[1].str() : std::string();
}

}  // namespace digest_client
