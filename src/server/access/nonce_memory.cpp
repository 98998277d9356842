#include "server/access/nonce_memory.hpp"

#include <algorithm>

namespace vantrel {

static_assert(kNonceCountWindow <= 64, "the window is one 64-bit mask");

NonceCountMemory::Verdict NonceCountMemory::record(Window& w, std::uint64_t count) {
    if (count > w.highest) {
        std::uint64_t shift = count - w.highest;
        w.seen = shift >= kNonceCountWindow ? 0 : w.seen << shift;
        w.seen |= 1;
        w.highest = count;
        return NC_FRESH;
    }
    std::uint64_t behind = w.highest - count;
    if (behind >= kNonceCountWindow) return NC_REPLAYED;  // too old to tell: refused
    std::uint64_t bit = std::uint64_t{1} << behind;
    if (w.seen & bit) return NC_REPLAYED;
    w.seen |= bit;
    return NC_FRESH;
}

NonceCountMemory::Verdict NonceCountMemory::use(std::string_view user, std::string_view nonce,
                                                std::string_view cnonce, std::uint64_t count, long issued) {
    std::string key;
    key.reserve(user.size() + nonce.size() + cnonce.size() + 2);
    key.append(user).push_back('\0');
    key.append(nonce).push_back('\0');
    key.append(cnonce);

    auto found = windows_.find(key);
    if (found != windows_.end()) return record(found->second, count);
    if (forgot_any_ && issued <= forgotten_up_to_) return NC_STALE;

    Window& w = windows_[key];
    order_.push_back({key, issued});
    Verdict v = record(w, count);
    while (windows_.size() > capacity_ && !order_.empty()) {
        const Remembered& oldest = order_.front();
        forgotten_up_to_ = forgot_any_ ? std::max(forgotten_up_to_, oldest.issued) : oldest.issued;
        forgot_any_ = true;
        windows_.erase(oldest.key);
        order_.pop_front();
    }
    return v;
}

}  // namespace vantrel
