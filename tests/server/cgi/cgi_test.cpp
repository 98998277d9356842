// The CGI gateway: real PHP pages through /usr/bin/php-cgi and "#!" scripts,
// served by the real vantrel-httpd on a loopback port, plus the pieces that no
// request can reach (environment capacity, command building, reaping).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.hpp"

#include "server/cgi/cgi_env.hpp"
#include "server/cgi/cgi_reply.hpp"
#include "server/cgi/cgi_spawn.hpp"
#include "server/config/context.hpp"
#include "server/core/limits.hpp"
#include "server/engine/connection.hpp"

namespace {

using testkit::TempDir;
using testkit::children_of;
using testkit::eventually;
using testkit::process_exists;
using testkit::kPhpCgi;
using testkit::write_file;

// "NAME=value" lines of a body as a map (the scripts below print their variables so).
std::map<std::string, std::string> lines_of(const std::string& body) {
    std::map<std::string, std::string> out;
    std::istringstream in(body);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

// Prints every string entry of $_SERVER as NAME=value.
const char* const kEnvPhp = R"(<?php
header("Content-Type: text/plain");
foreach ($_SERVER as $k => $v) if (is_string($v)) echo "$k=$v\n";
)";

// Bytes 0..255 repeated: 1 MiB that any lost, added or changed byte shows.
std::string pattern_bytes(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i & 0xff);
    return s;
}

// Children that have not ended yet (a zombie waits only for its reaping).
std::size_t running_children_of(pid_t pid) {
    std::size_t n = 0;
    for (pid_t child : children_of(pid)) {
        std::ifstream in("/proc/" + std::to_string(child) + "/stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        auto close_paren = line.rfind(')');
        if (close_paren != std::string::npos && close_paren + 2 < line.size() && line[close_paren + 2] != 'Z') ++n;
    }
    return n;
}

std::size_t open_fds(pid_t pid) {
    std::size_t n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// The two ways of running PHP: one php-cgi per request, or persistent FastCGI
// workers. Every PHP case below runs in both.
struct PhpMode {
    const char* name;
    std::vector<std::string> args;
    std::size_t idle_children;  // server children while no request runs
    // Whether a short reply is always whole in the server when the program
    // ends (a worker's end record comes with its output); one process per
    // request is usually relayed before its end is seen.
    bool short_replies_whole;
    bool kept = false;  // persistent connections (-k 1)
};

// Each way once with one request per connection and once with persistent connections.
const PhpMode kPhpModes[] = {
    {"PerRequest", {}, 0, false},
    {"Workers", {"-W", "2"}, 2, true},  // the pool's two workers
    {"PerRequestKept", {"-k", "1"}, 0, false, true},
    {"WorkersKept", {"-W", "2", "-k", "1"}, 2, true, true},
};

std::string mode_name(const ::testing::TestParamInfo<PhpMode>& info) { return info.param.name; }

std::vector<std::string> with_mode(std::vector<std::string> args, const PhpMode& mode) {
    args.insert(args.end(), mode.args.begin(), mode.args.end());
    return args;
}

// A site of PHP pages served through php-cgi.
class CgiPhp : public ::testing::TestWithParam<PhpMode> {
protected:
    void TearDown() override {
        if (server) server->stop(SIGTERM);  // frees the context: the pool ends with it
    }
    void SetUp() override {
        write_file(site / "env.php", kEnvPhp);
        write_file(site / "post.php", R"(<?php
header("Content-Type: text/plain");
echo "METHOD=", $_SERVER['REQUEST_METHOD'], "\n";
echo "LEN=", $_SERVER['CONTENT_LENGTH'] ?? '', "\n";
echo "QUERY=", $_SERVER['QUERY_STRING'] ?? '(unset)', "\n";
echo "GET_A=", $_GET['a'] ?? '', "\n";
echo "BODY=[", file_get_contents('php://input'), "]\n";
)");
        write_file(site / "upload.php", R"(<?php
$f = $_FILES['file'];
header("Content-Type: application/octet-stream");
header("X-Upload: " . $f['name'] . " " . $f['size'] . " " . $f['error']);
readfile($f['tmp_name']);
)");
        write_file(site / "sub/index.php", kEnvPhp);
        write_file(site / "redirect.php", "<?php header('Location: /target.php'); echo 'moved';\n");
        write_file(site / "head.php", "<?php header('X-Method: ' . $_SERVER['REQUEST_METHOD']); echo 'body';\n");
        write_file(site / "target.php", "<?php echo 'TARGET ', $_SERVER['REQUEST_METHOD'];\n");
        write_file(site / "missing.php", "<?php header('Status: 404 Not Found'); echo 'no such thing';\n");
        write_file(site / "tab.php", "<?php header(\"X-Bad: a\\tb\"); echo 'body';\n");
        write_file(site / "endless_head.php", "<?php header('X-Long: ' . str_repeat('a', 40000)); echo 'x';\n");
        write_file(site / "big.php", R"(<?php
header("Content-Type: application/octet-stream");
$p = ''; for ($i = 0; $i < 256; $i++) $p .= chr($i);
echo str_repeat($p, 4096);
)");
        write_file(site / "flood.php", R"(<?php
header("Content-Type: text/plain");
$chunk = str_repeat("x", 65536);
for ($i = 0; $i < 2000; $i++) { echo $chunk; flush(); }
)");
        write_file(site / "session.php", R"(<?php
session_save_path(__DIR__ . '/sessions');
session_start();
$_SESSION['n'] = ($_SESSION['n'] ?? 0) + 1;
echo "N=", $_SESSION['n'], "\n";
)");
        testkit::make_dirs(site / "sessions");
        write_file(site / "dir with space/my page.php", "<?php echo 'SPACE ', $_SERVER['SCRIPT_NAME'];\n");
        // Waits for its whole body, then records what it got.
        write_file(site / "record.php",
                   "<?php file_put_contents(__DIR__ . '/seen.txt', json_encode($_POST)); echo 'ok';\n");
        // Reads its input to the end after the body.
        write_file(site / "stdin.php", R"(<?php
$rest = file_get_contents('php://stdin');
echo "post=", json_encode($_POST), " rest=[", $rest, "]";
)");
        write_file(site / "sleep.php", "<?php sleep(30); echo 'late';\n");
        write_file(site / "stderr.php",
                   "<?php file_put_contents('php://stderr', \"STDERR-MARK\\n\"); echo 'clean body';\n");
        server = std::make_unique<testkit::ServerProcess>(
            with_mode({"-d", site.path(), "-c", ".php", "-C", kPhpCgi}, GetParam()));
    }

    testkit::HttpReply get(const std::string& path, const std::string& extra = "") {
        return testkit::http_get(server->port(), path, extra);
    }

    TempDir site;
    std::unique_ptr<testkit::ServerProcess> server;
};

TEST_P(CgiPhp, GetWithQueryGivesTheStandardVariables) {
    auto r = get("/env.php?a=1&b=two");
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    auto env = lines_of(r.body);
    EXPECT_EQ(env["QUERY_STRING"], "a=1&b=two");
    EXPECT_EQ(env["REQUEST_URI"], "/env.php");
    EXPECT_EQ(env["REQUEST_METHOD"], "GET");
    EXPECT_EQ(env["SCRIPT_NAME"], "/env.php");
    EXPECT_EQ(env["SCRIPT_FILENAME"], site / "env.php");
    EXPECT_EQ(env["GATEWAY_INTERFACE"], "CGI/1.1");
    EXPECT_EQ(env["SERVER_PROTOCOL"], "HTTP/1.1");
    EXPECT_EQ(env["SERVER_PORT"], std::to_string(server->port()));
    EXPECT_EQ(env["DOCUMENT_ROOT"], site.path());
    EXPECT_EQ(env["REMOTE_ADDR"], "127.0.0.1");
    EXPECT_NE(env["REMOTE_PORT"], "");
    EXPECT_EQ(env.count("PATH_INFO"), 0u);
    EXPECT_EQ(env.count("CONTENT_LENGTH"), 0u);
}

TEST_P(CgiPhp, PathInfoAfterTheScript) {
    auto env = lines_of(get("/env.php/extra/part").body);
    EXPECT_EQ(env["PATH_INFO"], "/extra/part");
    EXPECT_EQ(env["SCRIPT_NAME"], "/env.php");
    EXPECT_EQ(env["SCRIPT_FILENAME"], site / "env.php");
}

TEST_P(CgiPhp, IndexPhpChosenForADirectoryGetsItsOwnRequestUri) {
    auto r = get("/sub/");
    EXPECT_EQ(r.status, 200);
    auto env = lines_of(r.body);
    EXPECT_EQ(env["REQUEST_URI"], "/sub/index.php");
    EXPECT_EQ(env["SCRIPT_FILENAME"], site / "sub/index.php");
}

TEST_P(CgiPhp, RequestHeadersBecomeHttpVariables) {
    auto env = lines_of(get("/env.php", "User-Agent: probe/1.0\r\nX-My-Header: some value\r\nProxy: evil:3128\r\n").body);
    EXPECT_EQ(env["HTTP_USER_AGENT"], "probe/1.0");
    EXPECT_EQ(env["HTTP_X_MY_HEADER"], "some value");
    EXPECT_EQ(env["HTTP_HOST"], "127.0.0.1");
    // A client's Proxy header must not set the program's outgoing proxy.
    EXPECT_EQ(env.count("HTTP_PROXY"), 0u);
}

TEST_P(CgiPhp, EightKilobyteCookieReachesPhpWhole) {
    std::string value(8192, 'c');
    for (std::size_t i = 0; i < value.size(); i += 7) value[i] = static_cast<char>('a' + i % 26);
    auto env = lines_of(get("/env.php", "Cookie: big=" + value + "\r\n").body);
    EXPECT_EQ(env["HTTP_COOKIE"], "big=" + value);
}

TEST_P(CgiPhp, PostBodyOfTwentyBytesReachesPhpExactly) {
    auto r = testkit::curl({"--data-binary", "abcdefghij0123456789", "-H", "Content-Type: text/plain",
                            server->url("/post.php?a=1")});
    ASSERT_EQ(r.exit_code, 0);
    auto out = lines_of(r.out);
    EXPECT_EQ(out["METHOD"], "POST");
    EXPECT_EQ(out["LEN"], "20");
    EXPECT_EQ(out["BODY"], "[abcdefghij0123456789]");
    // The query string is passed for a POST as well.
    EXPECT_EQ(out["QUERY"], "a=1");
    EXPECT_EQ(out["GET_A"], "1");
}

TEST_P(CgiPhp, MultipartUploadOf100KiBArrivesInFiles) {
    std::string content(100 * 1024, '\0');
    unsigned x = 12345;
    for (auto& ch : content) {
        x = x * 1103515245u + 12345u;
        ch = static_cast<char>(x >> 16);
    }
    TempDir tmp;
    write_file(tmp / "blob.bin", content);
    auto r = testkit::curl({"-D", tmp / "head.txt", "-o", tmp / "echo.bin", "-F", "file=@" + (tmp / "blob.bin"),
                            server->url("/upload.php")});
    ASSERT_EQ(r.exit_code, 0);
    auto head = testkit::read_file(tmp / "head.txt");
    EXPECT_NE(head.find("X-Upload: blob.bin 102400 0"), std::string::npos) << head;
    EXPECT_TRUE(testkit::read_file(tmp / "echo.bin") == content);
}

TEST_P(CgiPhp, LocationGivesA302ThatCurlFollows) {
    auto raw = get("/redirect.php");
    EXPECT_EQ(raw.status_line, "HTTP/1.1 302 Found");
    EXPECT_EQ(raw.headers["location"], "/target.php");

    auto followed = testkit::curl({"-L", server->url("/redirect.php")});
    ASSERT_EQ(followed.exit_code, 0);
    EXPECT_EQ(followed.out, "TARGET GET");
}

TEST_P(CgiPhp, StatusLineCarriesTheProgramsStatusAndReasonAndNoStatusHeader) {
    struct Row {
        const char* script;
        const char* status_line;
        const char* body;
    };
    const Row rows[] = {
        {"<?php header('Status: 404 Not Found'); echo 'no such thing';", "HTTP/1.1 404 Not Found", "no such thing"},
        {"<?php http_response_code(304);", "HTTP/1.1 304 Not Modified", ""},
        {"<?php http_response_code(404); echo 'gone';", "HTTP/1.1 404 Not Found", "gone"},
        {"<?php header('Status: 299 Own Words'); echo 'x';", "HTTP/1.1 299 Own Words", "x"},
        {"<?php header('Status: 503'); echo 'busy';", "HTTP/1.1 503 Service Unavailable", "busy"},
        {"<?php header('Location: /else', true, 301);", "HTTP/1.1 301 Moved Permanently", ""},
        {"<?php header('Status: 20x'); echo 'x';", "HTTP/1.1 500 CGI Error", "500 Script sent invalid headers"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        write_file(site / "status.php", row.script);
        auto r = get("/status.php");
        EXPECT_EQ(r.status_line, row.status_line);
        EXPECT_EQ(r.headers.count("status"), 0u);
        EXPECT_EQ(r.body, row.body);
    }
}

TEST_P(CgiPhp, ClientLocationOrStatusHeaderNeverChangesTheReply) {
    auto r = get("/target.php", "Location: http://elsewhere/\r\nStatus: 503\r\n");
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.headers.count("location"), 0u);
    EXPECT_EQ(r.body, "TARGET GET");
    // The program's own Status still counts when the client sent one too.
    EXPECT_EQ(get("/missing.php", "Status: 200\r\n").status_line, "HTTP/1.1 404 Not Found");
}

TEST_P(CgiPhp, BadProgramHeadsAnswer500) {
    auto tab = get("/tab.php");
    EXPECT_EQ(tab.status_line, "HTTP/1.1 500 CGI Error");
    EXPECT_EQ(tab.body, "500 Script sent invalid headers");
    // A head that fills the whole buffer without ending is answered, not left waiting.
    auto endless = testkit::parse_reply(
        testkit::raw_request(server->port(), "GET /endless_head.php HTTP/1.1\r\n\r\n", std::chrono::seconds(20)));
    EXPECT_EQ(endless.status_line, "HTTP/1.1 500 CGI Error");
    EXPECT_EQ(endless.body, "500 Script sent invalid headers");
}

TEST_P(CgiPhp, HeadRunsTheProgramWithMethodHead) {
    auto r = testkit::parse_reply(testkit::raw_request(server->port(), "HEAD /head.php HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.headers["x-method"], "HEAD");
    // php-cgi itself leaves out the body of a HEAD reply.
    EXPECT_EQ(r.body, "");
}

// How often a header occurs in a raw reply's head, whatever its case.
std::size_t header_count(const std::string& raw, const std::string& name) {
    std::string head = raw.substr(0, raw.find("\r\n\r\n"));
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char ch) { return std::tolower(ch); });
    std::size_t n = 0;
    for (std::size_t p = head.find("\n" + name + ":"); p != std::string::npos; p = head.find("\n" + name + ":", p + 1)) ++n;
    return n;
}

// Every reply says the connection closes and frames its body when it can, so a
// client can tell a whole reply from one cut short: a short one by its length,
// a longer one from persistent workers in chunks (HTTP/1.1 clients only).
TEST_P(CgiPhp, RepliesFrameTheirBodyUnlessTheyHaveNoneOrFrameItThemselves) {
    struct Row {
        const char* request;  // method and protocol
        const char* script;
        const char* framing;  // with persistent workers: "length N", "chunked" or "" for neither
        std::size_t body_size;
    };
    const std::string long_page = "<?php header('Content-Type: text/plain'); echo str_repeat('x', 100000);";
    const Row rows[] = {
        {"GET HTTP/1.1", "<?php echo 'hello';", "length 5", 5},
        {"GET HTTP/1.1", "<?php header('Content-Type: text/plain'); echo str_repeat('x', 3000);", "length 3000", 3000},
        {"GET HTTP/1.1", "<?php header('Content-Length: 2'); echo 'hi';", "length 2", 2},  // the program's own, once
        {"GET HTTP/1.1", "<?php header('Connection: close, x-own'); echo 'own';", "length 3", 3},
        {"GET HTTP/1.1", "<?php http_response_code(304);", "", 0},
        {"HEAD HTTP/1.1", "<?php echo 'hello';", "", 0},
        {"GET HTTP/1.1", long_page.c_str(), "chunked", 100000},
        {"GET HTTP/1.0", long_page.c_str(), "", 100000},
        {"GET HTTP/1.1", "<?php header('Content-Length: 100000'); echo str_repeat('x', 100000);", "length 100000",
         100000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.request) + " " + row.script);
        write_file(site / "framed.php", row.script);
        const char* space = std::strchr(row.request, ' ');
        std::string method(row.request, space);
        std::string raw = testkit::raw_request(
            server->port(), method + " /framed.php " + std::string(space + 1) + "\r\nHost: x\r\n\r\n");
        auto r = testkit::parse_reply(raw);
        ASSERT_NE(r.status, 0) << raw.substr(0, 200);
        EXPECT_TRUE(r.whole);
        EXPECT_LE(header_count(raw, "content-length"), 1u);
        // A kept HTTP/1.1 connection needs no line; it closes after HTTP/1.0 and
        // where the program says so.
        bool closes = !GetParam().kept || std::strstr(row.request, "HTTP/1.0") || std::strstr(row.script, "Connection");
        EXPECT_EQ(header_count(raw, "connection"), closes ? 1u : 0u);
        std::string framing = r.headers.count("transfer-encoding") ? r.headers["transfer-encoding"]
                              : r.headers.count("content-length") ? "length " + r.headers["content-length"]
                                                                  : "";
        if (GetParam().short_replies_whole) {
            EXPECT_EQ(framing, row.framing);
        } else if (!framing.empty() && framing != "chunked") {
            // One process per request is often relayed before its end is seen:
            // its body is then chunked (HTTP/1.1) or ends with the connection.
            EXPECT_EQ(framing, row.framing);
        } else if (framing == "chunked") {
            EXPECT_NE(std::string(row.framing), "") << "a reply without a body is never chunked";
        }
        EXPECT_EQ(r.body.size(), row.body_size);
    }
}

// Pipelined program requests on one connection are answered in order, each
// framed, the body of one never mixed with the next request; one request per
// connection closes after the first reply.
TEST_P(CgiPhp, PipelinedRequestsOnOneConnectionAreAnsweredInOrder) {
    write_file(site / "long.php", "<?php header('Content-Type: text/plain'); echo str_repeat('y', 100000);");
    testkit::KeptConnection conn(server->port());
    ASSERT_TRUE(conn.connected());
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    ASSERT_TRUE(conn.send_text("POST /post.php?a=q HTTP/1.1\r\nHost: x\r\n" + form + "Content-Length: 7\r\n\r\nb=1&c=2" +
                               "GET /target.php HTTP/1.1\r\nHost: x\r\n\r\n"
                               "HEAD /head.php HTTP/1.1\r\nHost: x\r\n\r\n"
                               "GET /long.php HTTP/1.1\r\nHost: x\r\n\r\n"));
    auto first = conn.next();
    EXPECT_EQ(first.status, 200);
    EXPECT_NE(first.body.find("BODY=[b=1&c=2]"), std::string::npos) << first.body;
    EXPECT_NE(first.body.find("LEN=7"), std::string::npos) << first.body;
    if (!GetParam().kept) {
        EXPECT_EQ(first.headers["connection"], "close");
        EXPECT_TRUE(conn.closed_by_server());
        return;
    }
    auto second = conn.next();
    EXPECT_EQ(second.body, "TARGET GET");
    auto third = conn.next(true);
    EXPECT_EQ(third.headers["x-method"], "HEAD");
    std::string raw;
    auto fourth = conn.next(false, std::chrono::seconds(10), &raw);
    EXPECT_EQ(fourth.headers["transfer-encoding"], "chunked") << raw.substr(0, 300);
    EXPECT_TRUE(fourth.whole);
    EXPECT_EQ(fourth.body, std::string(100000, 'y'));
    // HTTP/1.0 without keep-alive: answered, then closed.
    ASSERT_TRUE(conn.send_text("GET /long.php HTTP/1.0\r\n\r\n"));
    auto last = conn.next();
    EXPECT_EQ(last.headers["connection"], "close");
    EXPECT_EQ(last.body.size(), 100000u);
    EXPECT_TRUE(conn.closed_by_server());
}

TEST_P(CgiPhp, OneMebibyteOutputIsRelayedByteExact) {
    std::string raw = testkit::raw_request(server->port(), "GET /big.php HTTP/1.1\r\n\r\n", std::chrono::seconds(30));
    auto r = testkit::parse_reply(raw);
    EXPECT_EQ(r.status, 200);
    ASSERT_EQ(r.body.size(), 1048576u);
    EXPECT_TRUE(r.body == pattern_bytes(1048576));
    // A slow reader holds the program back, and still gets every byte once.
    auto slow = testkit::curl({"-s", "--limit-rate", "4M", server->url("/big.php")});
    ASSERT_EQ(slow.exit_code, 0);
    EXPECT_TRUE(slow.out == pattern_bytes(1048576));
}

TEST_P(CgiPhp, SessionIsKeptAcrossRequestsByItsCookie) {
    TempDir tmp;
    std::string jar = tmp / "jar.txt";
    auto first = testkit::curl({"-c", jar, "-b", jar, server->url("/session.php")});
    auto second = testkit::curl({"-c", jar, "-b", jar, server->url("/session.php")});
    auto third = testkit::curl({"-c", jar, "-b", jar, server->url("/session.php")});
    EXPECT_EQ(first.out, "N=1\n");
    EXPECT_EQ(second.out, "N=2\n");
    EXPECT_EQ(third.out, "N=3\n");
    EXPECT_NE(testkit::read_file(jar).find("PHPSESSID"), std::string::npos);
}

TEST_P(CgiPhp, ScriptPathWithASpaceRuns) {
    auto r = testkit::curl({server->url("/dir%20with%20space/my%20page.php")});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "SPACE /dir with space/my page.php");
}

TEST_P(CgiPhp, ProgramStandardErrorGoesToTheServerLog) {
    server->expect_stderr("STDERR-MARK");
    auto r = get("/stderr.php");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "clean body");
    EXPECT_TRUE(eventually([&] { return server->stderr_text().find("STDERR-MARK") != std::string::npos; }));
}

TEST_P(CgiPhp, ClientLeavingEarlyEndsAndReapsTheProgram) {
    pid_t pid = server->pid();
    int s = testkit::connect_loopback(server->port());
    ASSERT_GE(s, 0);
    std::string req = "GET /flood.php HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(s, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    char buf[4096];
    ASSERT_GT(recv(s, buf, sizeof buf, MSG_WAITALL), 0);
    EXPECT_EQ(std::string(buf, 15), "HTTP/1.1 200 OK");
    // The program is still writing (128 MB in all) when the client goes.
    if (GetParam().idle_children == 0) {
        EXPECT_FALSE(children_of(pid).empty());
    }
    close(s);
    EXPECT_TRUE(eventually([&] { return children_of(pid).size() <= GetParam().idle_children; },
                           std::chrono::seconds(10)));
    EXPECT_EQ(get("/target.php").body, "TARGET GET");
}

TEST_P(CgiPhp, HowTheClientEndsDecidesBetweenReplyAndStop) {
    enum class Ending { close, half_close, reset };
    struct Row {
        const char* name;
        std::string request;
        Ending ending;
        const char* reply_body;  // nullptr: the program is stopped, no reply
        bool workers_too;        // a worker reads no php://stdin and finishes a script on its own
    };
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const Row rows[] = {
        {"stream ends before the body is complete",
         "POST /record.php HTTP/1.1\r\n" + form + "Content-Length: 15\r\n\r\namount=10", Ending::close, nullptr,
         true},
        {"half-close after the whole body", "POST /stdin.php HTTP/1.1\r\n" + form + "Content-Length: 9\r\n\r\namount=10",
         Ending::half_close, "post={\"amount\":\"10\"} rest=[]", false},
        {"client vanishes while the program runs", "GET /sleep.php HTTP/1.1\r\n\r\n", Ending::reset, nullptr, false},
    };
    pid_t server_pid = server->pid();
    const std::size_t idle = GetParam().idle_children;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (idle != 0 && !row.workers_too) continue;
        int s = testkit::connect_loopback(server->port());
        ASSERT_GE(s, 0);
        ASSERT_EQ(send(s, row.request.data(), row.request.size(), 0), static_cast<ssize_t>(row.request.size()));
        ASSERT_TRUE(eventually([&] { return children_of(server_pid).size() > idle || idle != 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the program waits on its input
        std::string reply;
        if (row.ending == Ending::half_close) {
            shutdown(s, SHUT_WR);
            timeval limit{10, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            char buf[4096];
            for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
        } else if (row.ending == Ending::reset) {
            linger hard{1, 0};
            setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(s);
        if (row.reply_body) {
            auto r = testkit::parse_reply(reply);
            EXPECT_EQ(r.status, 200) << reply;
            EXPECT_EQ(r.body, row.reply_body);
        }
        EXPECT_TRUE(eventually([&] { return children_of(server_pid).size() <= idle; }))
            << children_of(server_pid).size() << " programs left";
        // A program stopped early never acted on the part of the body it had.
        EXPECT_FALSE(testkit::file_exists(site / "seen.txt"));
    }
}

TEST_P(CgiPhp, FiveHundredRequestsLeaveNoZombiesAndNoDescriptors) {
    pid_t pid = server->pid();
    ASSERT_EQ(get("/target.php").body, "TARGET GET");
    std::size_t idle = GetParam().idle_children;
    ASSERT_TRUE(eventually([&] { return children_of(pid).size() <= idle; })) << "first program not reaped";
    std::size_t fds_before = open_fds(pid);
    ASSERT_GT(fds_before, 0u);

    int ok = 0;
    for (int i = 0; i < 500; ++i) ok += get("/target.php").body == "TARGET GET";
    EXPECT_EQ(ok, 500);
    EXPECT_TRUE(eventually([&] { return children_of(pid).size() <= idle; }))
        << children_of(pid).size() << " children left";
    EXPECT_TRUE(eventually([&] { return open_fds(pid) <= fds_before; }))
        << open_fds(pid) << " descriptors open, " << fds_before << " before";
}

// A job a script leaves running outlives the program that started it; once it
// ends, nothing of it stays behind in the server's process table.
TEST_P(CgiPhp, JobThatAScriptLeavesRunningLeavesNoZombieWhenItEnds) {
    write_file(site / "job.php", "<?php exec('sleep 0.3 > /dev/null 2>&1 &'); echo 'started';\n");
    pid_t pid = server->pid();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(get("/job.php").body, "started");
    std::size_t idle = GetParam().idle_children;
    EXPECT_TRUE(eventually([&] { return children_of(pid).size() <= idle; }, std::chrono::seconds(5)))
        << children_of(pid).size() << " children left";
}

// A program that runs longer than cgi_timeout is ended, whether its client
// waits or has gone: 504 before its status line is out, else a reply without
// its end. Its process (or the worker running it) is stopped and reaped, the
// next page is served, the log names the script, and no interpreter outlives
// the server.
TEST_P(CgiPhp, ProgramRunningPastTheTimeLimitIsEnded) {
    // Each page records the process that runs it (the program, or its worker).
    const std::string mark = "<?php file_put_contents(__DIR__ . '/' . basename(__FILE__, '.php') . '.pid', getmypid()); ";
    // One that ignores SIGTERM: it is killed shortly after.
    write_file(site / "busy.php", mark + "pcntl_signal(SIGTERM, SIG_IGN); while (true) {}\n");
    write_file(site / "asleep.php", mark + "sleep(1000);\n");
    write_file(site / "partial.php", mark + "echo str_repeat('p', 20000); flush(); while (true) {}\n");
    write_file(site / "left.php", mark + "sleep(1000);\n");
    // With one worker (the later -W wins), every page after the first needs a replaced one.
    const bool workers = GetParam().idle_children > 0;
    std::vector<std::string> args = with_mode({"-d", site.path(), "-c", ".php", "-C", kPhpCgi, "-T", "1"}, GetParam());
    if (workers) args.insert(args.end(), {"-W", "1"});
    testkit::ServerProcess timed(args);
    timed.expect_stderr("cgi_timeout: ");
    auto fetch = [&](const std::string& path) {
        return testkit::parse_reply(testkit::raw_request(
            timed.port(), "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
            std::chrono::seconds(30)));
    };

    // Both at once: with one worker the second waits for it to be replaced.
    auto started = std::chrono::steady_clock::now();
    testkit::HttpReply busy, asleep;
    std::thread other([&] { busy = fetch("/busy.php"); });
    asleep = fetch("/asleep.php");
    other.join();
    EXPECT_EQ(busy.status_line, "HTTP/1.1 504 Gateway Timeout");
    EXPECT_EQ(asleep.status_line, "HTTP/1.1 504 Gateway Timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

    auto cut = fetch("/partial.php");
    EXPECT_EQ(cut.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(cut.body, std::string(20000, 'p'));
    EXPECT_FALSE(cut.whole);

    // The client goes (an orderly close) while the page sleeps.
    int s = testkit::connect_loopback(timed.port());
    ASSERT_GE(s, 0);
    std::string req = "GET /left.php HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(send(s, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    ASSERT_TRUE(eventually([&] { return !testkit::read_file(site / "left.pid").empty(); }));
    close(s);

    for (const char* name : {"busy", "asleep", "partial", "left"}) {
        SCOPED_TRACE(name);
        std::string pid_text = testkit::read_file(site / (std::string(name) + ".pid"));
        ASSERT_FALSE(pid_text.empty());
        pid_t pid = static_cast<pid_t>(std::stol(pid_text));
        EXPECT_TRUE(eventually([&] { return !process_exists(pid); })) << "process " << pid << " left";
        EXPECT_TRUE(eventually([&] {
            std::istringstream log(timed.stderr_text());
            for (std::string line; std::getline(log, line);)
                if (line.find("cgi_timeout: ") != std::string::npos &&
                    line.find("/" + std::string(name) + ".php") != std::string::npos)
                    return true;
            return false;
        })) << timed.stderr_text();
    }
    EXPECT_EQ(fetch("/target.php").body, "TARGET GET");

    EXPECT_TRUE(eventually([&] { return running_children_of(timed.pid()) == (workers ? 1u : 0u); }));
    std::vector<pid_t> interpreters = children_of(timed.pid());
    timed.stop(SIGTERM);
    for (pid_t pid : interpreters) EXPECT_TRUE(eventually([&] { return !process_exists(pid); })) << pid;
}

// CPU time the process has used so far, user and system, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // after "pid (name) "
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(CgiTls, PostWaitingForAProgramThatReadsLateCostsNoCpu) {
    TempDir keys, site, tmp;
    std::string pem = keys / "server.pem";
    auto gen = testkit::run_command({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                                     "/CN=127.0.0.1", "-keyout", pem, "-out", keys / "cert.pem"});
    ASSERT_EQ(gen.exit_code, 0) << gen.err;
    write_file(pem, testkit::read_file(pem) + testkit::read_file(keys / "cert.pem"));
    // Sleeps before it reads: the body backs up into the server while TLS
    // records stay half read.
    write_file(site / "late.sh", "#!/bin/sh\nsleep 2\nn=$(head -c \"$CONTENT_LENGTH\" | wc -c)\n"
                                 "printf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$n\"\n");
    write_file(tmp / "body.bin", std::string(3 << 20, 'x'));
    testkit::ServerProcess server({"-d", site.path(), "-c", ".sh", "-s", pem});
    server.expect_stderr("handshake: SSL_accept error");  // the readiness probe sends no handshake
    double before = cpu_seconds(server.pid());
    auto r = testkit::curl({"-k", "-H", "Expect:", "--data-binary", "@" + (tmp / "body.bin"),
                            "https://127.0.0.1:" + std::to_string(server.port()) + "/late.sh"},
                           std::chrono::seconds(30));
    double used = cpu_seconds(server.pid()) - before;
    EXPECT_EQ(r.out, std::to_string(3 << 20)) << r.err;
    EXPECT_LT(used, 0.3) << "seconds of CPU during a 2 s wait";
}

INSTANTIATE_TEST_SUITE_P(Modes, CgiPhp, ::testing::ValuesIn(kPhpModes), mode_name);

class CgiStart : public ::testing::TestWithParam<PhpMode> {};
INSTANTIATE_TEST_SUITE_P(Modes, CgiStart, ::testing::ValuesIn(kPhpModes), mode_name);

// With workers the pool cannot start either: requests fall back to one process each.
TEST_P(CgiStart, MissingInterpreterAnswersCannotExec) {
    TempDir site;
    write_file(site / "page.php", "<?php echo 1;\n");
    testkit::ServerProcess server(with_mode({"-d", site.path(), "-c", ".php", "-C", "/nonexistent/php-cgi"}, GetParam()));
    server.expect_stderr("cgi_spawn: /nonexistent/php-cgi");
    // With workers: the pool's start fails first.
    server.expect_stderr("worker pool: cannot start /nonexistent/php-cgi");
    server.expect_stderr("start_cgi_workers: no worker pool");
    auto r = testkit::http_get(server.port(), "/page.php");
    EXPECT_EQ(r.status_line, "HTTP/1.1 500 Server Error");
    EXPECT_EQ(r.body, "500 Cannot exec CGI");
    EXPECT_TRUE(server.running());
    EXPECT_TRUE(children_of(server.pid()).empty());
}

// Scripts that name their interpreter on a "#!" line, with no interpreter option.
class CgiShebang : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(site / "hello.sh",
                   "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                   "echo \"method=$REQUEST_METHOD query=$QUERY_STRING arg=$0 cwd=$(pwd)\"\n");
        write_file(site / "silent.sh", "#!/bin/sh\nexit 0\n");
        write_file(site / "ignores_input.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nanswered'\n");
        write_file(site / "partial.sh", "#!/bin/sh\nprintf 'Content-Type: text/pl'\n");
        // A CR inside a header line, and a NUL: neither may reach the client.
        write_file(site / "bare_cr.sh", "#!/bin/sh\nprintf 'X-A: one\\rX-Injected: two\\r\\n\\r\\nbody'\n");
        write_file(site / "nul.sh", "#!/bin/sh\nprintf 'X-A: one\\000two\\r\\n\\r\\nbody'\n");
        // Lists the shell's own descriptors with their targets, then the signal
        // state that it had from the server and hands on through exec.
        write_file(site / "fds.sh",
                   "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                   "ls -l /proc/$$/fd\n"
                   "exec grep -E '^Sig(Blk|Ign):' /proc/self/status\n");
        // With its "-u" the shell stops at the unset variable.
        write_file(site / "args.sh", "#!/bin/sh -u\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                                     "echo \"args=$#\"\necho \"$NOT_SET_ANYWHERE\"\necho after\n");
        server = std::make_unique<testkit::ServerProcess>(std::vector<std::string>{"-d", site.path(), "-c", ".sh"});
    }

    TempDir site;
    std::unique_ptr<testkit::ServerProcess> server;
};

TEST_F(CgiShebang, ScriptRunsThroughItsInterpreterInItsFolder) {
    auto r = testkit::http_get(server->port(), "/hello.sh?x=1");
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, "method=GET query=x=1 arg=" + (site / "hello.sh") + " cwd=" + site.path() + "\n");
    // "#!/bin/sh -u": the optional argument reaches the shell, the script gets none
    // (and the shell says so on stderr, which is the server's).
    server->expect_stderr("NOT_SET_ANYWHERE: parameter not set");
    EXPECT_EQ(testkit::http_get(server->port(), "/args.sh").body, "args=0\n");
}

TEST_F(CgiShebang, ProgramThatPrintsNothingGetsEmptyBrackets) {
    auto r = testkit::http_get(server->port(), "/silent.sh");
    EXPECT_EQ(r.status_line, "HTTP/1.1 500 CGI Error");
    EXPECT_EQ(r.body, "500 Bad headers sent:\n[]\n");
    auto partial = testkit::http_get(server->port(), "/partial.sh");
    EXPECT_EQ(partial.body, "500 Bad headers sent:\n[Content-Type: text/pl]\n");
}

TEST_F(CgiShebang, BareCrOrNulInTheProgramsHeadAnswers502) {
    for (const char* path : {"/bare_cr.sh", "/nul.sh"}) {
        std::string raw = testkit::raw_request(server->port(), std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
        auto r = testkit::parse_reply(raw);
        EXPECT_EQ(r.status_line, "HTTP/1.1 502 Bad Gateway") << path;
        EXPECT_EQ(r.body, "502 Script sent invalid headers") << path;
        EXPECT_EQ(raw.find("X-Injected"), std::string::npos) << raw;
    }
}

TEST_F(CgiShebang, BodyThatTheProgramNeverReadsIsDropped) {
    TempDir tmp;
    write_file(tmp / "body.bin", std::string(300 * 1024, 'b'));
    auto r = testkit::curl({"-H", "Expect:", "--data-binary", "@" + (tmp / "body.bin"), server->url("/ignores_input.sh")},
                           std::chrono::seconds(20));
    EXPECT_EQ(r.out, "answered");
    EXPECT_TRUE(eventually([&] { return children_of(server->pid()).empty(); }));
}

TEST_F(CgiShebang, AtMostSixtyFourProgramsRunAndTheRestWaitTheirTurn) {
    write_file(site / "nap.sh", "#!/bin/sh\nsleep 1\nprintf 'Content-Type: text/plain\\r\\n\\r\\nrested'\n");
    constexpr int kClients = 80;
    std::atomic<int> rested{0};
    std::atomic<bool> done{false};
    std::size_t most = 0;
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most, running_children_of(server->pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            rested += testkit::http_get(server->port(), "/nap.sh").body == "rested";
        });
    for (auto& t : clients) t.join();
    done = true;
    sampler.join();
    EXPECT_EQ(rested.load(), kClients);
    EXPECT_LE(most, 64u);
    EXPECT_GT(most, 1u);
}

TEST_F(CgiShebang, OnlyTheThreeStandardDescriptorsAndDefaultSignals) {
    auto r = testkit::http_get(server->port(), "/fds.sh");
    ASSERT_EQ(r.status, 200);
    std::istringstream in(r.body);
    std::string line;
    std::map<int, std::string> fds;
    std::map<std::string, unsigned long long> sig;
    while (std::getline(in, line)) {
        auto arrow = line.find(" -> ");
        if (arrow != std::string::npos) {
            // "lrwx------ 1 root root 64 Dec  8 15:50 0 -> socket:[123]"
            auto name_at = line.rfind(' ', arrow - 1) + 1;
            fds[std::stoi(line.substr(name_at, arrow - name_at))] = line.substr(arrow + 4);
        } else if (line.rfind("Sig", 0) == 0) {
            std::istringstream l(line);
            std::string name, hex;
            l >> name >> hex;
            sig[name] = std::stoull(hex, nullptr, 16);
        }
    }
    EXPECT_EQ(fds[0].rfind("socket:", 0), 0u) << fds[0];
    EXPECT_EQ(fds[1], fds[0]);
    EXPECT_EQ(fds[2].rfind("/tmp/vantrel-httpd-err-", 0), 0u) << fds[2];
    for (const auto& [n, target] : fds) {
        // The shell keeps its own script open on a high descriptor; nothing of the server's.
        if (n > 2) {
            EXPECT_EQ(target, site / "fds.sh") << "fd " << n;
        }
    }
    // The server ignores SIGPIPE; the program must start with default handling.
    // (Signals 32 and 33 belong to the C library, which sets them up itself.)
    ASSERT_EQ(sig.count("SigIgn:"), 1u) << r.body;
    EXPECT_EQ(sig["SigIgn:"] & 0x7fffffffULL, 0u);
    EXPECT_EQ(sig["SigBlk:"], 0u);
}

// --- pieces no request reaches ---

TEST(CgiEnvironmentBlock, EntryThatDoesNotFitFailsTheWholeBlock) {
    vantrel::CgiEnvironment env(32);
    EXPECT_TRUE(env.add("A=%s", "0123456789"));  // 13 bytes with its NUL
    EXPECT_FALSE(env.add("B=%s", "0123456789abcdefghij"));
    EXPECT_FALSE(env.ok());
    // Nothing after a failure is added, even what would fit.
    EXPECT_FALSE(env.add("C=1"));
    EXPECT_EQ(env.count(), 1u);
    char* const* envp = env.envp();
    EXPECT_STREQ(envp[0], "A=0123456789");
    EXPECT_EQ(envp[1], nullptr);
}

TEST(CgiEnvironmentBlock, HeaderNamesAreUpperCasedWithUnderscores) {
    vantrel::CgiEnvironment env(64);
    ASSERT_TRUE(env.add_header("x-My-head3r", 11, "v a l", 5));
    EXPECT_STREQ(env.entry(0), "HTTP_X_MY_HEAD3R=v a l");
    EXPECT_FALSE(env.add_header("Long", 4, std::string(60, 'x').c_str(), 60));
    EXPECT_FALSE(env.ok());
}

class CgiRequestEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        c = std::make_unique<vantrel::connection>();
        c->ctx = &ctx;
        std::snprintf(ctx.root, sizeof ctx.root, "%s", "/srv/site");
        ctx.listen_port = 8080;
        ctx.envvars.push_front({"EXTRA", "yes"});
    }
    void request(const std::string& text) {
        std::snprintf(c->request_text, sizeof c->request_text, "%s", text.c_str());
        c->request_len = static_cast<int>(text.find("\r\n\r\n") + 4);
    }
    std::map<std::string, std::string> built(std::size_t capacity = vantrel::kCgiEnvironmentSize) {
        vantrel::CgiEnvironment env(capacity);
        ok = vantrel::build_cgi_environment(*c, "/srv/site/app/x.php", env);
        std::map<std::string, std::string> out;
        for (std::size_t i = 0; i < env.count(); ++i) {
            std::string e = env.entry(i);
            out[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
        }
        return out;
    }

    vantrel::ServerContext ctx;
    std::unique_ptr<vantrel::connection> c;
    bool ok = false;
};

TEST_F(CgiRequestEnvironment, PostWithQueryBodyAndHeaders) {
    std::snprintf(c->method_name, sizeof c->method_name, "POST");
    c->method = vantrel::METHOD_POST;
    std::snprintf(c->uri, sizeof c->uri, "/app/x.php/more");
    c->path_info = "more";
    c->query = "a=1";
    c->content_length = 20;
    c->content_type = "text/plain";
    c->has_content_type = true;
    c->user = "alice";
    request("POST /app/x.php/more?a=1 HTTP/1.1\r\nX-Empty:\r\nbad line\r\nX-Tight:v\r\n"
            "Content-Type: text/plain\r\n\r\nbody-bytes: not a header\r\n");
    auto env = built();
    ASSERT_TRUE(ok);
    EXPECT_EQ(env["REQUEST_METHOD"], "POST");
    EXPECT_EQ(env["QUERY_STRING"], "a=1");
    EXPECT_EQ(env["CONTENT_LENGTH"], "20");
    EXPECT_EQ(env["CONTENT_TYPE"], "text/plain");
    EXPECT_EQ(env["PATH_INFO"], "/more");
    EXPECT_EQ(env["SCRIPT_NAME"], "/app/x.php");
    EXPECT_EQ(env["REQUEST_URI"], "/app/x.php/more");
    EXPECT_EQ(env["SERVER_PORT"], "8080");
    EXPECT_EQ(env["REMOTE_USER"], "alice");
    EXPECT_EQ(env["AUTH_TYPE"], "Digest");
    EXPECT_EQ(env["EXTRA"], "yes");
    EXPECT_EQ(env["HTTP_X_TIGHT"], "v");
    EXPECT_EQ(env["HTTP_CONTENT_TYPE"], "text/plain");
    // A header without a value, a line that is no header and the body are not variables.
    EXPECT_EQ(env.count("HTTP_X_EMPTY"), 0u);
    EXPECT_EQ(env.count("HTTP_BODY_BYTES"), 0u);
}

TEST_F(CgiRequestEnvironment, EveryHeaderOfAFullRequestFitsAndTooSmallABlockFails) {
    std::snprintf(c->method_name, sizeof c->method_name, "GET");
    std::snprintf(c->uri, sizeof c->uri, "/app/x.php");
    // The most header lines a request can carry: more than the old 62-slot limit.
    std::string text = "GET /app/x.php HTTP/1.1\r\n";
    int lines = 0;
    while (text.size() + 40 < vantrel::kIoBufferSize - 8) text += "H" + std::to_string(lines++) + ":v\r\n";
    text += "\r\n";
    request(text);
    auto env = built();
    ASSERT_TRUE(ok);
    EXPECT_GT(lines, 1000);
    EXPECT_EQ(env["HTTP_H0"], "v");
    EXPECT_EQ(env["HTTP_H" + std::to_string(lines - 1)], "v");
    built(4096);
    EXPECT_FALSE(ok);
}

TEST(CgiReplyHead, BytesBecomeAStatusLineAndTheProgramsOtherLines) {
    struct Row {
        const char* head;
        bool valid;
        const char* status_line;
        const char* fields;
        const char* location;
    };
    const Row rows[] = {
        {"Content-Type: text/html\r\n\r\n", true, "HTTP/1.1 200 OK\r\n", "Content-Type: text/html\r\n\r\n", ""},
        {"status:404\nX: 1\n\n", true, "HTTP/1.1 404 Not Found\r\n", "X: 1\n\n", ""},
        {"Status: 418 I'm a teapot \r\nStatus: 299\r\n\r\n", true, "HTTP/1.1 299 \r\n", "\r\n", ""},
        {"Location: /a\r\nLocation: /b\r\n\r\n", true, "HTTP/1.1 302 Found\r\n",
         "Location: /a\r\nLocation: /b\r\n\r\n", "/a"},
        {"Location:\t/x\r\nStatus: 303\r\n\r\n", true, "HTTP/1.1 303 See Other\r\n", "Location:\t/x\r\n\r\n", "/x"},
        {"X-Status: 500\r\n\r\n", true, "HTTP/1.1 200 OK\r\n", "X-Status: 500\r\n\r\n", ""},
        {"Status: 4040\r\n\r\n", false, "", "", ""},
        {"Status: OK\r\n\r\n", false, "", "", ""},
        {"Status:\r\n\r\n", false, "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.head);
        vantrel::CgiReplyHead head;
        ASSERT_EQ(vantrel::parse_cgi_reply_head(row.head, std::strlen(row.head), head), row.valid);
        if (!row.valid) continue;
        EXPECT_EQ(head.status_line(), row.status_line);
        EXPECT_EQ(head.fields, row.fields);
        EXPECT_EQ(head.location, row.location);
    }
}

TEST(CgiCommandLine, InterpreterShebangOrTheScriptItself) {
    TempDir dir;
    vantrel::CgiCommand cmd;
    ASSERT_TRUE(vantrel::cgi_command("/usr/bin/php-cgi", (dir / "a b.php").c_str(), cmd));
    EXPECT_EQ(cmd.argv, (std::vector<std::string>{"/usr/bin/php-cgi", dir / "a b.php"}));
    EXPECT_EQ(cmd.workdir, dir.path());

    write_file(dir / "two.cgi", "#!  /usr/bin/interp   -a -b \t\r\nrest\n");
    ASSERT_TRUE(vantrel::cgi_command("", (dir / "two.cgi").c_str(), cmd));
    EXPECT_EQ(cmd.argv, (std::vector<std::string>{"/usr/bin/interp", "-a -b", dir / "two.cgi"}));

    write_file(dir / "one.cgi", "#!/bin/sh\necho\n");
    ASSERT_TRUE(vantrel::cgi_command("", (dir / "one.cgi").c_str(), cmd));
    EXPECT_EQ(cmd.argv, (std::vector<std::string>{"/bin/sh", dir / "one.cgi"}));

    write_file(dir / "plain.cgi", "echo\n");
    ASSERT_TRUE(vantrel::cgi_command("", (dir / "plain.cgi").c_str(), cmd));
    EXPECT_EQ(cmd.argv, (std::vector<std::string>{dir / "plain.cgi"}));

    ASSERT_TRUE(vantrel::cgi_command("", (dir / "absent.cgi").c_str(), cmd));
    EXPECT_EQ(cmd.argv, (std::vector<std::string>{dir / "absent.cgi"}));

    std::string too_long = "/" + std::string(vantrel::kPathSize, 'p') + ".php";
    EXPECT_FALSE(vantrel::cgi_command("/usr/bin/php-cgi", too_long.c_str(), cmd));
}

TEST(CgiReaping, RunningChildIsReapedByItsIdOnceItEnds) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        usleep(300 * 1000);
        _exit(0);
    }
    // An unrelated child that the reaper must leave alone.
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) _exit(7);
    std::size_t before = vantrel::cgi_unreaped_count();
    vantrel::cgi_reap(pid);
    EXPECT_EQ(vantrel::cgi_unreaped_count(), before + 1);
    EXPECT_TRUE(eventually([&] { return vantrel::cgi_unreaped_count() == before; }));
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
    int status = 0;
    EXPECT_EQ(waitpid(other, &status, 0), other);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
