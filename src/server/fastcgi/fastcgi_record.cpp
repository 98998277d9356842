// FastCGI record layout: building requests and reading replies in pieces.
#include "server/fastcgi/fastcgi_record.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

void append_length(std::string& out, std::size_t n) {
    // Lengths below 128 take one byte; longer ones four, with the top bit set.
    if (n < 128) {
        out.push_back(static_cast<char>(n));
        return;
    }
    out.push_back(static_cast<char>(((n >> 24) & 0x7f) | 0x80));
    out.push_back(static_cast<char>((n >> 16) & 0xff));
    out.push_back(static_cast<char>((n >> 8) & 0xff));
    out.push_back(static_cast<char>(n & 0xff));
}

}  // namespace

void fcgi_append_header(std::string& out, unsigned type, std::size_t content_length) {
    char h[FCGI_HEADER_LEN] = {FCGI_VERSION_1,
                               static_cast<char>(type),
                               static_cast<char>(kFcgiRequestId >> 8),
                               static_cast<char>(kFcgiRequestId & 0xff),
                               static_cast<char>((content_length >> 8) & 0xff),
                               static_cast<char>(content_length & 0xff),
                               0,
                               0};
    out.append(h, sizeof h);
}

void fcgi_append_begin_request(std::string& out) {
    fcgi_append_header(out, FCGI_BEGIN_REQUEST, sizeof(FCGI_BeginRequestBody));
    // Role responder; flags 0: the responder closes the connection when done.
    char body[sizeof(FCGI_BeginRequestBody)] = {0, FCGI_RESPONDER, 0, 0, 0, 0, 0, 0};
    out.append(body, sizeof body);
}

void fcgi_append_pair(std::string& out, const char* name, std::size_t name_len, const char* value,
                      std::size_t value_len) {
    append_length(out, name_len);
    append_length(out, value_len);
    out.append(name, name_len);
    out.append(value, value_len);
}

void fcgi_append_stream(std::string& out, unsigned type, const char* content, std::size_t length) {
    do {
        std::size_t n = std::min<std::size_t>(length, FCGI_MAX_LENGTH);
        fcgi_append_header(out, type, n);
        out.append(content, n);
        content += n;
        length -= n;
    } while (length > 0);
}

void fcgi_append_params(std::string& out, char* const* envp) {
    std::string pairs;
    for (char* const* e = envp; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq) continue;
        fcgi_append_pair(pairs, *e, static_cast<std::size_t>(eq - *e), eq + 1, std::strlen(eq + 1));
    }
    if (!pairs.empty()) fcgi_append_stream(out, FCGI_PARAMS, pairs.data(), pairs.size());
    fcgi_append_header(out, FCGI_PARAMS, 0);
}

void FcgiRecordReader::feed(const char* data, std::size_t length, Sink& sink) {
    while (length > 0) {
        switch (state_) {
        case State::header: {
            std::size_t n = std::min(length, FCGI_HEADER_LEN - header_have_);
            std::memcpy(header_ + header_have_, data, n);
            header_have_ += n;
            data += n;
            length -= n;
            if (header_have_ < FCGI_HEADER_LEN) break;
            header_have_ = 0;
            if (header_[0] != FCGI_VERSION_1) valid_ = false;
            type_ = header_[1];
            foreign_ = ((static_cast<unsigned>(header_[2]) << 8) | header_[3]) != kFcgiRequestId;
            if (foreign_) ++foreign_records_;
            content_length_ = content_left_ = (static_cast<std::size_t>(header_[4]) << 8) | header_[5];
            padding_left_ = header_[6];
            state_ = State::content;
            if (content_left_ == 0) {
                state_ = State::padding;
                if (padding_left_ == 0) {
                    state_ = State::header;
                    if (!foreign_) sink.record_end(type_, 0);
                }
            }
            break;
        }
        case State::content: {
            std::size_t n = std::min(length, content_left_);
            if (!foreign_) sink.content(type_, data, n);
            content_left_ -= n;
            data += n;
            length -= n;
            if (content_left_ > 0) break;
            state_ = State::padding;
            if (padding_left_ == 0) {
                state_ = State::header;
                if (!foreign_) sink.record_end(type_, content_length_);
            }
            break;
        }
        case State::padding: {
            std::size_t n = std::min(length, padding_left_);
            padding_left_ -= n;
            data += n;
            length -= n;
            if (padding_left_ > 0) break;
            state_ = State::header;
            if (!foreign_) sink.record_end(type_, content_length_);
            break;
        }
        }
    }
}

std::size_t FcgiRecordReader::safe_read_size(unsigned limited_type, std::size_t content_room,
                                             std::size_t max_read) const {
    std::size_t n = 0;
    switch (state_) {
    case State::header:
        n = FCGI_HEADER_LEN - header_have_;
        break;
    case State::content:
        if (type_ == limited_type && !foreign_ && content_left_ > content_room)
            n = content_room;  // the rest of this record waits for room
        else
            n = content_left_ + padding_left_ + FCGI_HEADER_LEN;
        break;
    case State::padding:
        n = padding_left_ + FCGI_HEADER_LEN;
        break;
    }
    return std::min(n, max_read);
}

bool fcgi_parse_end_request(const char* data, std::size_t length, FcgiEndRequest& out) {
    if (length < sizeof(FCGI_EndRequestBody)) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(data);
    out.app_status = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    out.protocol_status = b[4];
    return true;
}

}  // namespace vantrel
