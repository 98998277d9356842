// Fixed sizes of the server's buffers, in one place.
#pragma once

#include <climits>
#include <cstddef>
#include <limits>

namespace vantrel {

// Byte queues, URIs and the copied request text.
constexpr std::size_t kIoBufferSize = 16384;
// Method and protocol words of the request line (15 characters + NUL).
constexpr std::size_t kWordSize = 16;
// A file-system path: the platform limit. A longer path is refused, never cut.
constexpr std::size_t kPathSize = PATH_MAX;
// The mapped path of one request: document root (or alias target) plus the URI.
constexpr std::size_t kMappedPathSize = kPathSize + kIoBufferSize;
// Idle deadline of a client connection, renewed on activity.
constexpr long kIdleSeconds = 3600;
// A request head must be complete this long after its connection was accepted.
constexpr long kHeadSeconds = 60;
// Listening record's deadline: later than any clock value, so never.
constexpr long kNeverExpires = std::numeric_limits<long>::max();
// Requests one persistent connection carries at most.
constexpr int kMaxRequestsPerConnection = 1000;
// What is left of a request body whose end has not come yet (a body in chunks).
constexpr unsigned long long kBodyLengthUnknown = 1ULL << 62;
// "Sun, 06 Nov 1994 08:49:37 GMT" plus room to spare.
constexpr std::size_t kDateSize = 64;

static_assert(kIoBufferSize > 2, "a queue keeps one byte free for the terminating NUL");

}  // namespace vantrel
