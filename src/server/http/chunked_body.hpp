// Decoding a request body sent in chunks: a state machine fed slices of any
// size, which hands on the data bytes and ignores extensions and trailers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// A size line (its extensions included) longer than this is refused, and so
// are trailer lines longer than this all together: the framing around the data
// stays small, whatever the client sends.
constexpr std::size_t kChunkLineMax = 4096;
constexpr std::size_t kChunkTrailersMax = 16384;

class ChunkedBody {
public:
    enum class Status : unsigned char {
        More,       // the body goes on
        Done,       // the last chunk and its trailers have ended
        Malformed,  // a byte that chunked framing does not allow (nothing after it is read)
    };

    // What one call used and made.
    struct Step {
        std::size_t used = 0;      // input bytes read
        std::size_t produced = 0;  // data bytes written to `out`
    };

    // Decodes from `in` (`length` bytes) into `out` (`room` bytes). `out` may be
    // `in` itself or lie before it: no data byte is written past the input byte
    // it came from, so the body can be decoded in place. Reading stops at the
    // end of the body (the rest of `in` is left unread, it belongs to what
    // follows), at a malformed byte, or when `out` is full.
    Step feed(const char* in, std::size_t length, char* out, std::size_t room);

    Status status() const {
        return state_ == State::Done ? Status::Done : state_ == State::Malformed ? Status::Malformed : Status::More;
    }
    bool done() const { return state_ == State::Done; }
    bool malformed() const { return state_ == State::Malformed; }
    // Data bytes handed on so far.
    std::uint64_t decoded() const { return decoded_; }

private:
    enum class State : unsigned char {
        SizeFirst,     // the first hex digit of a size line
        Size,          // more hex digits
        SizeSpace,     // blanks after the digits, before ";" or CR
        Extension,     // after ";" up to CR: ignored
        SizeLf,        // the LF after a size line's CR
        Data,          // `left_` data bytes of the chunk
        DataCr,        // the CR after a chunk's data
        DataLf,        // the LF after it
        TrailerStart,  // a trailer line or the final empty line
        Trailer,       // inside a trailer line: ignored
        TrailerLf,     // the LF after a trailer line's CR
        FinalLf,       // the LF of the final empty line
        Done,
        Malformed,
    };

    // One framing byte (not data); false when it is malformed.
    bool frame_byte(unsigned char ch);

    State state_ = State::SizeFirst;
    std::uint64_t left_ = 0;     // the size being read, then the data bytes still due
    std::uint64_t decoded_ = 0;
    std::size_t line_ = 0;       // bytes of the current size line, or of all trailers
};

}  // namespace vantrel
