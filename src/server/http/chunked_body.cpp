// Decoding a request body sent in chunks.
//
// Lines end with CR LF only: a bare LF, or a CR without its LF, is refused. A
// client and a server that disagree on where a line ends also disagree on where
// the body ends, and whatever follows would be read as another request.
#include "server/http/chunked_body.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

int hex_value(unsigned char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool blank(unsigned char ch) { return ch == ' ' || ch == '\t'; }

// A byte allowed inside an extension or a trailer line: no control byte but TAB.
bool line_byte(unsigned char ch) { return ch == '\t' || (ch >= 0x20 && ch != 0x7F); }

}  // namespace

bool ChunkedBody::frame_byte(unsigned char ch) {
    switch (state_) {
        case State::SizeFirst:
        case State::Size: {
            if (++line_ > kChunkLineMax) return false;
            int v = hex_value(ch);
            if (v >= 0) {
                if (left_ > (UINT64_MAX >> 4)) return false;  // the size does not fit
                left_ = (left_ << 4) | static_cast<unsigned>(v);
                state_ = State::Size;
                return true;
            }
            if (state_ == State::SizeFirst) return false;  // a size line without a digit
            [[fallthrough]];
        }
        case State::SizeSpace:
            if (state_ == State::SizeSpace && ++line_ > kChunkLineMax) return false;
            if (blank(ch)) {
                state_ = State::SizeSpace;
            } else if (ch == ';') {
                state_ = State::Extension;
            } else if (ch == '\r') {
                state_ = State::SizeLf;
            } else {
                return false;
            }
            return true;
        case State::Extension:
            if (++line_ > kChunkLineMax) return false;
            if (ch == '\r') {
                state_ = State::SizeLf;
                return true;
            }
            return line_byte(ch);
        case State::SizeLf:
            if (ch != '\n') return false;
            line_ = 0;
            state_ = left_ > 0 ? State::Data : State::TrailerStart;
            return true;
        case State::DataCr:
            if (ch != '\r') return false;
            state_ = State::DataLf;
            return true;
        case State::DataLf:
            if (ch != '\n') return false;
            state_ = State::SizeFirst;
            return true;
        case State::TrailerStart:
        case State::Trailer:
            if (++line_ > kChunkTrailersMax) return false;
            if (ch == '\r') {
                state_ = state_ == State::TrailerStart ? State::FinalLf : State::TrailerLf;
                return true;
            }
            state_ = State::Trailer;
            return line_byte(ch);
        case State::TrailerLf:
            if (ch != '\n') return false;
            state_ = State::TrailerStart;
            return true;
        case State::FinalLf:
            if (ch != '\n') return false;
            state_ = State::Done;
            return true;
        case State::Data:
        case State::Done:
        case State::Malformed:
            break;
    }
    return false;
}

ChunkedBody::Step ChunkedBody::feed(const char* in, std::size_t length, char* out, std::size_t room) {
    Step step;
    while (step.used < length && state_ != State::Done && state_ != State::Malformed) {
        if (state_ == State::Data) {
            std::size_t n = std::min<std::uint64_t>(left_, length - step.used);
            n = std::min(n, room - step.produced);
            if (n == 0) break;  // `out` is full
            // In place the two ranges may overlap; the output never runs ahead.
            std::memmove(out + step.produced, in + step.used, n);
            step.used += n;
            step.produced += n;
            left_ -= n;
            decoded_ += n;
            if (left_ == 0) state_ = State::DataCr;
            continue;
        }
        if (!frame_byte(static_cast<unsigned char>(in[step.used]))) {
            state_ = State::Malformed;
            break;
        }
        ++step.used;
    }
    return step;
}

}  // namespace vantrel
