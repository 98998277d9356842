// The two hooks a program that embeds the server uses: hosted paths answered
// by the program (at once or later, from another thread) and the request
// observer with the program's error output. The server runs in-process on its
// own poll thread, as in the desktop program.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.hpp"

#include "server/server.hpp"

using namespace vantrel;
using namespace testkit;
using namespace std::chrono_literals;

namespace {

// Standard error of this process goes to a file while the object lives, so
// that what the server logs can be read back.
class StderrToFile {
public:
    explicit StderrToFile(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrToFile() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    std::string text() const { return read_file(path_); }

private:
    std::string path_;
    int saved_ = -1;
};

// Observed records, read from the test thread.
class Records {
public:
    void add(const RequestRecord& r) {
        std::lock_guard<std::mutex> held(lock_);
        records_.push_back(r);
    }
    std::vector<RequestRecord> all() const {
        std::lock_guard<std::mutex> held(lock_);
        return records_;
    }
    // The first record whose path is `path`, once there is one.
    std::optional<RequestRecord> wait_for(const std::string& path) const {
        std::optional<RequestRecord> found;
        eventually([&] {
            for (const auto& r : all())
                if (r.path == path) found = r;
            return found.has_value();
        });
        return found;
    }

private:
    mutable std::mutex lock_;
    std::vector<RequestRecord> records_;
};

class Embedded : public ::testing::Test {
protected:
    void SetUp() override {
        reset_options();
        write_file(site / "a.txt", "static text");
        write_file(site / "_h/file.txt", "a file under the hosted prefix");
        write_file(site / "stderr.php",
                   "<?php file_put_contents('php://stderr', \"STDERR-MARK one\\nSTDERR-MARK two\\n\"); echo 'body';\n");
        write_file(site / "error_log.php", "<?php error_log('WORKER-MARK'); echo 'body';\n");
    }
    void TearDown() override {
        stop();
        reset_options();
    }
    // Makes the context with `extra` options; `configure` adds the hooks.
    void start(std::vector<std::pair<std::string, std::string>> extra = {},
               const std::function<void(ServerContext&)>& configure = {}) {
        std::vector<std::pair<std::string, std::string>> options = {{"document_root", site.path()},
                                                                    {"listen_port", "0"},
                                                                    {"listen_address", "127.0.0.1"},
                                                                    {"cgi_extention", ".php"},
                                                                    {"cgi_interpreter", kPhpCgi}};
        options.insert(options.end(), extra.begin(), extra.end());
        ctx = init_context(nullptr, options);
        ASSERT_TRUE(ctx);
        if (configure) configure(*ctx);
        port = server_start(*ctx);
        ASSERT_GT(port, 0);
        poll_thread = std::thread([this] {
            while (!stopping) server_step(*ctx, 50);
        });
    }
    void stop() {
        if (!poll_thread.joinable()) return;
        stopping = true;
        poll_thread.join();
        free_context(std::move(ctx));
    }
    void observe(bool capture) {
        server_observe_requests(*ctx, [this](const RequestRecord& r) { records.add(r); }, capture);
    }
    int records_alive() {
        std::lock_guard<std::mutex> held(ctx->lock);
        return ctx->nactive;
    }

    TempDir site;
    std::unique_ptr<ServerContext> ctx;
    std::thread poll_thread;
    std::atomic<bool> stopping{false};
    int port = 0;
    Records records;
};

// A hosted handler that keeps each responder for the test to complete later.
struct Pending {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::pair<HostedRequest, HostedResponder>> requests;

    HostedHandler handler() {
        return [this](HostedRequest&& request, HostedResponder responder) {
            std::lock_guard<std::mutex> held(lock);
            requests.emplace_back(std::move(request), responder);
            arrived.notify_all();
        };
    }
    bool wait(std::size_t n) {
        std::unique_lock<std::mutex> held(lock);
        return arrived.wait_for(held, 10s, [&] { return requests.size() >= n; });
    }
    HostedResponder responder(std::size_t i) {
        std::lock_guard<std::mutex> held(lock);
        return requests.at(i).second;
    }
    HostedRequest request(std::size_t i) {
        std::lock_guard<std::mutex> held(lock);
        return requests.at(i).first;
    }
};

HostedReply json_reply(const std::string& body) {
    HostedReply r;
    r.body = body;
    return r;
}

TEST_F(Embedded, HostedRequestCarriesItsFieldsAndAnImmediateReplyIsFramed) {
    HostedRequest seen;
    start({}, [&](ServerContext& c) {
        server_host_prefix(
            c, "/_h/",
            [&](HostedRequest&& request, HostedResponder responder) {
                seen = request;
                HostedReply r = json_reply("{\"ok\":true}");
                r.status = 201;
                r.headers = {{"X-Extra", "yes"}, {"Content-Length", "999"}};
                responder.reply(r);
                responder.reply(json_reply("second call ignored"));
            },
            1024);
    });
    auto r = parse_reply(raw_request(port, "POST /_h/no%74ify?x=1&y=%20 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                           "X-One: first\r\nx-one: second\r\nContent-Length: 5\r\n\r\nhello"));
    EXPECT_EQ(r.status_line, "HTTP/1.1 201 Created");
    EXPECT_EQ(r.body, "{\"ok\":true}");
    EXPECT_EQ(r.headers["content-length"], "11");
    EXPECT_EQ(r.headers["content-type"], "application/json");
    EXPECT_EQ(r.headers["x-extra"], "yes");
    EXPECT_TRUE(r.whole);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.path, "/_h/notify");
    EXPECT_EQ(seen.query, "x=1&y=%20");
    EXPECT_EQ(seen.body, "hello");
    EXPECT_EQ(seen.peer, "127.0.0.1");
    EXPECT_EQ(seen.header("X-ONE"), "first");
    EXPECT_EQ(seen.header("absent"), "");
    ASSERT_EQ(seen.headers.size(), 4u);
    EXPECT_EQ(seen.headers[2], (std::pair<std::string, std::string>{"x-one", "second"}));
    // A file below the prefix is never served: the path belongs to the program.
    auto file = http_get(port, "/_h/file.txt");
    EXPECT_EQ(file.body, "{\"ok\":true}");
    // A body in chunks reaches the handler decoded.
    auto chunked = parse_reply(raw_request(port, "POST /_h/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                 "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
    EXPECT_EQ(chunked.status, 201);
    EXPECT_EQ(seen.body, "hello world");
}

TEST_F(Embedded, ReplyCompletedLaterFromAnotherThreadWhileOtherRequestsAreServed) {
    Pending pending;
    start({}, [&](ServerContext& c) { server_host_prefix(c, "/_h/", pending.handler(), 0); });
    std::string hosted_raw;
    std::thread client([&] { hosted_raw = raw_request(port, "GET /_h/slow HTTP/1.1\r\n\r\n"); });
    ASSERT_TRUE(pending.wait(1));
    // The poll thread is not held by the waiting request.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(http_get(port, "/a.txt").body, "static text");
    HostedResponder responder = pending.responder(0);
    std::thread later([responder] {
        std::this_thread::sleep_for(300ms);
        HostedReply r = json_reply(std::string(100000, 'z'));  // more than one queue's worth
        r.content_type = "text/plain";
        responder.reply(r);
    });
    later.join();
    client.join();
    auto r = parse_reply(hosted_raw);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "text/plain");
    EXPECT_EQ(r.body, std::string(100000, 'z'));
    EXPECT_TRUE(r.whole);
}

TEST_F(Embedded, BodyOverTheLimitAnswers413WithoutCallingTheHandler) {
    Pending pending;
    start({}, [&](ServerContext& c) { server_host_prefix(c, "/_h/", pending.handler(), 10); });
    auto r = parse_reply(raw_request(port, "POST /_h/x HTTP/1.1\r\nContent-Length: 11\r\n\r\n0123456789A"));
    EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
    // In chunks, the body is refused once it grows past the limit.
    r = parse_reply(raw_request(port, "POST /_h/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                      "6\r\n012345\r\n5\r\n6789A\r\n0\r\n\r\n"));
    EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large");
    std::lock_guard<std::mutex> held(pending.lock);
    EXPECT_TRUE(pending.requests.empty());
}

TEST_F(Embedded, ReplyAfterTheClientHasGoneOrTheContextWasFreedDoesNothing) {
    Pending pending;
    start({}, [&](ServerContext& c) { server_host_prefix(c, "/_h/", pending.handler(), 0); });
    int client = connect_loopback(port);
    ASSERT_GE(client, 0);
    std::string req = "GET /_h/gone HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(client, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    ASSERT_TRUE(pending.wait(1));
    close(client);
    std::this_thread::sleep_for(100ms);
    pending.responder(0).reply(json_reply("nobody reads this"));
    // The record goes once its reply cannot be delivered; the server goes on.
    EXPECT_TRUE(eventually([&] { return records_alive() == 1; })) << records_alive();
    EXPECT_EQ(http_get(port, "/a.txt").body, "static text");

    // A request still waiting when the context is freed: its responder outlives it.
    int waiting = connect_loopback(port);
    ASSERT_EQ(send(waiting, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    ASSERT_TRUE(pending.wait(2));
    HostedResponder late = pending.responder(1);
    stop();
    late.reply(json_reply("after the context"));
    close(waiting);
}

TEST_F(Embedded, ReplyWithALineBreakInAHeaderAnswers500) {
    start({}, [&](ServerContext& c) {
        server_host_prefix(
            c, "/_h/",
            [](HostedRequest&&, HostedResponder responder) {
                HostedReply r = json_reply("{}");
                r.headers = {{"X-Split", "a\r\nSet-Cookie: injected=1"}};
                responder.reply(r);
            },
            0);
    });
    auto r = http_get(port, "/_h/x");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.headers.count("set-cookie"), 0u);
}

TEST_F(Embedded, ObserverSeesEveryFinishedRequestWithItsStatusBytesAndDuration) {
    Pending pending;
    start({}, [&](ServerContext& c) {
        server_host_prefix(c, "/_h/", pending.handler(), 0);
        server_observe_requests(c, [this](const RequestRecord& r) { records.add(r); }, false);
    });
    EXPECT_EQ(http_get(port, "/a.txt?q=1").status, 200);
    EXPECT_EQ(http_get(port, "/missing.txt").status, 404);
    std::thread client([&] { raw_request(port, "GET /_h/w HTTP/1.1\r\n\r\n"); });
    ASSERT_TRUE(pending.wait(1));
    std::this_thread::sleep_for(200ms);
    pending.responder(0).reply(json_reply("{}"));
    client.join();

    auto file = records.wait_for("/a.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->method, "GET");
    EXPECT_EQ(file->status, 200);
    EXPECT_GT(file->bytes, std::string("static text").size());
    EXPECT_GE(file->duration_ms, 0.0);
    EXPECT_EQ(file->program_errors, "");
    auto missing = records.wait_for("/missing.txt");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    auto hosted = records.wait_for("/_h/w");
    ASSERT_TRUE(hosted);
    EXPECT_EQ(hosted->status, 200);
    EXPECT_GE(hosted->duration_ms, 150.0);
}

TEST_F(Embedded, CapturedStderrOfAPerRequestProgramReachesTheObserverAndTheLog) {
    TempDir logs;
    StderrToFile log(logs / "stderr.txt");
    start({}, [&](ServerContext& c) {
        server_observe_requests(c, [this](const RequestRecord& r) { records.add(r); }, true);
    });
    EXPECT_EQ(http_get(port, "/stderr.php").body, "body");
    auto r = records.wait_for("/stderr.php");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->program_errors, "STDERR-MARK one\nSTDERR-MARK two\n");
    stop();
    EXPECT_NE(log.text().find(" STDERR-MARK two\n"), std::string::npos) << log.text();
}

TEST_F(Embedded, WithoutCaptureAPerRequestProgramWritesToTheServersStderr) {
    TempDir logs;
    StderrToFile log(logs / "stderr.txt");
    start({}, [&](ServerContext& c) {
        server_observe_requests(c, [this](const RequestRecord& r) { records.add(r); }, false);
    });
    EXPECT_EQ(http_get(port, "/stderr.php").body, "body");
    auto r = records.wait_for("/stderr.php");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->program_errors, "");
    EXPECT_TRUE(eventually([&] { return log.text().find("STDERR-MARK two") != std::string::npos; }));
}

TEST_F(Embedded, WorkerErrorRecordsReachTheObserverOfTheirRequestOnly) {
    TempDir logs;
    StderrToFile log(logs / "stderr.txt");
    start({{"cgi_workers", "1"}}, [&](ServerContext& c) {
        server_observe_requests(c, [this](const RequestRecord& r) { records.add(r); }, false);
    });
    EXPECT_EQ(http_get(port, "/error_log.php").body, "body");
    EXPECT_EQ(http_get(port, "/a.txt").body, "static text");
    auto r = records.wait_for("/error_log.php");
    ASSERT_TRUE(r);
    EXPECT_NE(r->program_errors.find("WORKER-MARK"), std::string::npos) << r->program_errors;
    EXPECT_EQ(r->program_errors.back(), '\n');
    auto other = records.wait_for("/a.txt");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->program_errors, "");
    EXPECT_NE(log.text().find("WORKER-MARK"), std::string::npos);
}

TEST(ProgramErrorsKept, WholeLinesUpToSixteenKibibytes) {
    TempDir logs;
    StderrToFile log(logs / "stderr.txt");
    ProgramErrors errors;
    std::string line(1000, 'e');
    line += '\n';
    for (int i = 0; i < 20; ++i) errors.take(line.data(), line.size(), true);
    errors.take("tail without end", 16, true);
    errors.finish(true);
    EXPECT_EQ(errors.kept().size(), 16u * line.size());
    EXPECT_EQ(errors.kept().back(), '\n');
}

}  // namespace
