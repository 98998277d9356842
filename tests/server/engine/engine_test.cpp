// The poll loop driven in-process, with the clock under the test's control.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "testkit.hpp"

#include "server/config/context.hpp"
#include "server/config/options.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"

using namespace vantrel;
using namespace testkit;

namespace {

// A process that still exists (a zombie counts until it is reaped).

void send_text(int sock, const std::string& text) {
    ASSERT_EQ(send(sock, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What a blocking socket receives until its peer closes (bounded by 5 s).
std::string read_until_close(int s) {
    timeval limit{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        reset_options();
        set_time_source([this] { return now.load(); });
        write_file(site / "a.txt", "hello");
        // Blocks on its input until the announced body is there, then records what it got.
        write_file(site / "record.php",
                   "<?php file_put_contents(__DIR__ . '/seen.txt', json_encode($_POST)); echo 'ok';\n");
        write_file(site / "sleep.php", "<?php sleep(30); echo 'late';\n");
        ctx = init_context(nullptr, {{"document_root", site.path()},
                                     {"listen_port", "0"},
                                     {"cgi_extention", ".php"},
                                     {"cgi_interpreter", kPhpCgi}});
        ASSERT_TRUE(ctx);
        int sock = server_open_port(0);
        ASSERT_GE(sock, 0);
        port = bound_port(sock);
        server_listen(*ctx, sock);
    }
    void TearDown() override {
        free_context(std::move(ctx));
        set_time_source(nullptr);
        reset_options();
    }
    int connect_client() {
        int s = connect_loopback(port);
        EXPECT_GE(s, 0);
        return s;
    }
    void steps(int n, int ms = 20) {
        for (int i = 0; i < n; ++i) server_step(*ctx, ms);
    }
    // Steps the server and reads what the client receives until the server
    // closes; `between` runs after every step.
    // At most `per_step` bytes are read after each step.
    std::string collect(int client, const std::function<void()>& between = [] {}, int max_steps = 2000,
                        std::size_t per_step = std::string::npos) {
        fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
        std::string out;
        char buf[65536];
        for (int i = 0; i < max_steps; ++i) {
            server_step(*ctx, 10);
            between();
            for (std::size_t got = 0; got < per_step;) {
                ssize_t n = recv(client, buf, std::min(sizeof buf, per_step - got), 0);
                if (n > 0) got += static_cast<std::size_t>(n);
                if (n > 0) {
                    out.append(buf, static_cast<std::size_t>(n));
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) return out;
                break;
            }
        }
        return out;
    }
    // The programs that records of the context run now.
    std::vector<pid_t> programs() const {
        std::vector<pid_t> pids;
        for (const auto& c : ctx->connections)
            if (c->cgi_pid > 0) pids.push_back(c->cgi_pid);
        return pids;
    }
    // Steps until a program runs, then long enough for it to wait on its input.
    pid_t wait_for_program() {
        for (int i = 0; i < 200 && programs().empty(); ++i) steps(1);
        if (programs().empty()) return -1;
        for (int i = 0; i < 10; ++i) steps(1);
        return programs().front();
    }

    std::atomic<long> now{1'000'000};
    TempDir site;
    std::unique_ptr<ServerContext> ctx;
    int port = 0;
};

}  // namespace

TEST_F(Engine, RequestHeadMustBeCompleteWithinAMinute) {
    // Silent, and sending a byte now and then: the minute counts from the connection's start.
    for (const std::string piece : {"", "G"}) {
        SCOPED_TRACE("piece [" + piece + "]");
        long start = now;
        int client = connect_client();
        steps(2);
        for (int t = 20; t <= 60; t += 20) {
            now = start + t;
            if (!piece.empty()) send_text(client, piece);
            steps(2);
        }
        EXPECT_EQ(ctx->nactive, 2);  // exactly one minute: still waiting
        now = start + 61;
        std::string reply = collect(client, [&] { now += 1; });
        EXPECT_EQ(reply.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << reply;
        close(client);
        steps(2);
        EXPECT_EQ(ctx->nactive, 1);
    }
}

TEST_F(Engine, AfterItsHeadARequestKeepsAnHourRenewedByActivity) {
    int client = connect_client();
    send_text(client, "POST /record.php HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
    pid_t pid = wait_for_program();
    ASSERT_GT(pid, 0);
    long start = now;
    now = start + 3000;
    send_text(client, "67");
    steps(3);
    now = start + 6000;  // 3000 s after the last byte
    steps(1);
    EXPECT_EQ(ctx->nactive, 2);
    now = start + 6601;
    steps(1);
    EXPECT_EQ(ctx->nactive, 1);
    // The program waiting for the rest of the body is stopped, never shown the cut body.
    EXPECT_TRUE(eventually([&] { return !process_exists(pid); }));
    EXPECT_FALSE(file_exists(site / "seen.txt"));
    close(client);
}

TEST_F(Engine, ClientGoingAwayStopsItsProgramInTheSameStep) {
    struct Row {
        const char* name;
        const char* request;
        bool reset;  // the client's socket ends with a reset instead of a close
    };
    const Row rows[] = {
        {"body cut short", "POST /record.php HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: 15\r\n\r\namount=10", false},
        {"client vanishes", "GET /sleep.php HTTP/1.1\r\n\r\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int client = connect_client();
        send_text(client, row.request);
        pid_t pid = wait_for_program();
        ASSERT_GT(pid, 0);
        if (row.reset) {
            linger hard{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(client);
        steps(1);
        EXPECT_EQ(ctx->nactive, 1);
        EXPECT_TRUE(eventually([&] { return !process_exists(pid); }));
    }
    // The program stopped early never acted on the part of the body it had.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(file_exists(site / "seen.txt")) << read_file(site / "seen.txt");
}

TEST_F(Engine, ListenerOutlivesTheYear2038) {
    now = 2147483647L + 86400;
    std::atomic<bool> done{false};
    std::string reply;
    std::thread client([&] {
        reply = raw_request(port, "GET /a.txt HTTP/1.1\r\n\r\n");
        done = true;
    });
    for (int i = 0; i < 500 && !done; ++i) server_step(*ctx, 10);
    client.join();
    EXPECT_EQ(parse_reply(reply).body, "hello");
    EXPECT_EQ(ctx->nactive, 1);
}

TEST_F(Engine, DownloadMakingProgressOutlivesTheIdleDeadline) {
    const std::size_t size = 16u << 20;
    write_file(site / "big.bin", std::string(size, 'b'));
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 32 * 1024;  // a slow reader: the file cannot sit in the socket buffers
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(connect_to_loopback(client, port));
    send_text(client, "GET /big.bin HTTP/1.1\r\n\r\n");
    long start = now;
    // A minute passes with every step: the whole download takes hours.
    std::string got = collect(client, [&] { now += 60; }, 20000, 128 * 1024);
    EXPECT_GT(now - start, 2 * kIdleSeconds);
    auto reply = parse_reply(got);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.size(), size);
    close(client);
}

TEST_F(Engine, RequestAnsweredOnItsFirstReadKeepsItsReply) {
    // A 404 decided before the body has been read must not be destroyed by a
    // reset: the server reads the rest away before it closes.
    const std::string body(300 * 1024, 'p');
    const std::string request = "POST /missing.txt HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n\r\n" + body;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        std::atomic<bool> done{false};
        std::atomic<std::size_t> sent{0};
        std::string reply;
        int recv_error = 0;
        std::thread client([&] {
            int s = connect_loopback(port);
            while (sent < request.size()) {
                ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            char buf[4096];
            for (;;) {
                ssize_t n = recv(s, buf, sizeof buf, 0);
                if (n > 0) {
                    reply.append(buf, static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0) recv_error = errno;
                break;
            }
            close(s);
            done = true;
        });
        // Much of the body is there before the connection is accepted, so the
        // request is answered on the first read, right after accept.
        EXPECT_TRUE(eventually([&] { return done || sent >= 64 * 1024; }));
        for (int i = 0; i < 1000 && !done; ++i) server_step(*ctx, 10);
        client.join();
        EXPECT_EQ(recv_error, 0) << std::strerror(recv_error);
        EXPECT_EQ(parse_reply(reply).status, 404);
        steps(3);
    }
    EXPECT_EQ(ctx->nactive, 1);
}

// Descriptors are limited for the length of a scope.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST_F(Engine, AcceptingResumesOnceDescriptorsAreFreeWithNoOtherConnection) {
    // Made before the descriptors run out; its connection then waits in the backlog.
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    std::vector<int> fillers;
    {
        DescriptorLimit limit(static_cast<rlim_t>(client + 16));
        ASSERT_TRUE(limit.ok());
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
        ASSERT_EQ(errno, EMFILE);
        ASSERT_TRUE(connect_to_loopback(client, port));
        send_text(client, "GET /a.txt HTTP/1.1\r\n\r\n");
        steps(5);
        EXPECT_EQ(ctx->nactive, 1);  // nothing could be accepted
        EXPECT_FALSE(ctx->accepting);
    }
    for (int fd : fillers) close(fd);
    // No connection is freed to turn accepting back on: only the retry does.
    std::string reply = collect(client, [] {}, 300);
    EXPECT_EQ(parse_reply(reply).body, "hello");
    close(client);
}

// Kept connections between requests hold no record; when descriptors run out
// they are closed first, so a new client is still served at once.
TEST_F(Engine, IdleKeptConnectionsGoFirstWhenDescriptorsRunOut) {
    ctx->keep_alive = 1;
    std::vector<int> kept;
    for (int i = 0; i < 3; ++i) {
        kept.push_back(connect_client());
        send_text(kept.back(), "GET /a.txt HTTP/1.1\r\n\r\n");
    }
    steps(10);
    EXPECT_EQ(ctx->idle.size(), 3u);
    EXPECT_EQ(ctx->nactive, 1);  // the listener's record only
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    std::vector<int> fillers;
    std::string reply;
    {
        DescriptorLimit limit(static_cast<rlim_t>(client + 16));
        ASSERT_TRUE(limit.ok());
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
        ASSERT_EQ(errno, EMFILE);
        ASSERT_TRUE(connect_to_loopback(client, port));
        send_text(client, "GET /a.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
        reply = collect(client, [] {}, 50);
        EXPECT_TRUE(ctx->accepting);
    }
    for (int fd : fillers) close(fd);
    EXPECT_EQ(parse_reply(reply).body, "hello") << reply;
    EXPECT_TRUE(ctx->idle.empty());
    // The closed idle clients see the end of their connection.
    for (int s : kept) {
        std::string rest = read_until_close(s);
        EXPECT_EQ(parse_reply(rest).body, "hello");
        close(s);
    }
    close(client);
}

TEST_F(Engine, FailedPollWaitsForItsTimeOut) {
    int client = connect_client();
    steps(2);
    ASSERT_EQ(ctx->nactive, 2);
    auto start = std::chrono::steady_clock::now();
    {
        // Fewer descriptors allowed than there are to watch: poll fails with EINVAL.
        DescriptorLimit limit(1);
        ASSERT_TRUE(limit.ok());
        server_step(*ctx, 300);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    close(client);
}

TEST_F(Engine, FreeContextClosesEveryConnectionAndStopsItsPrograms) {
    int a = connect_client(), b = connect_client();
    int running = connect_client();
    send_text(running, "GET /sleep.php HTTP/1.1\r\n\r\n");
    pid_t pid = wait_for_program();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ctx->nactive, 4);
    free_context(std::move(ctx));
    EXPECT_FALSE(process_exists(pid));  // stopped and reaped before free_context returned
    for (int s : {a, b, running}) {
        char byte;
        EXPECT_EQ(recv(s, &byte, 1, 0), 0);
        close(s);
    }
}

TEST(IoBuffer, ConsumeResetsAnEmptiedQueue) {
    auto c = std::make_unique<connection>();
    io_buffer& io = c->local;
    io.head = 10;
    io_consume(io, 4);
    EXPECT_EQ(io.tail, 4u);
    EXPECT_EQ(io.pending(), 6u);
    io_consume(io, 6);
    EXPECT_EQ(io.head, 0u);
    EXPECT_EQ(io.tail, 0u);
    io.head = kIoBufferSize - 1;
    EXPECT_FALSE(io.has_room());
}
