// Digest authentication: the pieces on their own, then the real server against
// curl and hand-made Authorization headers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <string>

#include "digest_client.hpp"
#include "testkit.hpp"

#include "server/access/auth.hpp"
#include "server/access/nonce_memory.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"

using namespace vantrel;
using testkit::TempDir;

namespace {

const char kRealm[] = "vantrel-test";

// Moves the server clock for one test and puts the system clock back afterwards.
class FixedClock {
public:
    explicit FixedClock(long t) : now_(std::make_shared<long>(t)) {
        auto now = now_;
        set_time_source([now] { return *now; });
        refresh_current_time();
    }
    ~FixedClock() {
        set_time_source({});
        refresh_current_time();
    }
    void set(long t) {
        *now_ = t;
        refresh_current_time();
    }

private:
    std::shared_ptr<long> now_;
};

struct Request {
    std::unique_ptr<ServerContext> ctx = std::make_unique<ServerContext>();
    std::unique_ptr<connection> c = std::make_unique<connection>();
    Request(const char* method, const char* uri) {
        ctx->auth_realm = kRealm;
        c->ctx = ctx.get();
        std::strcpy(c->method_name, method);
        std::strcpy(c->request_uri, uri);
    }
};

std::unique_ptr<Credentials> parse(const std::string& header) {
    Request r("GET", "/");
    r.c->authorization = header;
    auto cred = std::make_unique<Credentials>();
    if (parse_credentials(*r.c, *cred) != 1) return nullptr;
    return cred;
}

}  // namespace

TEST(DigestUnit, Md5HexMatchesRfc1321TestSuite) {
    char out[33];
    const std::pair<const char*, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        md5_hex(out, {text});
        EXPECT_STREQ(out, digest) << "md5(\"" << text << "\")";
    }
    // The parts are hashed as one concatenated text.
    md5_hex(out, {"message", " ", "", "digest"});
    EXPECT_STREQ(out, "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(DigestUnit, SecureEqualComparesWholeTexts) {
    EXPECT_TRUE(secure_equal("", ""));
    EXPECT_TRUE(secure_equal("6629fae49393a05397450978507c4ef1", "6629fae49393a05397450978507c4ef1"));
    EXPECT_FALSE(secure_equal("6629fae49393a05397450978507c4ef1", "7629fae49393a05397450978507c4ef1"));
    EXPECT_FALSE(secure_equal("6629fae49393a05397450978507c4ef1", "6629fae49393a05397450978507c4ef2"));
    EXPECT_FALSE(secure_equal("6629fae49393a05397450978507c4ef1", "6629FAE49393A05397450978507C4EF1"));
    EXPECT_FALSE(secure_equal("abc", "abcd"));
    EXPECT_FALSE(secure_equal("abcd", "abc"));
    EXPECT_FALSE(secure_equal("", "a"));
}

TEST(DigestUnit, NonceMustBeARecentServerTime) {
    const long now = 1700000000;
    EXPECT_TRUE(nonce_is_fresh("1700000000", now));
    EXPECT_TRUE(nonce_is_fresh("1699996400", now));   // exactly an hour old
    EXPECT_FALSE(nonce_is_fresh("1699996399", now));  // older than an hour
    EXPECT_FALSE(nonce_is_fresh("1700000001", now));  // from the future
    EXPECT_FALSE(nonce_is_fresh("", now));
    EXPECT_FALSE(nonce_is_fresh("17000x0000", now));
    EXPECT_FALSE(nonce_is_fresh("-1", now));
    EXPECT_FALSE(nonce_is_fresh("dcd98b7102dd2f0e8b11d0f600bfb0c0", now));
    EXPECT_FALSE(nonce_is_fresh("99999999999999999999999", now));
}

TEST(DigestUnit, FetchfieldReadsQuotedAndBareValues) {
    char dst[16];
    const char* text = "nonce=\"12345\", nc=00000001, qop=auth";
    const char* cursor = text;
    ASSERT_EQ(fetchfield(cursor, dst, sizeof dst, 6), 1);
    EXPECT_STREQ(dst, "12345");
    EXPECT_EQ(*cursor, '"');  // the closing quote is left to the caller's step

    cursor = std::strstr(text, "nc=");
    ASSERT_EQ(fetchfield(cursor, dst, sizeof dst, 3), 1);
    EXPECT_STREQ(dst, "00000001");
    EXPECT_EQ(*cursor, ',');

    cursor = std::strstr(text, "qop=");
    ASSERT_EQ(fetchfield(cursor, dst, sizeof dst, 4), 1);
    EXPECT_STREQ(dst, "auth");
    EXPECT_EQ(*cursor, '\0');

    // An empty quoted value reads nothing and leaves the cursor on the quote.
    const char* empty = "uri=\"\", x";
    cursor = empty;
    std::strcpy(dst, "before");
    EXPECT_EQ(fetchfield(cursor, dst, sizeof dst, 4), 0);
    EXPECT_STREQ(dst, "before");
    EXPECT_EQ(cursor, empty + 4);

    // A value longer than the field keeps its first size - 1 characters.
    const char* longer = "cnonce=\"0123456789abcdefXYZ\"";
    cursor = longer;
    ASSERT_EQ(fetchfield(cursor, dst, sizeof dst, 7), 1);
    EXPECT_STREQ(dst, "0123456789abcde");
}

TEST(DigestUnit, CredentialsParseInAnyOrderQuotedOrBare) {
    auto a = parse("Digest username=\"alice\", realm=\"r\", nonce=\"1700000000\", uri=\"/p/x.txt?q=1\", "
                   "cnonce=\"abc\", nc=00000002, qop=auth, response=\"6629fae49393a05397450978507c4ef1\"");
    auto b = parse("dIgEsT RESPONSE=6629fae49393a05397450978507c4ef1,qop=\"auth\",NC=\"00000002\",cnonce=abc,"
                   "Uri=\"/p/x.txt?q=1\",nonce=1700000000,username=alice");
    ASSERT_TRUE(a && b);
    for (const Credentials* cred : {a.get(), b.get()}) {
        EXPECT_STREQ(cred->user, "alice");
        EXPECT_STREQ(cred->nonce, "1700000000");
        EXPECT_STREQ(cred->uri, "/p/x.txt?q=1");
        EXPECT_STREQ(cred->cnonce, "abc");
        EXPECT_STREQ(cred->nc, "00000002");
        EXPECT_STREQ(cred->qop, "auth");
        EXPECT_STREQ(cred->response, "6629fae49393a05397450978507c4ef1");
    }
    // cnonce must not be taken for nonce, nor the other way round.
    auto c = parse("Digest cnonce=\"111\", nonce=\"222\"");
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->cnonce, "111");
    EXPECT_STREQ(c->nonce, "222");
    // Missing fields stay empty; other schemes are not credentials.
    auto d = parse("Digest username=\"bob\"");
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->user, "bob");
    EXPECT_STREQ(d->response, "");
    EXPECT_EQ(parse("Basic YWxpY2U6d29uZGVy"), nullptr);
    EXPECT_EQ(parse("Digest"), nullptr);
}

TEST(DigestUnit, CheckpassAcceptsOnlyAFreshLowercaseDigestForThisUri) {
    const long now = 1700000000;
    FixedClock clock(now);
    const std::string ha1 = digest_client::md5("alice:" + std::string(kRealm) + ":wonder");
    Request r("GET", "/p/secret.txt?x=1");
    digest_client::Params p{"alice", kRealm, "wonder", "GET", "/p/secret.txt?x=1", std::to_string(now)};

    auto check = [&](const digest_client::Params& params) {
        std::string header = digest_client::authorization(params);
        r.c->authorization = header.substr(std::strlen("Authorization: "), header.size() - 17);
        Credentials cred;
        EXPECT_EQ(parse_credentials(*r.c, cred), 1);
        return checkpass(*r.c, ha1.c_str(), cred);
    };
    EXPECT_EQ(check(p), 1);

    auto upper = p;
    upper.uppercase_response = true;
    EXPECT_EQ(check(upper), 0);

    auto wrong_password = p;
    wrong_password.password = "wonderland";
    EXPECT_EQ(check(wrong_password), 0);

    // The credentials' uri must be the request URI exactly as sent, query included.
    auto other_uri = p;
    other_uri.uri = "/p/secret.txt";
    EXPECT_EQ(check(other_uri), 0);

    // A nonce from the future is no nonce of ours.
    clock.set(now - 1);
    auto next = p;
    next.nc = "00000010";
    EXPECT_EQ(check(next), AUTH_REFUSED);
    clock.set(now);
}

TEST(DigestUnit, EachNonceCountIsGoodForOneRequestAndExpiredNoncesAreStale) {
    const long now = 1700000000;
    FixedClock clock(now);
    const std::string ha1 = digest_client::md5("alice:" + std::string(kRealm) + ":wonder");
    Request r("PUT", "/p/x.txt");
    auto with = [&](std::string nc, std::string cnonce = "c1", std::string password = "wonder") {
        digest_client::Params p{"alice", kRealm, password, "PUT", "/p/x.txt", std::to_string(now)};
        p.nc = nc;
        p.cnonce = cnonce;
        return p;
    };
    auto check = [&](const digest_client::Params& params) {
        std::string header = digest_client::authorization(params);
        r.c->authorization = header.substr(std::strlen("Authorization: "), header.size() - 17);
        Credentials cred;
        EXPECT_EQ(parse_credentials(*r.c, cred), 1);
        r.c->user = cred.user;
        return authorize(*r.c, checkpass(*r.c, ha1.c_str(), cred));
    };
    struct Step {
        long clock_offset;
        digest_client::Params params;
        int expected;
        const char* why;
    } steps[] = {
        {0, with("00000001"), AUTH_OK, "first use"},
        {0, with("00000001"), AUTH_REFUSED, "the same header again"},
        {0, with("00000003"), AUTH_OK, "a later count"},
        {0, with("00000002"), AUTH_OK, "an earlier count that arrived late"},
        {0, with("00000002"), AUTH_REFUSED, "that one again"},
        {0, with("00000001", "c2"), AUTH_OK, "another client challenged in the same second"},
        {0, with("00000000"), AUTH_REFUSED, "count 0 is never sent"},
        {0, with("zz"), AUTH_REFUSED, "not a count"},
        {3600, with("00000004"), AUTH_OK, "an hour old"},
        {3601, with("00000005"), AUTH_STALE, "older than an hour, right password"},
        {3601, with("00000006", "c1", "wrong"), AUTH_REFUSED, "older than an hour, wrong password"},
    };
    for (const Step& s : steps) {
        clock.set(now + s.clock_offset);
        EXPECT_EQ(check(s.params), s.expected) << s.why;
    }
}

TEST(DigestUnit, NonceCountMemoryIsBoundedAndForgottenNoncesAreStale) {
    NonceCountMemory memory(2);
    EXPECT_EQ(memory.use("u", "100", "a", 1, 100), NonceCountMemory::NC_FRESH);
    EXPECT_EQ(memory.use("u", "101", "a", 1, 101), NonceCountMemory::NC_FRESH);
    EXPECT_EQ(memory.use("u", "102", "a", 1, 102), NonceCountMemory::NC_FRESH);  // drops the first key
    EXPECT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory.use("u", "100", "a", 1, 100), NonceCountMemory::NC_STALE);  // may have been used
    EXPECT_EQ(memory.use("v", "100", "b", 1, 100), NonceCountMemory::NC_STALE);
    EXPECT_EQ(memory.use("u", "103", "a", 1, 103), NonceCountMemory::NC_FRESH);
    // A count far below the highest one under a key cannot be told apart any more.
    EXPECT_EQ(memory.use("u", "103", "a", 1 + kNonceCountWindow + 1, 103), NonceCountMemory::NC_FRESH);
    EXPECT_EQ(memory.use("u", "103", "a", 2, 103), NonceCountMemory::NC_REPLAYED);
}

TEST(DigestUnit, CheckPasswordMatchesUserAndConfiguredRealm) {
    const long now = 1700000000;
    FixedClock clock(now);
    TempDir dir;
    Request r("GET", "/x");
    digest_client::Params p{"alice", kRealm, "wonder", "GET", "/x", std::to_string(now)};
    std::string header = digest_client::authorization(p);
    r.c->authorization = header.substr(std::strlen("Authorization: "), header.size() - 17);

    unsigned count = 0;
    auto check = [&](const std::string& content) {
        // Each try with a count of its own, so that none is refused as a replay.
        char nc[9];
        std::snprintf(nc, sizeof nc, "%08x", ++count);
        p.nc = nc;
        if (!r.c->authorization.empty()) {
            std::string h = digest_client::authorization(p);
            r.c->authorization = h.substr(std::strlen("Authorization: "), h.size() - 17);
        }
        testkit::write_file(dir / "pw", content);
        FilePtr f(std::fopen((dir / "pw").c_str(), "r"));
        return check_password(*r.c, f.get());
    };
    // A line for another realm does not match; a later one for ours does, CR LF endings included.
    std::string other_realm = digest_client::htpasswd_line("alice", "elsewhere", "wonder");
    std::string ours = digest_client::htpasswd_line("alice", kRealm, "wonder");
    EXPECT_EQ(check(other_realm), 0);
    EXPECT_EQ(check("garbage line\n" + other_realm + ours), 1);
    EXPECT_EQ(r.c->user, "alice");
    std::string crlf = ours;
    crlf.insert(crlf.size() - 1, "\r");
    EXPECT_EQ(check(crlf), 1);
    // User names compare exactly.
    EXPECT_EQ(check(digest_client::htpasswd_line("Alice", kRealm, "wonder")), 0);
    // The first line for the user and realm decides.
    EXPECT_EQ(check(digest_client::htpasswd_line("alice", kRealm, "other") + ours), 0);
    // No credentials at all.
    r.c->authorization.clear();
    EXPECT_EQ(check(ours), 0);
}

TEST(DigestUnit, PasswordFileIsTheDirectorysOwnOrTheGlobalOne) {
    TempDir dir;
    testkit::write_file(dir / "a/.htpasswd", "x:y:z\n");
    ServerContext ctx;
    FilePtr own(open_auth_file(ctx, (dir / "a/file.txt").c_str()));
    EXPECT_NE(own, nullptr);
    FilePtr dir_request(open_auth_file(ctx, (dir / "a/").c_str()));
    EXPECT_NE(dir_request, nullptr);
    // Only that one directory counts, not its parents or children.
    FilePtr child(open_auth_file(ctx, (dir / "a/sub/file.txt").c_str()));
    EXPECT_EQ(child, nullptr);
    FilePtr parent(open_auth_file(ctx, (dir / "file.txt").c_str()));
    EXPECT_EQ(parent, nullptr);
    // A path without any "/" has no directory password file.
    EXPECT_EQ(open_auth_file(ctx, "file.txt"), nullptr);

    testkit::write_file(dir / "global", "g:r:h\n");
    ctx.global_htpasswd = dir / "global";
    FilePtr global(open_auth_file(ctx, (dir / "file.txt").c_str()));
    ASSERT_NE(global, nullptr);
    char line[32] = {};
    ASSERT_NE(std::fgets(line, sizeof line, global.get()), nullptr);
    EXPECT_STREQ(line, "g:r:h\n");
}

TEST(DigestUnit, PasswordFileNameTooLongToLookUpIsChallengedOnlyWhereOneMayExist) {
    TempDir dir;
    Request r("GET", "/x");
    // A real folder whose own path fits, while "<folder>/.htpasswd" is past the path limit.
    std::string deep = dir.path();
    while (deep.size() + 201 < PATH_MAX - 10) deep += "/" + std::string(200, 'd');
    deep += "/" + std::string(PATH_MAX - 6 - deep.size() - 1, 'e');
    testkit::make_dirs(deep);
    ASSERT_LT(deep.size() + 2, static_cast<std::size_t>(PATH_MAX));
    ASSERT_GE(deep.size() + 10, static_cast<std::size_t>(PATH_MAX));
    struct Case {
        std::string path;
        int expected;
        const char* why;
    } cases[] = {
        {dir / "file.txt", AUTH_OK, "no password file"},
        {deep + "/a", AUTH_REFUSED, "a password file may exist beside a file that may be served"},
        {"/" + std::string(300, 'z') + "/x", AUTH_OK, "a folder name longer than any name cannot exist"},
        {"/" + std::string(5000, 'p') + "/x", AUTH_OK, "a path longer than any path cannot exist"},
    };
    for (const Case& c : cases) EXPECT_EQ(check_authorization(*r.c, c.path.c_str()), c.expected) << c.why;
    r.ctx->global_htpasswd = "/" + std::string(5000, 'g');
    EXPECT_EQ(check_authorization(*r.c, (dir / "file.txt").c_str()), AUTH_REFUSED);
}

TEST(DigestUnit, ChallengeCarriesRealmAndCurrentTime) {
    FixedClock clock(1700000123);
    Request r("GET", "/x");
    send_challenge(*r.c);
    std::string reply(r.c->local.buf, r.c->local.head);
    EXPECT_EQ(reply,
              "HTTP/1.1 401 Unauthorized\r\n"
              "WWW-Authenticate: Digest qop=\"auth\", realm=\"vantrel-test\", nonce=\"1700000123\"\r\n"
              "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
              "\r\n"
              "401 Authorization required");
    EXPECT_EQ(r.c->status, 401);
}

TEST(DigestUnit, HtpasswdAddCreatesAndReplacesLines) {
    TempDir dir;
    const std::string file = dir / "pw";
    ASSERT_EQ(htpasswd_add(file.c_str(), "r1", "alice", "one"), 0);
    EXPECT_EQ(testkit::read_file(file), digest_client::htpasswd_line("alice", "r1", "one"));

    // Other users and other realms stay; the user's line for the realm is replaced in place.
    testkit::write_file(file, "# note\n" + digest_client::htpasswd_line("alice", "r1", "one") +
                                  digest_client::htpasswd_line("alice", "r2", "two") + "bob:r1:abc\r\n");
    ASSERT_EQ(htpasswd_add(file.c_str(), "r1", "alice", "three"), 0);
    EXPECT_EQ(testkit::read_file(file), "# note\n" + digest_client::htpasswd_line("alice", "r1", "three") +
                                            digest_client::htpasswd_line("alice", "r2", "two") + "bob:r1:abc\r\n");
    ASSERT_EQ(htpasswd_add(file.c_str(), "r3", "carol", "four"), 0);
    EXPECT_NE(testkit::read_file(file).find(digest_client::htpasswd_line("carol", "r3", "four")), std::string::npos);

    // Names that the reader could never match are refused, the file left alone.
    std::string before = testkit::read_file(file);
    EXPECT_EQ(htpasswd_add(file.c_str(), "r1", "al:ice", "x"), -1);
    EXPECT_EQ(htpasswd_add(file.c_str(), "r:1", "alice", "x"), -1);
    EXPECT_EQ(htpasswd_add(file.c_str(), "r1", "", "x"), -1);
    EXPECT_EQ(htpasswd_add(file.c_str(), "r1", std::string(64, 'u').c_str(), "x"), -1);
    EXPECT_EQ(testkit::read_file(file), before);
    EXPECT_EQ(htpasswd_add((dir / "missing/pw").c_str(), "r1", "alice", "x"), -1);
}

// --- the real server ---

namespace {

struct ProtectedSite {
    TempDir root;
    ProtectedSite(const std::string& htpasswd) {
        testkit::write_file(root / "protected/secret.txt", "the secret\n");
        testkit::write_file(root / "protected/other.txt", "other\n");
        testkit::write_file(root / "protected/.htpasswd", htpasswd);
        testkit::write_file(root / "open/page.txt", "open page\n");
    }
};

testkit::CommandResult curl_digest(const testkit::ServerProcess& server, const std::string& path,
                                   const std::string& credentials) {
    return testkit::curl({"--digest", "-u", credentials, "-w", "\n%{http_code}", server.url(path)});
}

std::string last_line(const std::string& out) { return out.substr(out.rfind('\n') + 1); }

}  // namespace

TEST(DigestServer, CurlDigestPassesOnlyWithTheRightPasswordAndRealm) {
    ProtectedSite site(digest_client::htpasswd_line("alice", kRealm, "wonder") +
                       digest_client::htpasswd_line("bob", "other-realm", "builder"));
    testkit::ServerProcess server({"-d", site.root.path(), "-N", kRealm});

    auto ok = curl_digest(server, "/protected/secret.txt", "alice:wonder");
    EXPECT_EQ(ok.exit_code, 0);
    EXPECT_EQ(ok.out, "the secret\n\n200");
    // With a query the digest covers the URI with its query.
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt?x=1&y=2", "alice:wonder").out), "200");

    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "alice:wonderland").out), "401");
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "carol:wonder").out), "401");
    // bob's line is for another realm.
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "bob:builder").out), "401");
    // Unprotected folders need nothing.
    EXPECT_EQ(testkit::http_get(server.port(), "/open/page.txt").body, "open page\n");
}

TEST(DigestServer, ChallengeAndRefusedHeaders) {
    ProtectedSite site(digest_client::htpasswd_line("alice", kRealm, "wonder"));
    testkit::ServerProcess server({"-d", site.root.path(), "-N", kRealm});

    auto plain = testkit::http_get(server.port(), "/protected/secret.txt");
    EXPECT_EQ(plain.status_line, "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(plain.body, "401 Authorization required");
    std::smatch m;
    const std::string challenge = plain.headers["www-authenticate"];
    ASSERT_TRUE(std::regex_match(challenge, m, std::regex("Digest qop=\"auth\", realm=\"vantrel-test\", nonce=\"([0-9]+)\"")))
        << challenge;
    long nonce = std::stol(m[1].str());
    EXPECT_LE(std::labs(nonce - static_cast<long>(std::time(nullptr))), 60);

    // Basic credentials count as none.
    auto basic = testkit::http_get(server.port(), "/protected/secret.txt", "Authorization: Basic YWxpY2U6d29uZGVy\r\n");
    EXPECT_EQ(basic.status, 401);

    digest_client::Params p{"alice", kRealm, "wonder", "GET", "/protected/secret.txt", m[1].str()};
    auto good = testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(p));
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(good.body, "the secret\n");
    // The same header captured and sent again: refused with a new challenge.
    auto replayed = testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(p));
    EXPECT_EQ(replayed.status, 401);
    EXPECT_EQ(replayed.headers["www-authenticate"].find("stale"), std::string::npos);
    auto next = p;
    next.nc = "00000002";
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(next)).status, 200);

    auto upper = p;
    upper.uppercase_response = true;
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(upper)).status, 401);

    // Credentials made for one file do not open another.
    auto other = p;
    other.uri = "/protected/other.txt";
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(other)).status, 401);

    // A replayed header whose nonce is two hours old, and one from the future.
    auto stale = p;
    stale.nonce = std::to_string(std::time(nullptr) - 7200);
    auto stale_reply = testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(stale));
    EXPECT_EQ(stale_reply.status, 401);
    // The password was right: the client may retry with the new nonce without asking its user.
    EXPECT_TRUE(std::regex_match(stale_reply.headers["www-authenticate"],
                                 std::regex("Digest qop=\"auth\", realm=\"vantrel-test\", nonce=\"[0-9]+\", stale=true")))
        << stale_reply.headers["www-authenticate"];
    auto future = p;
    future.nonce = std::to_string(std::time(nullptr) + 7200);
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(future)).status, 401);
    auto not_a_time = p;
    not_a_time.nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c0";
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/secret.txt", digest_client::authorization(not_a_time)).status,
              401);
}

TEST(DigestServer, PasswordFilesAreNeverServedAndPathInfoIsChallenged) {
    ProtectedSite site(digest_client::htpasswd_line("alice", kRealm, "wonder"));
    testkit::write_file(site.root / "protected/copy.htpasswd", "copy\n");
    testkit::write_file(site.root / "open/old.htpasswd", "old\n");
    testkit::ServerProcess server({"-d", site.root.path(), "-N", kRealm});

    // Valid credentials for the folder still do not fetch a password file.
    auto copy = curl_digest(server, "/protected/copy.htpasswd", "alice:wonder");
    EXPECT_EQ(copy.out, "403 Permission Denied\n403");
    EXPECT_EQ(testkit::http_get(server.port(), "/open/old.htpasswd").body, "403 Permission Denied");
    EXPECT_EQ(testkit::http_get(server.port(), "/open/old%2Ehtpasswd").status, 403);
    // The folder's own file, asked for by name, is refused even with valid credentials.
    auto own = curl_digest(server, "/protected/.htpasswd", "alice:wonder");
    EXPECT_EQ(own.out, "403 Permission Denied\n403");
    EXPECT_EQ(own.out.find(":vantrel-test:"), std::string::npos);
    EXPECT_EQ(testkit::http_get(server.port(), "/open/%2ehtpasswd").status, 403);

    // Extra path after a protected file is the protected file.
    auto extra = testkit::http_get(server.port(), "/protected/secret.txt/extra");
    EXPECT_EQ(extra.status, 401);
    EXPECT_EQ(extra.body.find("the secret"), std::string::npos);
    // The folder itself is protected by its own file.
    EXPECT_EQ(testkit::http_get(server.port(), "/protected/").status, 401);
}

TEST(DigestServer, PasswordFileMadeByDashAWorksWithCurl) {
    TempDir root;
    testkit::write_file(root / "protected/secret.txt", "the secret\n");
    const std::string pw = root / "protected/.htpasswd";

    auto made = testkit::run_command({testkit::httpd_path(), "-A", pw, kRealm, "alice", "wonder"});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(testkit::read_file(pw), digest_client::htpasswd_line("alice", kRealm, "wonder"));
    EXPECT_EQ(testkit::run_command({testkit::httpd_path(), "-A", pw, kRealm, "bob", "builder"}).exit_code, 0);

    testkit::ServerProcess server({"-d", root.path(), "-N", kRealm});
    EXPECT_EQ(curl_digest(server, "/protected/secret.txt", "alice:wonder").out, "the secret\n\n200");
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "bob:builder").out), "200");

    // Changing alice's password replaces her line: the old one stops working.
    EXPECT_EQ(testkit::run_command({testkit::httpd_path(), "-A", pw, kRealm, "alice", "rabbit"}).exit_code, 0);
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "alice:wonder").out), "401");
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "alice:rabbit").out), "200");
    EXPECT_EQ(last_line(curl_digest(server, "/protected/secret.txt", "bob:builder").out), "200");
}

TEST(DigestServer, GlobalPasswordFileGuardsEveryFolder) {
    ProtectedSite site("");
    TempDir outside;
    const std::string pw = outside / "global.htpasswd";
    testkit::write_file(pw, digest_client::htpasswd_line("alice", kRealm, "wonder"));
    testkit::ServerProcess server({"-d", site.root.path(), "-N", kRealm, "-P", pw});
    EXPECT_EQ(testkit::http_get(server.port(), "/open/page.txt").status, 401);
    EXPECT_EQ(curl_digest(server, "/open/page.txt", "alice:wonder").out, "open page\n\n200");
}
