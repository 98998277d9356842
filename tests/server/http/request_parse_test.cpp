// The request head's pure helpers, table-driven.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "server/config/context.hpp"
#include "server/config/mime.hpp"
#include "server/config/options.hpp"
#include "server/core/bounded.hpp"
#include "server/engine/connection.hpp"
#include "server/handlers/static_file.hpp"
#include "server/http/chunked_body.hpp"
#include "server/http/http_date.hpp"
#include "server/http/request.hpp"

using namespace vantrel;

TEST(HeadLength, FindsTheEndOfTheHead) {
    struct Case {
        std::string text;
        int expected;
    } cases[] = {
        {"GET / HTTP/1.1\n\n", 16},
        {"GET / HTTP/1.1\r\n\r\n", 18},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\nBODY", 27},
        {"GET / HTTP/1.1\r\n", 0},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r", 0},
        {"GET / HTTP/1.1\r\nX: a\tb\r\n\r\n", -1},
        {std::string("GET /\x80 HTTP/1.1\r\n\r\n"), -1},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(head_length(c.text.data(), static_cast<int>(c.text.size())), c.expected) << c.text;
}

TEST(DecodeUri, PercentAndPlus) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"/x%20y+z", "/x y z"}, {"/%2e%2e/secret", "/../secret"}, {"/%41%4a%4A", "/AJJ"},
        {"/100%", "/100%"},     {"/%zz", "/%zz"},                 {"/%4", "/%4"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::strcpy(buf, c.in);
        decode_uri(buf, buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST(StripDotSegments, NeverClimbsAboveTheRoot) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"/a/../b", "/a/b"}, {"//x", "/x"},       {"/./x", "/x"},         {"/.name", "/name"},
        {"/a./b", "/a./b"},  {"/../../etc", "/etc"}, {"/a/.../b", "/a/b"}, {"/", "/"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::strcpy(buf, c.in);
        strip_dot_segments(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST(DateToTime, AcceptsTheFourFormsAsUtc) {
    const long expected = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    for (const char* text : {"06/Nov/1994 08:49:37", "06 Nov 1994 08:49:37", "Sun, 06 Nov 1994 08:49:37 GMT",
                             "06-Nov-1994 08:49:37", "06 nov 94 08:49:37"})
        EXPECT_EQ(date_to_time(text), expected) << text;
    EXPECT_EQ(date_to_time("01 Jan 05 00:00:00"), 1104537600L);
    EXPECT_EQ(date_to_time("yesterday"), 0);
    EXPECT_EQ(date_to_time("06 Foo 1994 08:49:37"), 0);
}

TEST(DateToTime, ReadsBackWhatTheServerWrites) {
    char text[64];
    for (long t : {0L, 784111777L, 1700000000L, 2000000000L}) {
        format_http_date(t, text, sizeof text);
        EXPECT_EQ(date_to_time(text), t) << text;
    }
    format_http_date(784111777L, text, sizeof text);
    EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");
    // Day, month and weekday agree with the C library's UTC calendar across
    // leap days, century years and times before 1970.
    for (long t : {-1L, -86400L * 365 * 70, 951782400L, 951868799L, 4107542399L, 4107542400L, 253402300799L}) {
        time_t when = static_cast<time_t>(t);
        struct tm tm {};
        gmtime_r(&when, &tm);
        char expected[64];
        std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", &tm);
        format_http_date(t, text, sizeof text);
        EXPECT_STREQ(text, expected) << t;
    }
    // A buffer too small for the date gets as much of it as fits.
    char small[12];
    format_http_date(784111777L, small, sizeof small);
    EXPECT_STREQ(small, "Sun, 06 Nov");
}

TEST(Bounded, CopyAndFormatNeverOverrun) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_TRUE(copy_bounded(buf, "abc", sizeof buf));
    EXPECT_STREQ(buf, "abc");
    EXPECT_FALSE(copy_bounded(buf, "abcdefghijk", sizeof buf));
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(format_bounded(buf, sizeof buf, "%s-%d", "abc", 12345), 7);
    EXPECT_STREQ(buf, "abc-123");
    EXPECT_EQ(format_bounded(buf, 0, "%s", "x"), 0);
}

TEST(HeaderValue, EndsAtTheLineEnd) {
    char out[16];
    header_value("text/html\r\nNext: 1\r\n", out, sizeof out);
    EXPECT_STREQ(out, "text/html");
    header_value("bare\nNext: 1\r\n", out, sizeof out);
    EXPECT_STREQ(out, "bare");
    header_value("no end", out, sizeof out);
    EXPECT_STREQ(out, "");
    header_value("0123456789012345678901\r\n", out, sizeof out);
    EXPECT_STREQ(out, "012345678901234");
}

TEST(ParseHeaders, RecognisedLinesByKind) {
    auto c = std::make_unique<connection>();
    parse_headers(*c,
                  "user-agent: first\r\nUser-Agent: second\r\nContent-Length: 7\r\ncontent-length: 12\r\n"
                  "Content-Type:text/plain\r\nCookie: a=1; b=2\r\nRange: bytes=1-2\r\nStatus: 404 Not Found\r\n"
                  "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\nUser-Agent: body\r\n");
    EXPECT_EQ(c->user_agent, "first");
    EXPECT_EQ(c->content_length, 12u);
    EXPECT_EQ(c->content_type, "");  // no space after the colon: not recognised
    EXPECT_FALSE(c->has_content_type);
    EXPECT_EQ(c->cookie, "a=1; b=2");
    EXPECT_EQ(c->range, "bytes=1-2");
    EXPECT_EQ(c->status, 404);
    EXPECT_EQ(c->if_modified_since, 784111777L);
}

TEST(MimeTypes, BuiltinTableOrderAndLookup) {
    const auto& table = builtin_mime_table();
    ASSERT_EQ(table.size(), 34u + 14u + 12u);
    EXPECT_STREQ(table[0].first, "svg");
    EXPECT_STREQ(table[33].first, "html");
    EXPECT_STREQ(table[34].first, "js");
    EXPECT_STREQ(table[47].first, "csv");

    ServerContext ctx;
    setmimetypes(ctx, "builtin");
    EXPECT_STREQ(mime_type_for(ctx, "/doc/A.HTML"), "text/html");
    EXPECT_STREQ(mime_type_for(ctx, "/doc/html"), "text/plain");
    EXPECT_STRNE(mime_type_for(ctx, "/doc/x.xhtml"), "text/html");
    EXPECT_STREQ(mime_type_for(ctx, "/a.unknown"), "text/plain");
    EXPECT_STREQ(mime_type_for(ctx, "/app.mjs"), "text/javascript");
    EXPECT_STREQ(mime_type_for(ctx, "/a.tar.gz"), "application/x-gunzip");  // "gz" was added later
}

namespace {

// Feeds `in` to a decoder in slices of `slice` bytes (0: all at once, in
// place); returns the data, the status and how many input bytes were read.
struct Decoded {
    std::string data;
    ChunkedBody::Status status;
    std::size_t used = 0;
};
Decoded decode_chunks(const std::string& in, std::size_t slice) {
    ChunkedBody body;
    Decoded out;
    std::string copy = in;
    if (slice == 0) {
        auto step = body.feed(copy.data(), copy.size(), copy.data(), copy.size());
        out.data = copy.substr(0, step.produced);
        out.used = step.used;
    } else {
        for (std::size_t at = 0; at < in.size() && body.status() == ChunkedBody::Status::More;) {
            std::size_t n = std::min(slice, in.size() - at);
            char room[1];  // one byte of room: data is handed on a byte at a time too
            auto step = body.feed(in.data() + at, n, room, sizeof room);
            out.data.append(room, step.produced);
            out.used += step.used;
            at += step.used;
            if (step.used == 0 && step.produced == 0) break;
        }
    }
    out.status = body.status();
    EXPECT_EQ(body.decoded(), out.data.size());
    return out;
}

}  // namespace

TEST(ChunkedBody, DecodesInOneByteSlicesAsInPlace) {
    using S = ChunkedBody::Status;
    const std::string long_line = "1;" + std::string(kChunkLineMax, 'e') + "\r\nx\r\n0\r\n\r\n";
    struct Case {
        std::string in;
        std::string data;
        S status;
        std::size_t used;  // input read: the body's end, or up to the refused byte
    } cases[] = {
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", S::Done, 26},
        {"5\r\nhello\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n", "hello", S::Done, 15},  // the next request stays
        {"A;name=\"v;x\"\r\n0123456789\r\n0;last\r\nX-Sum: 1\r\nY: 2\r\n\r\n", "0123456789", S::Done, 52},
        {"00000a \t;e\r\n0123456789\r\n000\r\n\r\n", "0123456789", S::Done, 31},
        {"0\r\n\r\n", "", S::Done, 5},
        {"3\r\nabc\r\n", "abc", S::More, 8},
        {"3\r\nab", "ab", S::More, 5},
        {"5\nhello\r\n0\r\n\r\n", "", S::Malformed, 1},            // a bare LF ends no line
        {"5\r\nhello\n0\r\n\r\n", "hello", S::Malformed, 8},
        {"5\r\nhelloX\r\n", "hello", S::Malformed, 8},              // the data runs past its size
        {"0\r\n\r\r\n", "", S::Malformed, 4},
        {"0\r\nX: 1\n\r\n", "", S::Malformed, 7},
        {"\r\n", "", S::Malformed, 0},                                // no size
        {"g\r\n", "", S::Malformed, 0},
        {"-1\r\n", "", S::Malformed, 0},
        {"1 2\r\n", "", S::Malformed, 2},
        {"10000000000000000\r\n", "", S::Malformed, 16},             // 2^64 does not fit
        {"1;a\x01\r\nx\r\n0\r\n\r\n", "", S::Malformed, 3},
        {long_line, "", S::Malformed, kChunkLineMax},
        {"0\r\n" + std::string(kChunkTrailersMax + 1, 't'), "", S::Malformed, 3 + kChunkTrailersMax},
    };
    for (const auto& c : cases) {
        for (std::size_t slice : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            Decoded d = decode_chunks(c.in, slice);
            EXPECT_EQ(d.data, c.data) << c.in.substr(0, 60) << " slice " << slice;
            EXPECT_EQ(d.status, c.status) << c.in.substr(0, 60) << " slice " << slice;
            EXPECT_EQ(d.used, c.used) << c.in.substr(0, 60) << " slice " << slice;
        }
    }
}
