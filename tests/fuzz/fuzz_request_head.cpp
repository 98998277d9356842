// Feeds arbitrary bytes through the request head path: end detection, request
// line (read as the C library's scanner reads it), headers, URI decoding and dot-segment removal, dates. Dispatch runs
// against an empty document root, so only parsing and the status replies run.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "server/config/context.hpp"
#include "server/config/options.hpp"
#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/http/http_date.hpp"
#include "server/http/request.hpp"

using namespace vantrel;

namespace {

ServerContext& fuzz_context() {
    static std::unique_ptr<ServerContext> ctx = [] {
        set_fatal_hook([](const std::string&) {});
        auto c = init_context(nullptr, {{"document_root", "/nonexistent-fuzz-root"}, {"mime_types", "builtin"}});
        return c;
    }();
    return *ctx;
}

struct RequestLine {
    char method[sizeof(connection::method_name)] = "";
    char uri[sizeof(connection::request_uri)] = "";
    char protocol[sizeof(connection::protocol)] = "";
};

// What sscanf's "%15s %16383s %15s" makes of the request line, kept in the
// record's field sizes.
RequestLine scanned_request_line(const char* text) {
    char method[kWordSize], protocol[kWordSize];
    static char uri[kIoBufferSize];
    int words = std::sscanf(text, "%15s %16383s %15s", method, uri, protocol);
    RequestLine line;
    if (words >= 1) copy_bounded(line.method, method, sizeof line.method);
    if (words >= 2) copy_bounded(line.uri, uri, sizeof line.uri);
    if (words >= 3) copy_bounded(line.protocol, protocol, sizeof line.protocol);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ServerContext& ctx = fuzz_context();
    auto c = std::make_unique<connection>();
    c->ctx = &ctx;
    std::size_t n = size < kIoBufferSize - 1 ? size : kIoBufferSize - 1;
    std::memcpy(c->remote.buf, data, n);
    c->remote.buf[n] = '\0';
    c->remote.head = static_cast<unsigned>(n);

    int len = head_length(c->remote.buf, static_cast<int>(n));
    c->request_len = len;
    RequestLine expected;
    if (len > 0) {
        expected = scanned_request_line(c->remote.buf);
        parse_request(*c, c->remote.buf);
        // The request line's words are those the C library's scanner reads.
        if (std::strcmp(c->method_name, expected.method) != 0 || std::strcmp(c->request_uri, expected.uri) != 0 ||
            std::strcmp(c->protocol, expected.protocol) != 0)
            __builtin_trap();
    }
    if (c->local.head > kIoBufferSize) __builtin_trap();

    std::string text(reinterpret_cast<const char*>(data), size);
    std::string uri = text.c_str();  // up to the first NUL
    std::string copy = uri;
    decode_uri(copy.data(), copy.data());
    copy.resize(std::strlen(copy.c_str()));
    strip_dot_segments(copy.data());
    copy.resize(std::strlen(copy.c_str()));
    // After stripping, no segment may start with a dot or be empty.
    if (copy.find("/.") != std::string::npos || copy.find("//") != std::string::npos) __builtin_trap();
    date_to_time(uri.c_str());
    char value[64];
    header_value(uri.c_str(), value, sizeof value);
    return 0;
}
