// FastCGI: the record codec, addresses and options, and the worker pool and
// external servers with real php-cgi processes behind the real vantrel-httpd.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/cgi_gate.hpp"
#include "server/connection.hpp"
#include "server/context.hpp"
#include "server/fastcgi_address.hpp"
#include "server/fastcgi_record.hpp"
#include "server/log.hpp"
#include "server/worker_pool.hpp"
#include "testkit.hpp"

namespace {

using namespace vantrel;
using testkit::TempDir;
using testkit::write_file;

const char* const kPhpCgi = "/usr/bin/php-cgi";

template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

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

// A record as a responder writes it, with padding.
std::string record(unsigned type, const std::string& content, unsigned padding) {
    std::string r;
    r += static_cast<char>(FCGI_VERSION_1);
    r += static_cast<char>(type);
    r += '\0';
    r += '\1';
    r += static_cast<char>(content.size() >> 8);
    r += static_cast<char>(content.size() & 0xff);
    r += static_cast<char>(padding);
    r += '\0';
    return r + content + std::string(padding, 'P');
}

TEST(FcgiRecords, RepliesSplitAnywhereAreReadWholeAndPaddingSkipped) {
    std::string big(70000 % 65536, 'b');
    std::string stream = record(FCGI_STDOUT, "Content-Type: text/plain\r\n\r\nhi", 6) + record(FCGI_STDERR, "warn\n", 3) +
                         record(FCGI_STDOUT, big, 0) + record(FCGI_STDOUT, "", 0) +
                         record(FCGI_END_REQUEST, std::string("\0\0\0\7\0\0\0\0", 8), 0);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{8}, std::size_t{4096},
                              stream.size()}) {
        FcgiRecordReader reader;
        Collected got;
        for (std::size_t at = 0; at < stream.size(); at += piece)
            reader.feed(stream.data() + at, std::min(piece, stream.size() - at), got);
        ASSERT_TRUE(reader.valid());
        EXPECT_TRUE(reader.at_record_start());
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
        if (!c.ok) EXPECT_FALSE(why.empty()) << c.text;
    }
    FcgiAddress a;
    std::string why;
    EXPECT_FALSE(parse_fastcgi_address("unix:/" + std::string(200, 'p'), a, why));
}

class FcgiOptions : public ::testing::Test {
protected:
    void SetUp() override {
        reset_options();
        set_fatal_hook([this](const std::string& m) { fatals.push_back(m); });
    }
    void TearDown() override {
        set_fatal_hook(nullptr);
        reset_options();
    }
    std::vector<std::string> fatals;
};

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

}  // namespace
