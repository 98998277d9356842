// The server's fixed byte queue, used for a connection's two directions and
// for bytes read from a FastCGI worker.
#pragma once

#include "server/core/limits.hpp"

namespace vantrel {

// A fixed byte queue. One byte always stays free so that received data can be
// terminated with a NUL: the queue has room while head != size - 1.
struct io_buffer {
    char buf[kIoBufferSize];
    int complete = 0;
    unsigned head = 0;  // bytes filled
    unsigned tail = 0;  // bytes consumed, <= head

    bool has_room() const { return head != kIoBufferSize - 1; }
    unsigned pending() const { return head - tail; }
    unsigned room() const { return static_cast<unsigned>(kIoBufferSize - 1) - head; }
    void clear() { head = tail = 0; }
};

// Marks n bytes consumed; an emptied queue is reset to head = tail = 0.
void io_consume(io_buffer& io, unsigned n);

}  // namespace vantrel
