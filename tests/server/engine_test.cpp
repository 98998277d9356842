// The poll loop driven in-process, with the clock under the test's control.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "server/connection.hpp"
#include "server/context.hpp"
#include "server/log.hpp"
#include "testkit.hpp"

using namespace vantrel;
using namespace testkit;

namespace {

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        reset_options();
        set_time_source([this] { return now.load(); });
        write_file(site / "a.txt", "hello");
        ctx = init_context(nullptr, {{"document_root", site.path()}, {"listen_port", "0"}});
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
    void steps(int n) {
        for (int i = 0; i < n; ++i) server_step(*ctx, 20);
    }
    std::atomic<long> now{1'000'000};
    TempDir site;
    std::unique_ptr<ServerContext> ctx;
    int port = 0;
};

}  // namespace

TEST_F(Engine, IdleClientIsFreedAfterItsDeadline) {
    int client = connect_client();
    steps(3);
    EXPECT_EQ(ctx->nactive, 2);  // listener + client
    now += kIdleSeconds;         // exactly at the deadline: still alive
    steps(1);
    EXPECT_EQ(ctx->nactive, 2);
    now += 1;
    steps(1);
    EXPECT_EQ(ctx->nactive, 1);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), 0);  // closed by the server
    close(client);
}

TEST_F(Engine, ActivityMovesTheDeadlineToNowPlusAnHour) {
    int client = connect_client();
    steps(2);
    now += 3000;
    send(client, "GET /a", 6, 0);
    steps(2);
    now += 3000;  // 6000 s after connecting, 3000 s after the last byte
    steps(1);
    EXPECT_EQ(ctx->nactive, 2);
    now += 700;
    steps(1);
    EXPECT_EQ(ctx->nactive, 1);
    close(client);
}

TEST_F(Engine, ListenerNeverExpiresAndRequestsAreServed) {
    now += 10L * 365 * 24 * 3600;
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

TEST_F(Engine, FreeContextClosesEveryConnection) {
    int a = connect_client(), b = connect_client();
    steps(3);
    EXPECT_EQ(ctx->nactive, 3);
    free_context(std::move(ctx));
    char byte;
    EXPECT_EQ(recv(a, &byte, 1, 0), 0);
    EXPECT_EQ(recv(b, &byte, 1, 0), 0);
    close(a);
    close(b);
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
