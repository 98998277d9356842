// Feeds arbitrary bytes as a FastCGI server's reply stream through the record
// reader, in pieces of sizes the input chooses, with the room the relay would
// have: content is handed on exactly once, never more output than there is
// room for, records of other request ids never reach the sink.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/fastcgi/fastcgi_record.hpp"

using namespace vantrel;

namespace {

struct Checked : FcgiRecordReader::Sink {
    std::size_t in_record = 0;
    std::size_t output = 0;  // FCGI_STDOUT content handed on
    void content(unsigned type, const char*, std::size_t length) override {
        in_record += length;
        if (type == FCGI_STDOUT) output += length;
        if (in_record > 0xffff) __builtin_trap();
    }
    void record_end(unsigned, std::size_t length) override {
        if (length != in_record) __builtin_trap();
        in_record = 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::size_t room = data[0] * 64u;  // what `local` has free for output
    const std::size_t piece = 1 + data[1] % 64u;
    const char* stream = reinterpret_cast<const char*>(data + 2);
    std::size_t left = size - 2;
    FcgiRecordReader reader;
    Checked sink;
    for (int rounds = 0; left > 0 && rounds < 100000; ++rounds) {
        std::size_t n = reader.safe_read_size(FCGI_STDOUT, room, piece);
        if (n > left) n = left;
        if (n == 0) break;  // waits for room: the relay stops here too
        std::size_t before = sink.output;
        reader.feed(stream, n, sink);
        if (sink.output - before > room) __builtin_trap();  // more output than `local` had room for
        stream += n;
        left -= n;
    }
    (void)reader.take_foreign_notice();
    if (reader.take_foreign_notice()) __builtin_trap();  // once only
    return 0;
}
