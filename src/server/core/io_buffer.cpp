// The fixed byte queue's one operation.
#include "server/core/io_buffer.hpp"

#include <cassert>

namespace vantrel {

void io_consume(io_buffer& io, unsigned n) {
    assert(io.tail <= io.head && "io->tail <= io->head");
    assert(io.head <= sizeof(io.buf) && "io->head <= sizeof(io->buf)");
    io.tail += n;
    if (io.tail > io.head) io.tail = io.head;
    if (io.tail == io.head) io.head = io.tail = 0;
}

}  // namespace vantrel
