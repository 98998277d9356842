// FastCGI: the record codec, addresses and options, and the worker pool and
// external servers with real php-cgi processes behind the real vantrel-httpd.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "options_fixture.hpp"
#include "testkit.hpp"

#include "server/cgi/cgi_gate.hpp"
#include "server/config/options.hpp"
#include "server/fastcgi/fastcgi_address.hpp"
#include "server/fastcgi/fastcgi_record.hpp"
#include "server/fastcgi/reply_spool.hpp"
#include "server/fastcgi/worker_pool.hpp"

namespace {

using namespace vantrel;
using testkit::TempDir;
using testkit::children_of;
using testkit::eventually;
using testkit::process_exists;
using testkit::kPhpCgi;
using testkit::write_file;

// --- records ---

struct Collected : FcgiRecordReader::Sink {
    std::vector<std::pair<unsigned, std::string>> records;  // type, whole content
    std::string current;
    void content(unsigned, const char* data, std::size_t n) override { current.append(data, n); }
    void record_end(unsigned type, std::size_t length) override {
        EXPECT_EQ(current.size(), length);
        records.emplace_back(type, current);
        current.clear();
    }
};

// A record as a responder writes it, with padding (for request id 1 unless told).
std::string record(unsigned type, const std::string& content, unsigned padding, unsigned id = 1) {
    std::string r;
    r += static_cast<char>(FCGI_VERSION_1);
    r += static_cast<char>(type);
    r += static_cast<char>(id >> 8);
    r += static_cast<char>(id & 0xff);
    r += static_cast<char>(content.size() >> 8);
    r += static_cast<char>(content.size() & 0xff);
    r += static_cast<char>(padding);
    r += '\0';
    return r + content + std::string(padding, 'P');
}

TEST(FcgiRecords, RepliesSplitAnywhereAreReadWholeAndPaddingSkipped) {
    std::string big(70000 % 65536, 'b');
    // Records of other request ids (a confused or hostile server) are skipped whole.
    std::string stream = record(FCGI_STDOUT, "Content-Type: text/plain\r\n\r\nhi", 6) + record(FCGI_STDERR, "warn\n", 3) +
                         record(FCGI_STDOUT, "Location: http://elsewhere/\r\n\r\n", 2, 2) +
                         record(FCGI_STDOUT, big, 0) + record(FCGI_END_REQUEST, std::string(8, '\0'), 0, 0x102) +
                         record(FCGI_STDOUT, "", 0) + record(FCGI_END_REQUEST, std::string("\0\0\0\7\0\0\0\0", 8), 0);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{8}, std::size_t{4096},
                              stream.size()}) {
        FcgiRecordReader reader;
        Collected got;
        for (std::size_t at = 0; at < stream.size(); at += piece)
            reader.feed(stream.data() + at, std::min(piece, stream.size() - at), got);
        ASSERT_TRUE(reader.valid());
        EXPECT_TRUE(reader.at_record_start());
        EXPECT_EQ(reader.foreign_records(), 2u);
        EXPECT_TRUE(reader.take_foreign_notice());
        EXPECT_FALSE(reader.take_foreign_notice()) << "logged once";
        ASSERT_EQ(got.records.size(), 5u) << "pieces of " << piece;
        EXPECT_EQ(got.records[0].second, "Content-Type: text/plain\r\n\r\nhi");
        EXPECT_EQ(got.records[1], (std::pair<unsigned, std::string>{FCGI_STDERR, "warn\n"}));
        EXPECT_EQ(got.records[2].second, big);
        EXPECT_EQ(got.records[3].second, "");
        FcgiEndRequest end;
        ASSERT_TRUE(fcgi_parse_end_request(got.records[4].second.data(), got.records[4].second.size(), end));
        EXPECT_EQ(end.app_status, 7u);
        EXPECT_EQ(end.protocol_status, unsigned{FCGI_REQUEST_COMPLETE});
    }
}

TEST(FcgiRecords, SafeReadNeverHandsMoreOutputThanThereIsRoom) {
    std::string stream = record(FCGI_STDOUT, std::string(1000, 'x'), 4) + record(FCGI_END_REQUEST, std::string(8, '\0'), 0);
    FcgiRecordReader reader;
    Collected got;
    std::size_t at = 0, room = 100, delivered = 0;
    while (at < stream.size()) {
        std::size_t before = got.current.size() + (got.records.empty() ? 0 : got.records[0].second.size());
        std::size_t n = std::min(reader.safe_read_size(FCGI_STDOUT, room, 4096), stream.size() - at);
        ASSERT_GT(n, 0u);
        reader.feed(stream.data() + at, n, got);
        at += n;
        std::size_t after = got.current.size() + (got.records.empty() ? 0 : got.records[0].second.size());
        delivered = after - before;
        EXPECT_LE(delivered, room);
    }
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[0].second.size(), 1000u);
    // With no room the reader asks for nothing while inside output.
    FcgiRecordReader waiting;
    std::string head = record(FCGI_STDOUT, "abc", 0).substr(0, 8);
    waiting.feed(head.data(), head.size(), got);
    EXPECT_EQ(waiting.safe_read_size(FCGI_STDOUT, 0, 4096), 0u);
}

TEST(FcgiRecords, RequestRecordsAndLongParams) {
    std::string out;
    fcgi_append_begin_request(out);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out[1], FCGI_BEGIN_REQUEST);
    EXPECT_EQ(out[9], FCGI_RESPONDER);
    EXPECT_EQ(out[10], 0) << "the connection is never kept";

    std::string value(300, 'v');
    std::string entry = "HTTP_X=" + value, short_entry = "A=b";
    char* envp[] = {entry.data(), short_entry.data(), nullptr};
    std::string params;
    fcgi_append_params(params, envp);
    FcgiRecordReader reader;
    Collected got;
    reader.feed(params.data(), params.size(), got);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(got.records[1].second, "") << "the empty record ends the stream";
    const std::string& p = got.records[0].second;
    // Name length 6 in one byte, value length 300 in four bytes with the top bit set.
    EXPECT_EQ(p.substr(0, 5), std::string("\x06\x80\x00\x01\x2c", 5));
    EXPECT_EQ(p.substr(5, 6), "HTTP_X");
    EXPECT_EQ(p.substr(11, 300), value);
    EXPECT_EQ(p.substr(311), std::string("\x01\x01" "Ab", 4));

    std::string body(70000, 'z'), stdin_records;
    fcgi_append_stream(stdin_records, FCGI_STDIN, body.data(), body.size());
    FcgiRecordReader r2;
    Collected in;
    r2.feed(stdin_records.data(), stdin_records.size(), in);
    ASSERT_EQ(in.records.size(), 2u);  // 65535 + 4465
    EXPECT_EQ(in.records[0].second.size() + in.records[1].second.size(), body.size());
}

// A slow client's part of a reply: bytes come out in the order they went in,
// however appends and takes interleave, through memory and then the file.
TEST(ReplySpool, KeepsTheOrderAcrossMemoryAndFile) {
    ReplySpool spool;
    std::string in, out;
    for (int i = 0; in.size() < 1u << 20; ++i) {
        std::string piece(10000 + i % 7, static_cast<char>('a' + i % 26));
        piece += std::to_string(i);
        ASSERT_TRUE(spool.append(piece.data(), piece.size()));
        in += piece;
        char buf[7000];
        if (i % 3 != 0) out.append(buf, spool.take(buf, sizeof buf));  // the client reads slower
    }
    EXPECT_GT(spool.size(), ReplySpool::kMemoryBytes);  // the file was used
    char buf[4096];
    for (std::size_t n; (n = spool.take(buf, sizeof buf)) > 0;) out.append(buf, n);
    EXPECT_FALSE(spool.failed());
    EXPECT_TRUE(spool.empty());
    EXPECT_TRUE(out == in);
    // Empty again, it starts over in memory.
    ASSERT_TRUE(spool.append("tail", 4));
    EXPECT_EQ(spool.take(buf, sizeof buf), 4u);
    EXPECT_EQ(std::string(buf, 4), "tail");
}

TEST(FcgiAddresses, ParsedOrRefusedWithAReason) {
    struct Case {
        const char* text;
        bool ok;
        int family;
    } cases[] = {
        {"unix:/run/php/php-fpm.sock", true, AF_UNIX}, {"127.0.0.1:9000", true, AF_INET},
        {"[::1]:9000", true, AF_INET6},                {"localhost:9000", true, -1},
        {"unix:relative.sock", false, 0},              {"unix:", false, 0},
        {"127.0.0.1", false, 0},                       {"127.0.0.1:", false, 0},
        {":9000", false, 0},                           {"127.0.0.1:65536", false, 0},
        {"127.0.0.1:0", false, 0},                     {"127.0.0.1:90x", false, 0},
        {"no-such-host.invalid:9000", false, 0},
    };
    for (const auto& c : cases) {
        FcgiAddress a;
        std::string why;
        EXPECT_EQ(parse_fastcgi_address(c.text, a, why), c.ok) << c.text << ": " << why;
        if (c.ok && c.family != -1) {
            EXPECT_EQ(a.addr.ss_family, c.family) << c.text;
        }
        if (!c.ok) {
            EXPECT_FALSE(why.empty()) << c.text;
        }
    }
    FcgiAddress a;
    std::string why;
    EXPECT_FALSE(parse_fastcgi_address("unix:/" + std::string(200, 'p'), a, why));
}

class FcgiOptions : public RecordsFatals {};

TEST_F(FcgiOptions, WorkerCountFromZeroToSixtyFourElseFatal) {
    struct Case {
        const char* value;
        int workers;  // -1: fatal
    } cases[] = {{"0", 0}, {"1", 1}, {"4", 4}, {"64", 64}, {" 8", 8},   {"65", -1},  {"100000", -1},
                 {"abc", -1}, {"4x", -1}, {"-1", -1}, {"", -1}, {"99999999999999999999", -1}};
    for (const auto& c : cases) {
        fatals.clear();
        reset_options();
        const char* argv[] = {"vantrel-httpd", "-W", c.value};
        auto ctx = do_init(nullptr, 3, argv);
        if (c.workers < 0) {
            EXPECT_FALSE(ctx) << c.value;
            ASSERT_EQ(fatals.size(), 1u) << c.value;
            EXPECT_NE(fatals[0].find("cgi_workers"), std::string::npos) << fatals[0];
        } else {
            ASSERT_TRUE(ctx) << c.value;
            EXPECT_EQ(ctx->cgi_workers, c.workers);
            EXPECT_TRUE(fatals.empty());
        }
    }
}

TEST_F(FcgiOptions, UnparsableFastcgiAddressIsFatalAndUsageListsTheSwitches) {
    const char* argv[] = {"vantrel-httpd", "-F", "nowhere"};
    EXPECT_FALSE(do_init(nullptr, 3, argv));
    ASSERT_EQ(fatals.size(), 1u);
    EXPECT_NE(fatals[0].find("fastcgi_address: cannot use [nowhere]"), std::string::npos) << fatals[0];

    auto usage = testkit::run_command({testkit::httpd_path(), "-h"});
    EXPECT_NE(usage.err.find("-W <0-64>"), std::string::npos) << usage.err;
    EXPECT_NE(usage.err.find("(cgi_workers)"), std::string::npos);
    EXPECT_NE(usage.err.find("-F <unix:/path|host:port>"), std::string::npos);
    EXPECT_NE(usage.err.find("(fastcgi_address)"), std::string::npos);
}

// --- worker pool and external servers, with real processes ---

// Processes of a process group that have not ended (zombies count as ended).
std::vector<pid_t> live_members(pid_t group) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        auto close_paren = line.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(line.substr(close_paren + 2));
        char state;
        pid_t ppid, pgrp;
        rest >> state >> ppid >> pgrp;
        if (pgrp == group && state != 'Z' && state != 'X') out.push_back(pid);
    }
    closedir(d);
    return out;
}

// The pool's workers: the server's php-cgi children that have not ended.
std::vector<pid_t> workers_of(pid_t server) {
    std::vector<pid_t> out;
    for (pid_t child : children_of(server)) {
        std::ifstream in("/proc/" + std::to_string(child) + "/comm");
        std::string comm;
        in >> comm;
        if (comm == "php-cgi" && !live_members(child).empty()) out.push_back(child);
    }
    return out;
}

class FcgiSite : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(site / "pid.php", "<?php echo getmypid();\n");
        write_file(site / "hello.php", "<?php echo 'hello';\n");
        write_file(site / "static.txt", "static");
        write_file(site / "slow.php", "<?php usleep(400000); echo 'slow';\n");
        // Records its worker's id, then waits long enough to be killed first.
        write_file(site / "victim.php", "<?php file_put_contents(__DIR__ . '/victim.pid', getmypid()); sleep(20); echo 'late';\n");
        write_file(site / "half_victim.php", R"(<?php
echo str_repeat("h", 20000); flush();
file_put_contents(__DIR__ . '/victim.pid', getmypid()); sleep(20);
)");
        // 8 MiB of numbered 1 KiB lines: more than the socket buffers hold.
        write_file(site / "big.php", R"(<?php
$line = str_repeat("x", 1015);
for ($i = 0; $i < 8192; $i++) printf("%07d %s\n", $i, $line);
)");
        write_file(site / "stream.php", R"(<?php
header("Content-Type: text/plain");
for ($i = 0; $i < 6000; $i++) { echo str_repeat("s", 8192); flush(); usleep(10000); }
)");
    }
    void TearDown() override {
        if (server) server->stop(SIGTERM);
    }
    void start(std::vector<std::string> extra) {
        std::vector<std::string> args{"-d", site.path(), "-c", ".php", "-C", kPhpCgi};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<testkit::ServerProcess>(args);
    }
    testkit::HttpReply get(const std::string& path) { return testkit::http_get(server->port(), path); }

    TempDir site;
    std::unique_ptr<testkit::ServerProcess> server;
};

TEST_F(FcgiSite, TwoHundredRequestsAreServedByTheSameFewWorkers) {
    start({"-W", "2"});
    std::set<std::string> pids;
    int ok = 0;
    for (int i = 0; i < 200; ++i) {
        auto r = get("/pid.php");
        ok += r.status == 200;
        pids.insert(r.body);
    }
    EXPECT_EQ(ok, 200);
    EXPECT_LE(pids.size(), 2u);
    // Two workers, each alone in its process group, and they served the pages.
    auto workers = workers_of(server->pid());
    ASSERT_EQ(workers.size(), 2u);
    for (pid_t w : workers) EXPECT_EQ(live_members(w).size(), 1u);
    for (const std::string& p : pids)
        EXPECT_NE(std::find(workers.begin(), workers.end(), std::stoi(p)), workers.end()) << p;
}

TEST_F(FcgiSite, WorkerKilledMidRequestGives502AndTheNextRequestSucceeds) {
    start({"-W", "2"});
    testkit::HttpReply victim;
    std::thread t([&] { victim = testkit::http_get(server->port(), "/victim.php"); });
    // The file exists a moment before its number is in it.
    ASSERT_TRUE(eventually([&] {
        return testkit::file_exists(site / "victim.pid") && !testkit::read_file(site / "victim.pid").empty();
    }));
    pid_t worker = static_cast<pid_t>(std::stol(testkit::read_file(site / "victim.pid")));
    server->expect_stderr("victim.php at unix:");  // the worker's connection ended early
    server->expect_stderr("worker pool: worker ");  // ended by a signal, and restarted
    ASSERT_EQ(kill(worker, SIGKILL), 0);
    t.join();
    EXPECT_EQ(victim.status_line, "HTTP/1.1 502 Bad Gateway");
    EXPECT_EQ(get("/hello.php").body, "hello");
    EXPECT_EQ(get("/hello.php").body, "hello");

    // Killed after part of its reply went out: the client sees a chunked body
    // without its last chunk, not a short reply that looks whole.
    write_file(site / "victim.pid", "");
    testkit::HttpReply cut;
    std::thread t2([&] { cut = testkit::http_get(server->port(), "/half_victim.php"); });
    ASSERT_TRUE(eventually([&] { return !testkit::read_file(site / "victim.pid").empty(); }));
    server->expect_stderr("half_victim.php at unix:");
    ASSERT_EQ(kill(static_cast<pid_t>(std::stol(testkit::read_file(site / "victim.pid"))), SIGKILL), 0);
    t2.join();
    EXPECT_EQ(cut.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(cut.headers["transfer-encoding"], "chunked");
    EXPECT_EQ(cut.body.size(), 20000u);
    EXPECT_FALSE(cut.whole);
}

TEST_F(FcgiSite, ErrorRecordsGoToTheServerLogNotTheReply) {
    write_file(site / "warn.php", "<?php trigger_error('WARN-MARK', E_USER_WARNING); echo 'ok';\n");
    start({"-W", "1"});
    server->expect_stderr("PHP Warning:  WARN-MARK");
    EXPECT_EQ(get("/warn.php").body, "ok");
    // Logged by the server itself: the line starts with its clock.
    EXPECT_TRUE(eventually([&] {
        std::string log = server->stderr_text();
        std::size_t at = log.find("PHP Warning:  WARN-MARK");
        return at != std::string::npos && at > 0 && log[at - 1] == ' ' && std::isdigit(log[at - 2]);
    })) << server->stderr_text();
}

TEST_F(FcgiSite, KilledWorkerIsReplacedWithNothingLeftOver) {
    start({"-W", "2"});
    ASSERT_EQ(get("/hello.php").body, "hello");
    auto before = workers_of(server->pid());
    ASSERT_EQ(before.size(), 2u);
    pid_t killed = before[0];
    server->expect_stderr("worker pool: worker " + std::to_string(killed) + " ended");
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    // Its group is gone, a new worker takes its place, the other one stays.
    EXPECT_TRUE(eventually([&] { return live_members(killed).empty(); }));
    EXPECT_TRUE(eventually([&] {
        auto now = workers_of(server->pid());
        return now.size() == 2 && std::find(now.begin(), now.end(), killed) == now.end() &&
               std::find(now.begin(), now.end(), before[1]) != now.end();
    }));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(get("/hello.php").body, "hello");
    EXPECT_NE(server->stderr_text().find("restarting"), std::string::npos);
}

TEST_F(FcgiSite, BusyWorkersNeitherStallStaticFilesNorLoseRequests) {
    start({"-W", "2"});
    constexpr int kSlow = 20;
    std::atomic<int> answered{0}, slow_ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kSlow; ++i)
        clients.emplace_back([&] {
            auto r = testkit::http_get(server->port(), "/slow.php");
            slow_ok += r.body == "slow";
            answered++;
        });
    // Twenty pages at two at a time take several seconds; the file comes first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto file = get("/static.txt");
    int answered_when_file_came = answered.load();
    for (auto& t : clients) t.join();
    EXPECT_EQ(file.body, "static");
    EXPECT_LT(answered_when_file_came, kSlow);
    EXPECT_EQ(slow_ok.load(), kSlow);
}

TEST_F(FcgiSite, ClientLeavingAPageThatWritesFreesItsWorker) {
    start({"-W", "1"});
    int s = testkit::connect_loopback(server->port());
    ASSERT_GE(s, 0);
    std::string req = "GET /stream.php HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(s, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    char buf[4096];
    ASSERT_GT(recv(s, buf, sizeof buf, MSG_WAITALL), 0);
    EXPECT_EQ(std::string(buf, 15), "HTTP/1.1 200 OK");
    close(s);
    // The only worker is free again well before the page's minute is over.
    EXPECT_EQ(get("/hello.php").body, "hello");
}

// A page its client does not read yet waits in the server, not in the worker:
// four such clients leave all four workers free, and then get every byte.
TEST_F(FcgiSite, ClientsThatDoNotReadTheirPagesHoldNoWorker) {
    start({"-W", "4"});
    std::vector<int> readers;
    for (int i = 0; i < 4; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_TRUE(testkit::connect_to_loopback(s, server->port()));
        std::string req = "GET /big.php HTTP/1.0\r\n\r\n";
        ASSERT_EQ(send(s, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        readers.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the four pages are taken first
    EXPECT_EQ(get("/hello.php").body, "hello");

    std::string page;
    for (int i = 0; i < 8192; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%07d ", i);
        page += number + std::string(1015, 'x') + "\n";
    }
    for (int s : readers) {
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<std::size_t>(n));
        close(s);
        std::size_t body = got.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(got.compare(9, 6, "200 OK"), 0) << got.substr(0, 80);
        EXPECT_TRUE(got.compare(body + 4, std::string::npos, page) == 0) << "the page arrives whole and unchanged";
    }
}

TEST_F(FcgiSite, NoInterpreterLeftAfterTheServerIsKilled) {
    // Orphans come to this process, so that they can be reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    start({"-W", "2"});
    ASSERT_EQ(get("/hello.php").body, "hello");
    auto workers = workers_of(server->pid());
    ASSERT_EQ(workers.size(), 2u);
    pid_t killed = server->pid();
    server->stop(SIGKILL);
    server.reset();
    for (pid_t w : workers) {
        EXPECT_TRUE(eventually([&] { return live_members(w).empty(); }, std::chrono::seconds(3)));
        while (waitpid(-w, nullptr, WNOHANG) > 0) {
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);

    // Its private folder stays behind until the next pool starts.
    auto left_behind = [&] {
        std::vector<std::string> found;
        std::string prefix = "vantrel-fcgi-" + std::to_string(killed) + "-";
        for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
            if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
        return found;
    };
    ASSERT_EQ(left_behind().size(), 1u);
    start({"-W", "1"});
    EXPECT_EQ(get("/hello.php").body, "hello");
    EXPECT_TRUE(left_behind().empty());
}

TEST_F(FcgiSite, InterpreterThatIsNoResponderFallsBackToOneProcessPerRequest) {
    // A CGI program that ignores the socket and ends at once.
    write_file(site / "not-fastcgi.sh",
               "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nper-request %s' \"$REQUEST_METHOD\"\n");
    chmod((site / "not-fastcgi.sh").c_str(), 0755);
    std::vector<std::string> args{"-d", site.path(), "-c", ".php", "-C", site / "not-fastcgi.sh", "-W", "2"};
    server = std::make_unique<testkit::ServerProcess>(args);
    server->expect_stderr("worker pool: worker ");  // each failed start, then giving up
    server->expect_stderr("running one process per request instead");
    EXPECT_TRUE(eventually([&] {
        return server->stderr_text().find("running one process per request instead") != std::string::npos;
    }));
    EXPECT_EQ(get("/hello.php").body, "per-request GET");
}

TEST(FcgiPool, FreeingTheContextLeavesNoProcessAndNoFolder) {
    reset_options();
    auto ctx = init_context(nullptr, {{"cgi_interpreter", kPhpCgi}, {"cgi_workers", "3"}});
    ASSERT_TRUE(ctx);
    start_cgi_workers(*ctx);
    ASSERT_TRUE(ctx->pool);
    std::string folder = ctx->pool->folder();
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Three workers, each on a socket of its own in the folder.
    ASSERT_EQ(ctx->pool->size(), 3);
    std::vector<pid_t> workers;
    for (int i = 0; i < 3; ++i) {
        workers.push_back(ctx->pool->worker_pid(i));
        ASSERT_GT(workers.back(), 0);
        EXPECT_EQ(live_members(workers.back()).size(), 1u);
        EXPECT_EQ(ctx->pool->address(i).text, "unix:" + folder + "/php-" + std::to_string(i) + ".sock");
    }
    free_context(std::move(ctx));
    reset_options();
    for (pid_t w : workers) {
        EXPECT_TRUE(live_members(w).empty());
        EXPECT_EQ(waitpid(-w, nullptr, WNOHANG), -1) << "every member is reaped";
    }
    EXPECT_FALSE(testkit::file_exists(folder));
}

// A php-cgi of its own serving FastCGI on an address (as a user would run one).
class ExternalPhp {
public:
    explicit ExternalPhp(const std::string& bind) {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("PHP_FCGI_CHILDREN", "2", 1);
            execl(kPhpCgi, kPhpCgi, "-b", bind.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~ExternalPhp() {
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

TEST_F(FcgiSite, ExternalServerOnAUnixSocketAndOnLoopbackTcp) {
    TempDir run;
    std::string sock = run / "php.sock";
    int port = testkit::free_port();
    ExternalPhp unix_php(sock), tcp_php("127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(eventually([&] { return testkit::file_exists(sock); }));
    ASSERT_TRUE(testkit::wait_for_port(port));
    for (const std::string& address : {"unix:" + sock, "127.0.0.1:" + std::to_string(port)}) {
        // -F wins over -W: nothing is started.
        start({"-F", address, "-W", "2"});
        EXPECT_EQ(get("/hello.php").body, "hello") << address;
        auto r = testkit::curl({"--data-binary", "abc", server->url("/hello.php")});
        EXPECT_EQ(r.out, "hello") << address;
        EXPECT_TRUE(workers_of(server->pid()).empty()) << address;
        server->stop(SIGTERM);
        server.reset();
    }
}

// A body in chunks reaches the script decoded, byte for byte, with its decoded
// length in CONTENT_LENGTH, whichever way PHP runs; on a kept connection the
// request after it gets its own reply.
TEST_F(FcgiSite, ChunkedPostReachesTheScriptExactInEveryMode) {
    write_file(site / "echo.php",
               "<?php header('X-Length: ' . ($_SERVER['CONTENT_LENGTH'] ?? 'none'));\n"
               "header('X-Coding: ' . ($_SERVER['HTTP_TRANSFER_ENCODING'] ?? 'none'));\n"
               "echo file_get_contents('php://input');\n");
    std::string body(100 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    TempDir data;
    write_file(data / "body.bin", body);
    TempDir run;
    std::string sock = run / "php.sock";
    ExternalPhp external(sock);
    ASSERT_TRUE(eventually([&] { return testkit::file_exists(sock); }));
    const struct {
        const char* name;
        std::vector<std::string> args;
    } modes[] = {
        {"one program per request", {"-k", "1"}},
        {"worker pool", {"-W", "2", "-k", "1"}},
        {"external server", {"-F", "unix:" + sock, "-k", "1"}},
    };
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.name);
        start(mode.args);
        auto r = testkit::curl({"-D", data / "head.txt", "-o", data / "echo.bin", "-H", "Transfer-Encoding: chunked",
                                "-H", "Content-Type: application/octet-stream", "--data-binary",
                                "@" + (data / "body.bin"), server->url("/echo.php")});
        ASSERT_EQ(r.exit_code, 0);
        std::string head = testkit::read_file(data / "head.txt");
        EXPECT_NE(head.find("X-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("X-Coding: none\r\n"), std::string::npos) << head;
        EXPECT_TRUE(testkit::read_file(data / "echo.bin") == body);

        testkit::KeptConnection conn(server->port());
        ASSERT_TRUE(conn.send_text("POST /echo.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   "5;x=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n"
                                   "GET /hello.php HTTP/1.1\r\n\r\n"));
        testkit::HttpReply first = conn.next();
        EXPECT_EQ(first.body, "hello world");
        EXPECT_EQ(first.headers["x-length"], "11");
        EXPECT_EQ(conn.next().body, "hello");
        server->stop(SIGTERM);
        server.reset();
    }
}

// A foreign server's process cannot be stopped: past cgi_timeout the server
// leaves the request (closes its connection) and answers 504.
TEST_F(FcgiSite, ExternalServerPastTheTimeLimitIsLeftWith504) {
    write_file(site / "asleep.php", "<?php sleep(1000);\n");
    TempDir run;
    std::string sock = run / "php.sock";
    ExternalPhp php(sock);
    ASSERT_TRUE(eventually([&] { return testkit::file_exists(sock); }));
    start({"-F", "unix:" + sock, "-T", "1"});
    server->expect_stderr("cgi_timeout: ");
    auto r = get("/asleep.php");
    EXPECT_EQ(r.status_line, "HTTP/1.1 504 Gateway Timeout");
    EXPECT_NE(server->stderr_text().find("asleep.php at unix:" + sock), std::string::npos) << server->stderr_text();
    EXPECT_EQ(get("/hello.php").body, "hello");  // its other child serves
}

TEST_F(FcgiSite, UnreachableExternalServerAnswers502AndSaysWhy) {
    TempDir run;
    start({"-F", "unix:" + (run / "absent.sock")});
    server->expect_stderr("fastcgi: cannot reach unix:" + (run / "absent.sock"));
    auto r = get("/hello.php");
    EXPECT_EQ(r.status_line, "HTTP/1.1 502 Bad Gateway");
    EXPECT_NE(server->stderr_text().find("cannot reach unix:" + (run / "absent.sock")), std::string::npos)
        << server->stderr_text();
    EXPECT_EQ(get("/static.txt").body, "static");
}

}  // namespace
