// Feeds arbitrary bytes as a request body in chunks through the decoder, in
// slices and with output room the input chooses, and in place in one call:
// no call writes beyond its room or ahead of its input, and every way of
// feeding decodes exactly what a plain reading of the whole input gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/http/chunked_body.hpp"

using namespace vantrel;

namespace {

using Status = ChunkedBody::Status;

struct Reading {
    std::string data;
    Status status = Status::More;
    std::size_t used = 0;  // input read: the body's end, the refused byte's position, or all of it
};

int hex_value(unsigned char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool line_byte(unsigned char ch) { return ch == '\t' || (ch >= 0x20 && ch != 0x7F); }

// The same grammar read over the whole input at once, line by line.
Reading read_whole(std::string_view s) {
    Reading r;
    auto more = [&] {
        r.status = Status::More;
        r.used = s.size();
        return r;
    };
    auto bad = [&](std::size_t at) {
        r.status = Status::Malformed;
        r.used = at;
        return r;
    };
    std::size_t p = 0;
    for (;;) {
        // size [blanks] [; extension] CR LF
        std::size_t start = p, i = p;
        std::uint64_t size = 0;
        enum { Digits, Blanks, Extension } part = Digits;
        for (;; ++i) {
            if (i == s.size()) return more();
            if (i - start >= kChunkLineMax) return bad(i);
            unsigned char ch = static_cast<unsigned char>(s[i]);
            if (part == Digits && hex_value(ch) >= 0) {
                if (size >> 60) return bad(i);
                size = size << 4 | static_cast<unsigned>(hex_value(ch));
                continue;
            }
            if (i == start) return bad(i);
            if (ch == '\r') break;
            if (part == Extension) {
                if (!line_byte(ch)) return bad(i);
            } else if (ch == ' ' || ch == '\t') {
                part = Blanks;
            } else if (ch == ';') {
                part = Extension;
            } else {
                return bad(i);
            }
        }
        if (i + 1 == s.size()) return more();
        if (s[i + 1] != '\n') return bad(i + 1);
        p = i + 2;
        if (size == 0) break;
        std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(size, s.size() - p));
        r.data.append(s.substr(p, have));
        if (have < size) return more();
        p += have;
        if (p == s.size()) return more();
        if (s[p] != '\r') return bad(p);
        if (p + 1 == s.size()) return more();
        if (s[p + 1] != '\n') return bad(p + 1);
        p += 2;
    }
    // Trailer lines up to the empty one; their bytes (LFs aside) are counted together.
    std::size_t counted = 0;
    for (;;) {
        std::size_t i = p;
        for (;; ++i) {
            if (i == s.size()) return more();
            if (++counted > kChunkTrailersMax) return bad(i);
            unsigned char ch = static_cast<unsigned char>(s[i]);
            if (ch == '\r') break;
            if (!line_byte(ch)) return bad(i);
        }
        if (i + 1 == s.size()) return more();
        if (s[i + 1] != '\n') return bad(i + 1);
        bool empty = i == p;
        p = i + 2;
        if (empty) {
            r.status = Status::Done;
            r.used = p;
            return r;
        }
    }
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void same(const Reading& a, const Reading& b) {
    check(a.status == b.status);
    check(a.used == b.used);
    check(a.data == b.data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::uint32_t seed = data[0] * 2654435761u + 1;
    const std::size_t room = 1 + data[1];
    const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    const Reading expected = read_whole(input);

    // In slices, into a separate buffer of `room` bytes.
    {
        ChunkedBody body;
        Reading got;
        std::string out(room, '\0');
        while (got.used < input.size() && body.status() == Status::More) {
            seed = seed * 1103515245u + 12345u;
            std::size_t n = std::min<std::size_t>(input.size() - got.used, 1 + (seed >> 16) % 97);
            ChunkedBody::Step step = body.feed(input.data() + got.used, n, out.data(), out.size());
            check(step.used <= n && step.produced <= room && step.produced <= step.used);
            check(step.used > 0 || body.status() != Status::More);  // with room, something is always read
            got.data.append(out.data(), step.produced);
            got.used += step.used;
        }
        got.status = body.status();
        check(body.decoded() == got.data.size());
        same(got, expected);
    }
    // In place, in one call.
    {
        ChunkedBody body;
        std::string buffer = input;
        ChunkedBody::Step step = body.feed(buffer.data(), buffer.size(), buffer.data(), buffer.size());
        check(step.produced <= step.used);
        Reading got{buffer.substr(0, step.produced), body.status(), step.used};
        same(got, expected);
        // What follows the body is left as it was.
        check(buffer.compare(step.used, std::string::npos, input, step.used, std::string::npos) == 0);
    }
    return 0;
}
