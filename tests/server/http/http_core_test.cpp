// The standalone server over real sockets: request parsing, status replies,
// static files, ranges, validators, logs, configuration and load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "testkit.hpp"

#include "server/access/htaccess.hpp"
#include "server/http/http_date.hpp"

using namespace testkit;
using namespace std::chrono_literals;

namespace {

class HttpCore : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(site / "index.html", "<h1>home</h1>");
        write_file(site / "a.txt", std::string(100, 'a'));
        write_file(site / "doc/A.HTML", "<p>doc</p>");
        write_file(site / "doc/html", "no dot");
        write_file(site / "x y z", "spaced");
        write_file(site / "empty.txt", "");
        std::string thousand;
        for (int i = 0; i < 1000; ++i) thousand += static_cast<char>('0' + i % 10);
        write_file(site / "k.bin", thousand);
        make_dirs(site / "docs");
        write_file(site / "docs/readme.txt", "readme");
        write_file(outside / "secret", "secret");
    }
    ServerProcess start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-d", site.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        return ServerProcess(args);
    }
    TempDir site;
    TempDir outside;
};

std::string read_all(int s, std::chrono::milliseconds limit = 10s) {
    std::string out;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

TEST_F(HttpCore, RequestArrivingInPiecesIsAnsweredOnceComplete) {
    auto server = start();
    int s = connect_loopback(server.port());
    ASSERT_GE(s, 0);
    for (std::string piece : {"GET /a.t", "xt HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}) {
        send(s, piece.data(), piece.size(), 0);
        std::this_thread::sleep_for(30ms);
    }
    HttpReply r = parse_reply(read_all(s));
    close(s);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, std::string(100, 'a'));
}

TEST_F(HttpCore, HeadEndsWithLfLfOrCrLfCrLf) {
    auto server = start();
    EXPECT_EQ(parse_reply(raw_request(server.port(), "GET /a.txt HTTP/1.1\n\n")).status, 200);
    EXPECT_EQ(parse_reply(raw_request(server.port(), "GET /a.txt HTTP/1.1\r\n\r\n")).status, 200);
}

TEST_F(HttpCore, StatusRepliesHaveTheirExactWireForm) {
    auto server = start();
    // Every status reply is typed plain text that browsers must not sniff.
    const std::string typed = "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n";
    struct Case {
        std::string request;
        std::string reply;
    } cases[] = {
        {"GET /x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n" + typed + "\r\n404 Not Found: [/x]"},
        {"GET /<script>alert(1)</script> HTTP/1.1\r\n\r\n",
         "HTTP/1.1 404 Not Found\r\n" + typed + "\r\n404 Not Found: [/<script>alert(1)</script>]"},
        {"GET /docs HTTP/1.1\r\n\r\n",
         "HTTP/1.1 301 Moved Permanently\r\nLocation: /docs/\r\n" + typed + "\r\n301 Moved, Location: /docs/"},
        {"GET /a.txt HTTP/1.1\r\nX: a\tb\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n" + typed + "\r\n400 Bad request"},
        {"GET HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n" + typed + "\r\n400 Bad Request"},
        {"GET a.txt HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n" + typed + "\r\n400 Bad Request"},
        {"GET /a.txt FTP/1.0\r\n\r\n", "HTTP/1.1 501 Bad Protocol\r\n" + typed + "\r\n501 Procotol Not Supported"},
        {"OPTIONS / HTTP/1.1\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n" + typed + "\r\n501 Method Not Implemented"},
        {"GET /a.txt\r\nHost: x\r\n\r\n", "HTTP/1.1 501 Bad Protocol\r\n" + typed + "\r\n501 Procotol Not Supported"},
    };
    for (const auto& c : cases) EXPECT_EQ(raw_request(server.port(), c.request), c.reply) << c.request;
}

// Folders a request must not leave or may not enter, one table of request and
// status against one server. Reads through a link the administrator made stay.
TEST_F(HttpCore, AliasesHtaccessLongNamesAndLinksAnswerByTable) {
    write_file(outside / "al/in.txt", "aliased");
    write_file(outside / "bl/in.txt", "aliased too");
    write_file(outside / "bl_x/secret.txt", "sibling");  // beside the alias folder
    write_file(site / "data/pages/start.txt", "page source");
    write_file(site / "data/.htaccess", "# keep out\n  deny FROM all\n");
    write_file(site / "conf/users.txt", "hashes");
    write_file(site / "conf/.htaccess",
               "<IfModule mod_authz_core.c>\n    Require all denied\n</IfModule>\n"
               "<IfModule !mod_authz_core.c>\n    Deny from all\n</IfModule>\n");
    write_file(site / "open/page.txt", "open");
    write_file(site / "open/.htaccess",
               "# Deny from all\nOptions -Indexes\n<Files ~ \"^\\.ht\">\n  Require all denied\n</Files>\n");
    run_command({"ln", "-s", outside.path(), site / "outlink"});
    auto server = start({"-a", outside / "al/=/al," + outside / "bl=/bl"});

    struct Case {
        std::string request;
        int status;
    } cases[] = {
        {"GET /al/in.txt", 200},
        {"GET /bl/in.txt", 200},
        {"GET /bl", 301},
        {"GET /al../secret", 404},               // /al is a whole segment or nothing
        {"GET /al..%2fsecret", 404},
        {"GET /bl_x/secret.txt", 404},            // not the sibling of the alias folder
        {"GET /data/pages/start.txt", 403},       // closed by its folder's .htaccess
        {"GET /data/", 403},
        {"HEAD /data/pages/start.txt", 403},
        {"POST /data/pages/start.txt", 403},
        {"GET /conf/users.txt", 403},             // the rule inside <IfModule> counts
        {"GET /open/page.txt", 200},              // comments and <Files> sections do not close the folder
        {"GET /" + std::string(300, 'z') + "/x", 404},  // a name no file can have
        {"GET /" + std::string(5000, 'p') + "/x", 404},
        {"GET /outlink/secret", 200},             // reads may follow the administrator's link
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_reply(raw_request(server.port(), c.request + " HTTP/1.1\r\n\r\n")).status, c.status)
            << c.request;
}

// A POST to a program: the client that waits for the go-ahead gets it (once)
// when the program runs or its body is to be kept, then its body reaches the
// program, with its length or in chunks.
TEST_F(HttpCore, ExpectContinueForAPostToAProgram) {
    write_file(site / "echo.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nhead -c \"$CONTENT_LENGTH\"\n");
    run_command({"chmod", "755", site / "echo.sh"});
    auto server = start({"-c", ".sh"});
    const struct {
        const char* framing;
        const char* body;
    } cases[] = {
        {"Content-Length: 5", "hello"},
        {"Transfer-Encoding: chunked", "3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        int s = connect_loopback(server.port());
        ASSERT_GE(s, 0);
        std::string head = std::string("POST /echo.sh HTTP/1.1\r\nExpect: 100-Continue\r\n") + c.framing + "\r\n\r\n";
        send(s, head.data(), head.size(), MSG_NOSIGNAL);
        std::string interim;
        char ch;
        auto end = std::chrono::steady_clock::now() + 10s;
        while (interim.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && recv(s, &ch, 1, 0) == 1) interim += ch;
        }
        EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n") << c.framing;
        send(s, c.body, std::strlen(c.body), MSG_NOSIGNAL);
        HttpReply r = parse_reply(read_all(s));
        close(s);
        EXPECT_EQ(r.status, 200) << c.framing;
        EXPECT_EQ(r.body, "hello") << c.framing;
    }
}

TEST(HtaccessRules, OnlyAFolderWideDenialCloses) {
    struct Case {
        const char* text;
        bool denies;
    } cases[] = {
        {"Deny from all\n", true},
        {"  require ALL denied  \r\n", true},
        {"Order allow,deny\nDeny from all # keep out\n", true},
        {"<IfModule mod_authz_core.c>\n  Require all denied\n</IfModule>\n", true},
        {"# Deny from all\n", false},
        {"Deny from 10.0.0.1\n", false},
        {"Require all granted\n", false},
        {"DenyFrom all\n", false},
        {"<Files ~ \"^\\.ht\">\n  Deny from all\n</Files>\nOptions -Indexes\n", false},
        {"<FilesMatch \"\\.log$\">\n<IfModule x>\nRequire all denied\n</IfModule>\n</FilesMatch>\n", false},
        {"<Files x>\n</Files>\nDeny from all", true},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(vantrel::htaccess_denies_all(c.text), c.denies) << c.text;
}

TEST(HtaccessRules, AChangedFileIsReadAgain) {
    TempDir dir;
    write_file(dir / "a/b/f.txt", "x");
    vantrel::HtaccessCache cache;
    const std::string path = dir / "a/b/f.txt";
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), path));
    write_file(dir / "a/.htaccess", "Options -Indexes\n");
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), path));
    // Rewritten in place: the folder's time may not move, the file's does.
    run_command({"sh", "-c", "printf 'Deny from all\\n' > '" + dir / "a/.htaccess" + "' && touch -d @1 '" +
                                 dir / "a/.htaccess" + "'"});
    EXPECT_TRUE(vantrel::path_is_denied(cache, dir.path(), path));
    EXPECT_TRUE(vantrel::path_is_denied(cache, dir.path(), dir / "a/"));
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), dir / "f.txt"));  // the folder above stays open
}

// A folder long unchanged with neither file is not looked into again; a file
// added moves the folder's time and counts at once. A folder changed a moment
// ago is looked into every time (file times lag the clock).
TEST(HtaccessRules, AFileAddedToAFolderLongUnchangedCountsAtOnce) {
    TempDir dir;
    write_file(dir / "a/f.txt", "x");
    write_file(dir / "b/f.txt", "x");
    run_command({"touch", "-d", "1 hour ago", dir / "a"});
    vantrel::HtaccessCache cache;
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), dir / "a/f.txt"));
    EXPECT_TRUE(cache.has_no_password_file(dir / "a"));
    write_file(dir / "a/.htpasswd", "user:realm:0123\n");
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), dir / "a/f.txt"));
    EXPECT_FALSE(cache.has_no_password_file(dir / "a"));
    write_file(dir / "a/.htaccess", "Deny from all\n");
    EXPECT_TRUE(vantrel::path_is_denied(cache, dir.path(), dir / "a/f.txt"));
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), dir / "b/f.txt"));
    EXPECT_FALSE(cache.has_no_password_file(dir / "b"));
    EXPECT_FALSE(cache.has_no_password_file(dir / "a")) << "only folders of the latest request are known";
    // A folder first seen just after its change settles once its time is old
    // enough, without changing again.
    struct stat fresh {};
    ASSERT_EQ(stat((dir / "b").c_str(), &fresh), 0);
    while (std::time(nullptr) <= fresh.st_mtime + 1) usleep(50 * 1000);
    EXPECT_FALSE(vantrel::path_is_denied(cache, dir.path(), dir / "b/f.txt"));
    EXPECT_TRUE(cache.has_no_password_file(dir / "b"));
}

TEST_F(HttpCore, RedirectKeepsAWholeLongQueryOrRefusesIt) {
    auto server = start();
    std::string query = "q=" + std::string(500, 'x') + "&end=1";
    EXPECT_EQ(http_get(server.port(), "/docs?" + query).headers["location"], "/docs/?" + query);
    HttpReply huge = http_get(server.port(), "/docs?" + std::string(9000, 'y'));
    EXPECT_EQ(huge.status, 414);
    EXPECT_EQ(huge.headers.count("location"), 0u);
}

TEST_F(HttpCore, LongLogLinesAreWrittenWhole) {
    auto server = start({"-v", "1"});
    server.expect_stderr("");  // debug mode: every step is logged
    std::string value = std::string(5000, 'q') + "END";
    http_get(server.port(), "/a.txt", "X-Long: " + value + "\r\n");
    server.stop();
    EXPECT_NE(server.stderr_text().find(value), std::string::npos);
}

TEST_F(HttpCore, MethodsAndProtocolAreMatchedLoosely) {
    auto server = start();
    EXPECT_EQ(parse_reply(raw_request(server.port(), "get /a.txt http/1.1\r\n\r\n")).status, 200);
    EXPECT_EQ(parse_reply(raw_request(server.port(), "GETX /a.txt HTTP/1.1\r\n\r\n")).status, 200);
}

TEST_F(HttpCore, HeadTooBigIsRefused) {
    auto server = start();
    std::string head = "GET /" + std::string(16383 - 5, 'a');
    EXPECT_EQ(raw_request(server.port(), head),
              "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: "
              "nosniff\r\n\r\n400 Request is too big");
}

TEST_F(HttpCore, UriDecodingAndDotSegmentsStayUnderTheRoot) {
    auto server = start();
    EXPECT_EQ(http_get(server.port(), "/x%20y+z").body, "spaced");
    std::string escape = "/../" + outside.path().substr(outside.path().rfind('/') + 1) + "/secret";
    EXPECT_EQ(http_get(server.port(), escape).status, 404);
    EXPECT_EQ(http_get(server.port(), "/%2e%2e/%2e%2e/etc/passwd").status, 404);
    EXPECT_EQ(http_get(server.port(), "/docs/../a.txt").status, 404);  // becomes /docs/a.txt
    EXPECT_EQ(http_get(server.port(), "/docs/%2e%2e/readme.txt").body, "readme");  // /docs/readme.txt
}

TEST_F(HttpCore, DirectoryRedirectKeepsTheUriAsReceived) {
    make_dirs(site / "my docs");
    auto server = start();
    HttpReply r = http_get(server.port(), "/my%20docs?x=1");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.headers["location"], "/my%20docs/?x=1");
    EXPECT_EQ(http_get(server.port(), "/").body, "<h1>home</h1>");
}

TEST_F(HttpCore, MissingFileUnderADirectoryIsNotFoundNotARedirect) {
    auto server = start();
    EXPECT_EQ(http_get(server.port(), "/docs/x.css").status, 404);
    EXPECT_EQ(http_get(server.port(), "/a.txt/extra").status, 200);  // PATH_INFO after a file
}

TEST_F(HttpCore, MimeTypeFollowsTheExtension) {
    auto server = start();
    EXPECT_EQ(http_get(server.port(), "/doc/A.HTML").headers["content-type"], "text/html");
    EXPECT_EQ(http_get(server.port(), "/doc/html").headers["content-type"], "text/plain");
    EXPECT_EQ(http_get(server.port(), "/a.txt").headers["content-type"], "text/plain");
    write_file(site / "wiki.db", "SQLite format 3");
    EXPECT_EQ(http_get(server.port(), "/wiki.db").headers["content-type"], "application/vnd.sqlite3");
}

TEST_F(HttpCore, ByteRanges) {
    auto server = start();
    const std::string whole = read_file(site / "k.bin");
    struct Case {
        std::string range;
        int status;
        std::string content_range;
        std::string body;
    } cases[] = {
        {"bytes=0-99", 206, "bytes 0-99/1000", whole.substr(0, 100)},
        {"bytes=500-", 206, "bytes 500-999/1000", whole.substr(500)},
        {"bytes=990-5000", 206, "bytes 990-999/1000", whole.substr(990)},
        {"bytes=-10", 206, "bytes 990-999/1000", whole.substr(990)},
        {"bytes=-5000", 206, "bytes 0-999/1000", whole},
        {"bytes=1000-", 416, "bytes */1000", ""},
        {"bytes=50-10", 200, "", whole},
        {"items=1-2", 200, "", whole},
    };
    for (const auto& c : cases) {
        HttpReply r = http_get(server.port(), "/k.bin", "Range: " + c.range + "\r\n");
        EXPECT_EQ(r.status, c.status) << c.range;
        EXPECT_EQ(r.headers["content-range"], c.content_range) << c.range;
        if (c.status != 416) {
            EXPECT_EQ(r.body, c.body) << c.range;
            EXPECT_EQ(r.headers["content-length"], std::to_string(c.body.size())) << c.range;
        }
    }
}

TEST_F(HttpCore, HeadMatchesGetWithoutBody) {
    auto server = start();
    HttpReply get = http_get(server.port(), "/a.txt");
    HttpReply head = parse_reply(raw_request(server.port(), "HEAD /a.txt HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.headers["content-length"], "100");
    EXPECT_EQ(head.headers["etag"], get.headers["etag"]);
    EXPECT_EQ(head.headers["last-modified"], get.headers["last-modified"]);
    EXPECT_EQ(head.body, "");
    HttpReply empty = http_get(server.port(), "/empty.txt");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.headers["content-length"], "0");
    EXPECT_EQ(empty.body, "");
}

TEST_F(HttpCore, PostToAStaticFileIsAnsweredLikeGet) {
    auto server = start();
    HttpReply r = parse_reply(raw_request(server.port(), "POST /a.txt?q=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, std::string(100, 'a'));
}

TEST_F(HttpCore, IfModifiedSinceAnswers304ForAnEchoedValue) {
    auto server = start();
    std::string modified = http_get(server.port(), "/a.txt").headers["last-modified"];
    ASSERT_FALSE(modified.empty());
    EXPECT_EQ(raw_request(server.port(), "GET /a.txt HTTP/1.1\r\nIf-Modified-Since: " + modified + "\r\n\r\n"),
              "HTTP/1.1 304 Not Modified\r\n\r\n304 ");
    EXPECT_EQ(http_get(server.port(), "/a.txt", "If-Modified-Since: 01 Jan 1990 00:00:00\r\n").status, 200);
    EXPECT_EQ(http_get(server.port(), "/a.txt", "If-Modified-Since: garbage\r\n").status, 200);
    // Touch the file a second later: the old validator no longer matches.
    long t = vantrel::date_to_time(modified.c_str());
    std::string touch = "@" + std::to_string(t + 1);
    run_command({"touch", "-d", touch, site / "a.txt"});
    EXPECT_EQ(http_get(server.port(), "/a.txt", "If-Modified-Since: " + modified + "\r\n").status, 200);
}

TEST_F(HttpCore, AccessLogLine) {
    TempDir logs;
    auto server = start({"-l", logs / "access.log"});
    http_get(server.port(), "/a.txt");
    raw_request(server.port(), "GET /a.txt HTTP/1.1\r\nReferer: http://r/\r\nUser-Agent: tester\r\n\r\n");
    raw_request(server.port(), "OPTIONS /x HTTP/1.1\r\n\r\n");
    server.stop();
    std::string log = read_file(logs / "access.log");
    std::regex plain(R"(127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4} \d\d:\d\d:\d\d\] "GET /a\.txt HTTP/1\.1" 200 100 - -\n)");
    std::regex full(R"(127\.0\.0\.1 - - \[[^\]]+\] "GET /a\.txt HTTP/1\.1" 200 100 "http://r/" "tester" \n)");
    EXPECT_TRUE(std::regex_search(log, plain)) << log;
    EXPECT_TRUE(std::regex_search(log, full)) << log;
    // A rejected request keeps what was read of its request line.
    EXPECT_NE(log.find("\"OPTIONS /x HTTP/1.1\" 501 "), std::string::npos) << log;
}

TEST_F(HttpCore, DebugLogLeavesOutCookieAndAuthorizationValues) {
    write_file(site / "locked/.htpasswd", "u:r:00000000000000000000000000000000\n");
    write_file(site / "locked/x.txt", "x");
    auto server = start({"-v", "1"});
    server.expect_stderr("");  // debug mode: every step is logged
    for (const char* path : {"/a.txt", "/locked/x.txt"}) {
        raw_request(server.port(), std::string("GET ") + path +
                                       " HTTP/1.1\r\nCookie: token=SECRETCOOKIE\r\nauthorization: Digest "
                                       "username=\"u\", nonce=\"1\", uri=\"/locked/x.txt\", "
                                       "response=\"SECRETRESPONSE00000000000000000\"\r\nX-Other: shown\r\n\r\n");
    }
    // A whole digest answer, the header named as browsers name it.
    raw_request(server.port(),
                "GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: vantrel_token=SECRETTOKEN42\r\n"
                "Authorization: Digest username=\"ann\", realm=\"r\", nonce=\"1\", uri=\"/a.txt\", "
                "response=\"SECRET0123456789abcdef0123456789\", qop=auth, nc=00000001, cnonce=\"cn\"\r\n\r\n");
    server.stop();
    std::string log = server.stderr_text();
    EXPECT_NE(log.find("Cookie: [hidden]"), std::string::npos) << log;
    EXPECT_NE(log.find("authorization: [hidden]"), std::string::npos) << log;
    EXPECT_NE(log.find("Authorization: [hidden]"), std::string::npos) << log;
    EXPECT_NE(log.find("X-Other: shown"), std::string::npos) << log;
    EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
}

TEST_F(HttpCore, HalfClosedClientStillGetsTheWholeReply) {
    std::string big(3 * 1024 * 1024, 'b');
    write_file(site / "big.bin", big);
    auto server = start();
    int s = connect_loopback(server.port());
    std::string request = "GET /big.bin HTTP/1.1\r\n\r\n";
    send(s, request.data(), request.size(), 0);
    shutdown(s, SHUT_WR);
    HttpReply r = parse_reply(read_all(s));
    close(s);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), big.size());
    EXPECT_TRUE(r.body == big);
}

TEST_F(HttpCore, UnreadBodyDoesNotCutTheReply) {
    auto server = start();
    // A body far larger than announced: the server stops reading early but must not reset.
    std::string request = "GET /docs/readme.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\n" + std::string(200000, 'x');
    HttpReply r = parse_reply(raw_request(server.port(), request));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "readme");
}

TEST_F(HttpCore, TwoHundredConcurrentConnectionsAreAllAnswered) {
    auto server = start();
    std::vector<int> socks;
    for (int i = 0; i < 200; ++i) {
        int s = connect_loopback(server.port());
        ASSERT_GE(s, 0);
        socks.push_back(s);
    }
    std::string request = "GET /a.txt HTTP/1.1\r\n\r\n";
    for (int s : socks) send(s, request.data(), request.size(), 0);
    int ok = 0;
    for (int s : socks) {
        if (parse_reply(read_all(s)).body == std::string(100, 'a')) ++ok;
        close(s);
    }
    EXPECT_EQ(ok, 200);
}

TEST_F(HttpCore, HundredMegabyteDownloadIsByteExact) {
    std::string path = site / "large.bin";
    {
        std::ofstream out(path, std::ios::binary);
        std::mt19937 rng(7);
        std::vector<uint32_t> block(1 << 18);
        for (int i = 0; i < 100; ++i) {
            for (auto& w : block) w = rng();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 4));
        }
    }
    auto server = start();
    TempDir out;
    CommandResult r = curl({"-o", out / "got.bin", "-w", "%{http_code}", server.url("/large.bin")});
    EXPECT_EQ(r.out, "200");
    CommandResult same = run_command({"cmp", path, out / "got.bin"});
    EXPECT_EQ(same.exit_code, 0) << same.out << same.err;
}

namespace {

// A key and a self-signed certificate for 127.0.0.1 in one PEM file, as -s takes it.
bool make_self_signed_pem(const TempDir& keys, const std::string& pem) {
    CommandResult gen = run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                                     "-subj", "/CN=127.0.0.1", "-keyout", pem, "-out", keys / "cert.pem"});
    if (gen.exit_code != 0) {
        ADD_FAILURE() << gen.err;
        return false;
    }
    write_file(pem, read_file(pem) + read_file(keys / "cert.pem"));
    return true;
}

}  // namespace

TEST_F(HttpCore, TlsWithASelfSignedCertificate) {
    TempDir keys;
    std::string pem = keys / "server.pem";
    ASSERT_TRUE(make_self_signed_pem(keys, pem));
    auto server = start({"-s", pem});
    // The readiness probe connects without a handshake.
    server.expect_stderr("handshake: SSL_accept error");
    CommandResult r = curl({"-k", "https://127.0.0.1:" + std::to_string(server.port()) + "/a.txt"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string(100, 'a'));
    std::string big(2 * 1024 * 1024, 'q');
    write_file(site / "big.txt", big);
    r = curl({"-k", "https://127.0.0.1:" + std::to_string(server.port()) + "/big.txt"});
    EXPECT_TRUE(r.out == big);
    EXPECT_TRUE(server.running());
}

TEST_F(HttpCore, StopsCleanlyOnSigtermAndSigint) {
    auto server = start();
    EXPECT_EQ(server.stop(SIGTERM), 0);
    auto again = start();
    EXPECT_EQ(again.stop(SIGINT), 0);
}

namespace {

struct KeptRow {
    const char* name;
    std::string request;  // one whole request
    bool head_request = false;
};

// The static replies of the site, each once: files, ranges, validators, HEAD,
// listings, redirects and status replies, and a POST whose body must not be
// taken for the next request.
std::vector<KeptRow> kept_rows(const std::string& modified) {
    return {
        {"file", "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"range", "GET /k.bin HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n"},
        {"not modified", "GET /a.txt HTTP/1.1\r\nIf-Modified-Since: " + modified + "\r\n\r\n"},
        {"head", "HEAD /k.bin HTTP/1.1\r\n\r\n", true},
        {"listing", "GET /docs/ HTTP/1.1\r\n\r\n"},
        {"redirect", "GET /docs HTTP/1.1\r\n\r\n"},
        {"not found", "GET /nothing.txt HTTP/1.1\r\n\r\n"},
        {"empty file", "GET /empty.txt HTTP/1.1\r\n\r\n"},
        {"post to a file", "POST /index.html HTTP/1.1\r\nContent-Length: 20\r\n\r\nGET /a.txt HTTP/1.1\r\n"},
        {"file again", "GET /doc/A.HTML HTTP/1.1\r\n\r\n"},
    };
}

}  // namespace

// The same table on one connection per request and on one kept connection,
// requests sent one at a time and all in one write: the same statuses and
// bodies, each reply framed, in order, one access-log line each.
TEST_F(HttpCore, ReplyTableOnAKeptConnectionMatchesOneConnectionPerRequest) {
    TempDir logs;
    auto single = start();
    auto kept = start({"-k", "1", "-l", logs / "access.log"});
    std::string modified = http_get(single.port(), "/a.txt").headers["last-modified"];
    auto rows = kept_rows(modified);
    std::vector<HttpReply> expected;
    for (const KeptRow& row : rows) {
        std::string raw = raw_request(single.port(), row.request);
        expected.push_back(parse_reply(row.head_request ? raw.substr(0, raw.find("\r\n\r\n") + 4) : raw));
    }
    for (bool pipelined : {false, true}) {
        SCOPED_TRACE(pipelined ? "pipelined" : "one at a time");
        KeptConnection conn(kept.port());
        ASSERT_TRUE(conn.connected());
        if (pipelined) {
            std::string all;
            for (const KeptRow& row : rows) all += row.request;
            ASSERT_TRUE(conn.send_text(all));
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(rows[i].name);
            if (!pipelined) {
                ASSERT_TRUE(conn.send_text(rows[i].request));
            }
            std::string raw;
            HttpReply r = conn.next(rows[i].head_request, 10s, &raw);
            EXPECT_EQ(r.status, expected[i].status) << raw;
            // One request per connection ends its 304 with the connection (and a stray "304 ").
            if (r.status != 304) {
                EXPECT_EQ(r.body, expected[i].body);
            }
            EXPECT_EQ(r.headers.count("connection"), 0u) << raw;
            EXPECT_TRUE(r.headers.count("content-length") || r.headers.count("transfer-encoding") ||
                        r.status == 304 || rows[i].head_request)
                << raw;
        }
        // "Connection: close" is honoured.
        ASSERT_TRUE(conn.send_text("GET /a.txt HTTP/1.1\r\nConnection: close\r\n\r\n"));
        HttpReply last = conn.next();
        EXPECT_EQ(last.body, std::string(100, 'a'));
        EXPECT_EQ(last.headers["connection"], "close");
        EXPECT_TRUE(conn.closed_by_server());
    }
    kept.stop();
    std::string log = read_file(logs / "access.log");
    std::size_t lines = 0;  // the readiness probe's connection carried no request
    for (std::size_t p = 0; (p = log.find(" HTTP/1.1\" ", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, 2 * (rows.size() + 1)) << log;
    EXPECT_NE(log.find("\"GET /k.bin HTTP/1.1\" 206 10"), std::string::npos) << log;
}

// HTTP/1.0 keeps only when asked; a connection carries at most 1,000 requests;
// an idle one is closed after the time-out; a request with both a length and a
// transfer coding is refused and closes.
TEST_F(HttpCore, KeptConnectionsEndWhereTheyMust) {
    auto server = start({"-k", "1", "-K", "1"});
    {
        KeptConnection conn(server.port());
        ASSERT_TRUE(conn.send_text("GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
        HttpReply r = conn.next();
        EXPECT_EQ(r.headers["connection"], "keep-alive");
        ASSERT_TRUE(conn.send_text("GET /a.txt HTTP/1.0\r\n\r\n"));
        r = conn.next();
        EXPECT_EQ(r.body, std::string(100, 'a'));
        EXPECT_EQ(r.headers["connection"], "close");
        EXPECT_TRUE(conn.closed_by_server());
    }
    {
        KeptConnection conn(server.port());
        int answered = 0;
        std::string last_connection;
        for (int batch = 0; batch < 11 && !conn.closed_by_server(0ms); ++batch) {
            std::string requests;
            for (int i = 0; i < 100; ++i) requests += "GET /empty.txt HTTP/1.1\r\n\r\n";
            conn.send_text(requests);
            for (int i = 0; i < 100; ++i) {
                HttpReply r = conn.next(false, 5s);
                if (r.status != 200) break;
                ++answered;
                last_connection = r.headers["connection"];
            }
        }
        EXPECT_EQ(answered, 1000);
        EXPECT_EQ(last_connection, "close");
        EXPECT_TRUE(conn.closed_by_server());
    }
    {
        KeptConnection conn(server.port());
        ASSERT_TRUE(conn.send_text("GET /a.txt HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(conn.next().status, 200);
        EXPECT_TRUE(conn.closed_by_server(10s)) << "idle past -K 1";
    }
    // Framing that leaves the body's end unknown, and malformed chunks: 400, and the
    // connection closes whatever follows. A coding that cannot be undone: 501.
    struct Refused {
        const char* framing;
        const char* body;
        int status;
    } refused[] = {
        {"Content-Length: 5\r\nTransfer-Encoding: chunked", "0\r\n\r\n", 400},
        // Framing fields in forms the header table does not read: their body
        // must not be taken for the next request.
        {"Content-Length:5", "0\r\n\r\n", 400},
        {"Transfer-Encoding :chunked", "0\r\n\r\n", 400},
        {"transfer-encoding:\tchunked", "0\r\n\r\n", 400},
        {"Transfer-Encoding: gzip", "0\r\n\r\n", 400},
        {"Transfer-Encoding: chunked, chunked", "0\r\n\r\n", 400},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip", "0\r\n\r\n", 400},
        {"Transfer-Encoding: gzip, chunked", "0\r\n\r\n", 501},
        {"Transfer-Encoding: chunked", "z\r\nabc\r\n0\r\n\r\n", 400},
        {"Transfer-Encoding: chunked", "3\nabc\r\n0\r\n\r\n", 400},
        {"Transfer-Encoding: chunked", "3\r\nabcd\r\n0\r\n\r\n", 400},
        {"Transfer-Encoding: chunked", "ffffffffffffffffff\r\n", 400},
    };
    for (const char* keep : {"0", "1"}) {
        auto both = start({"-k", keep});
        for (const auto& c : refused) {
            KeptConnection conn(both.port());
            ASSERT_TRUE(conn.send_text(std::string("POST /a.txt HTTP/1.1\r\n") + c.framing + "\r\n\r\n" + c.body +
                                       "GET /k.bin HTTP/1.1\r\n\r\n"));
            HttpReply r = conn.next();
            EXPECT_EQ(r.status, c.status) << keep << " " << c.framing << " " << c.body;
            if (keep[0] == '1') {
                EXPECT_EQ(r.headers["connection"], "close") << c.framing << " " << c.body;
            }
            EXPECT_TRUE(conn.closed_by_server()) << c.framing << " " << c.body;
        }
    }
    // A body in chunks that has ended leaves the next request on a kept connection whole.
    auto kept = start({"-k", "1"});
    KeptConnection conn(kept.port());
    ASSERT_TRUE(conn.send_text("POST /a.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "4;x=y\r\nGET \r\n0\r\nX-T: 1\r\n\r\nGET /k.bin HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(conn.next().body, std::string(100, 'a'));
    HttpReply next = conn.next();
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body.size(), 1000u);
}

namespace {

long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

// An idle kept connection holds only its socket, not a whole record.
TEST_F(HttpCore, TwoThousandIdleKeptConnectionsHoldNoRecords) {
    // Room for the descriptors, in this process and in the server it starts.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit raised{8192, std::max<rlim_t>(saved.rlim_max, 8192)};  // above the hard limit only as root
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        raised = {std::min<rlim_t>(saved.rlim_max, 8192), saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    struct Restore {
        rlimit r;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &r); }
    } restore{saved};
    // 2,000 where the machine allows it; never fewer than 500.
    const int count = static_cast<int>(std::min<rlim_t>(2000, raised.rlim_cur > 400 ? raised.rlim_cur - 400 : 0));
    ASSERT_GE(count, 500) << "too few descriptors for the test";
    auto server = start({"-k", "1"});
    std::vector<std::unique_ptr<KeptConnection>> idle;
    // Warm up: the first records and buffers exist before the baseline.
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<KeptConnection>(server.port()));
        idle.back()->send_text("GET /a.txt HTTP/1.1\r\n\r\n");
    }
    for (auto& c : idle) ASSERT_EQ(c->next().status, 200);
    long before = rss_kib(server.pid());
    for (int i = 0; i < count; ++i) {
        idle.push_back(std::make_unique<KeptConnection>(server.port()));
        ASSERT_TRUE(idle.back()->connected());
        idle.back()->send_text("GET /a.txt HTTP/1.1\r\n\r\n");
        ASSERT_EQ(idle.back()->next().status, 200) << i;
    }
    long after = rss_kib(server.pid());
    // A record is about 80 KiB; 2,000 idle connections stay under 4 KiB each.
    EXPECT_LT(after - before, count * 4) << before << " KiB before, " << after << " KiB after";
    std::printf("%d idle kept connections: %ld KiB more RSS\n", count, after - before);
    // They still work.
    idle[static_cast<std::size_t>(count) / 2]->send_text("GET /k.bin HTTP/1.1\r\n\r\n");
    EXPECT_EQ(idle[static_cast<std::size_t>(count) / 2]->next().body.size(), 1000u);
}

// Over TLS a kept connection carries several requests, and a client that comes
// back resumes its session instead of a whole handshake (TLS 1.2 and 1.3).
TEST_F(HttpCore, TlsKeptConnectionAndResumedSessions) {
    TempDir keys;
    std::string pem = keys / "server.pem";
    ASSERT_TRUE(make_self_signed_pem(keys, pem));
    auto server = start({"-s", pem, "-k", "1"});
    server.expect_stderr("handshake: SSL_accept error");  // the readiness probe
    std::string base = "https://127.0.0.1:" + std::to_string(server.port());
    CommandResult two = curl({"-k", "-v", base + "/a.txt", base + "/k.bin"});
    EXPECT_EQ(two.exit_code, 0) << two.err;
    EXPECT_EQ(two.out, std::string(100, 'a') + read_file(site / "k.bin"));
    EXPECT_NE(two.err.find("Re-using existing connection"), std::string::npos) << two.err;

    std::string address = "127.0.0.1:" + std::to_string(server.port());
    CommandResult twelve = run_command({"openssl", "s_client", "-tls1_2", "-connect", address, "-reconnect"}, "", 30s);
    std::size_t reused = 0;
    for (std::size_t p = 0; (p = twelve.out.find("\nReused, TLSv1.2", p)) != std::string::npos; ++p) ++reused;
    EXPECT_EQ(reused, 5u) << twelve.out;  // -reconnect comes back five times

    std::string session = keys / "session";
    CommandResult first = run_command(
        {"openssl", "s_client", "-tls1_3", "-connect", address, "-sess_out", session, "-ign_eof"}, "", 30s);
    EXPECT_NE(first.out.find("\nNew, TLSv1.3"), std::string::npos) << first.out;
    CommandResult again =
        run_command({"openssl", "s_client", "-tls1_3", "-connect", address, "-sess_in", session}, "", 30s);
    EXPECT_NE(again.out.find("\nReused, TLSv1.3"), std::string::npos) << again.out;
    EXPECT_TRUE(server.running());
}

// Unnamed temporary files the process holds open (a body kept for a program).
std::size_t open_temp_files(pid_t pid) {
    std::size_t n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::error_code ec;
        std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind("/tmp/#", 0) == 0) ++n;  // O_TMPFILE: "/tmp/#inode (deleted)"
    }
    return n;
}

// A request announcing a body larger than -B answers 413 before anything of it
// is kept or passed on, and the connection closes; up to the limit it is served.
// A body in chunks that grows past the limit ends the same way, and the file it
// was being kept in is gone.
TEST_F(HttpCore, BodyOverTheLimitAnswers413AndReachesNoProgram) {
    write_file(site / "touch.cgi", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n");
    chmod((site / "touch.cgi").c_str(), 0755);
    for (const char* keep : {"0", "1"}) {
        SCOPED_TRACE(std::string("-k ") + keep);
        auto server = start({"-B", "1K", "-c", ".cgi", "-k", keep});
        for (const std::string length : {"1025", "1099511627776"}) {
            KeptConnection conn(server.port());
            ASSERT_TRUE(conn.send_text("POST /touch.cgi HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" +
                                       std::string(1025, 'b')));
            HttpReply r = conn.next();
            EXPECT_EQ(r.status, 413) << length;
            EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
            EXPECT_TRUE(conn.closed_by_server());
            EXPECT_FALSE(file_exists(site / "ran"));
        }
        KeptConnection chunked(server.port());
        ASSERT_TRUE(chunked.send_text("POST /touch.cgi HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n200\r\n" +
                                      std::string(512, 'c') + "\r\n"));
        // The first half is being kept; the second passes the limit.
        ASSERT_TRUE(eventually([&] { return open_temp_files(server.pid()) == 1; }));
        ASSERT_TRUE(chunked.send_text("201\r\n" + std::string(513, 'c') + "\r\n0\r\n\r\n"));
        HttpReply r = chunked.next();
        EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
        EXPECT_TRUE(chunked.closed_by_server());
        EXPECT_EQ(open_temp_files(server.pid()), 0u);
        EXPECT_FALSE(file_exists(site / "ran"));
        std::string raw = raw_request(server.port(), "POST /touch.cgi HTTP/1.1\r\nContent-Length: 1024\r\n\r\n" +
                                                         std::string(1024, 'b'));
        EXPECT_EQ(parse_reply(raw).body, "ran") << raw;
        EXPECT_TRUE(file_exists(site / "ran"));
        std::remove((site / "ran").c_str());
    }
}
