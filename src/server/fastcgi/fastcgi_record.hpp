// FastCGI records: building the ones the server sends to a responder and reading
// the ones it answers with, from a byte stream that may arrive in any pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <fastcgi.h>

namespace vantrel {

// The one request id used: every request has a connection of its own.
constexpr std::uint16_t kFcgiRequestId = 1;

// Appends a record header for `content_length` bytes of the given type
// (no padding: the content follows the header directly).
void fcgi_append_header(std::string& out, unsigned type, std::size_t content_length);
// Appends FCGI_BEGIN_REQUEST for a responder; the connection is not kept.
void fcgi_append_begin_request(std::string& out);
// Appends one name-value pair in the length-prefixed form of FCGI_PARAMS content.
void fcgi_append_pair(std::string& out, const char* name, std::size_t name_len, const char* value,
                      std::size_t value_len);
// Wraps `content` in records of `type` (split at the record size limit) and
// appends them; an empty `content` gives the empty record that ends a stream.
void fcgi_append_stream(std::string& out, unsigned type, const char* content, std::size_t length);
// Turns an environment table ("NAME=value" entries, NULL-terminated) into the
// FCGI_PARAMS records that carry it, followed by the empty record.
void fcgi_append_params(std::string& out, char* const* envp);

// Reads records from a stream. The caller feeds bytes as they come; content is
// handed on as it arrives, so a record never has to be held whole.
class FcgiRecordReader {
public:
    struct Sink {
        virtual ~Sink() = default;
        // A piece of a record's content (pieces of one record arrive in order).
        virtual void content(unsigned type, const char* data, std::size_t length) = 0;
        // A record ended (after its padding); `length` was its content length.
        virtual void record_end(unsigned type, std::size_t length) = 0;
    };

    // Consumes all `length` bytes.
    void feed(const char* data, std::size_t length, Sink& sink);

    // How many bytes may be read from the stream now without handing more than
    // `content_room` bytes of the content of a record of `limited_type` to the
    // sink, and never more than `max_read`.
    std::size_t safe_read_size(unsigned limited_type, std::size_t content_room, std::size_t max_read) const;

    // False when a record with another protocol version arrived.
    bool valid() const { return valid_; }
    // True between records (no record partly read).
    bool at_record_start() const { return state_ == State::header && header_have_ == 0; }
    // Type of the record being read (valid once its header is in).
    unsigned current_type() const { return type_; }
    // Records of another request id (skipped: never handed to the sink).
    std::size_t foreign_records() const { return foreign_records_; }
    // True once, after the first such record: the caller logs it.
    bool take_foreign_notice() { return foreign_records_ > 0 && !std::exchange(foreign_noticed_, true); }

private:
    enum class State { header, content, padding };
    State state_ = State::header;
    unsigned char header_[FCGI_HEADER_LEN] = {};
    std::size_t header_have_ = 0;
    unsigned type_ = 0;
    std::size_t content_length_ = 0;
    std::size_t content_left_ = 0;
    std::size_t padding_left_ = 0;
    bool valid_ = true;
    bool foreign_ = false;  // the record being read belongs to another request id
    std::size_t foreign_records_ = 0;
    bool foreign_noticed_ = false;
};

// The content of FCGI_END_REQUEST.
struct FcgiEndRequest {
    std::uint32_t app_status = 0;
    unsigned protocol_status = 0;
};
// Reads an FCGI_END_REQUEST body (8 bytes); false when shorter.
bool fcgi_parse_end_request(const char* data, std::size_t length, FcgiEndRequest& out);

}  // namespace vantrel
