// The nonce counts a Digest client has used, so that a captured Authorization
// header cannot be sent again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantrel {

// Keys remembered at most; the oldest is dropped to make room.
constexpr std::size_t kRememberedNonceKeys = 4096;
// Counts below the highest one seen under a key that are still told apart
// (requests of one browser may arrive out of order).
constexpr unsigned kNonceCountWindow = 64;

class NonceCountMemory {
public:
    enum Verdict { NC_FRESH, NC_REPLAYED, NC_STALE };

    explicit NonceCountMemory(std::size_t capacity = kRememberedNonceKeys) : capacity_(capacity) {}

    // Records `count` under (user, nonce, cnonce), whose nonce was issued at
    // `issued`. NC_FRESH: first use of that count. NC_REPLAYED: the count was used
    // already, or lies below the window. NC_STALE: an unknown key whose nonce is
    // no newer than a key that was dropped, so a use of it may have been forgotten.
    Verdict use(std::string_view user, std::string_view nonce, std::string_view cnonce, std::uint64_t count,
                long issued);
    std::size_t size() const { return windows_.size(); }

private:
    struct Window {
        std::uint64_t highest = 0;  // highest count used
        std::uint64_t seen = 0;     // bit i: count highest - i was used
    };
    struct Remembered {
        std::string key;
        long issued;
    };

    Verdict record(Window& w, std::uint64_t count);

    std::size_t capacity_;
    std::unordered_map<std::string, Window> windows_;
    std::deque<Remembered> order_;  // oldest first
    bool forgot_any_ = false;
    long forgotten_up_to_ = 0;      // newest nonce time among dropped keys
};

}  // namespace vantrel
