// A program's error output, line by line, into the server log and the request's record.
#include "server/cgi/program_errors.hpp"

#include <unistd.h>

#include <cerrno>

#include "server/config/context.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"

namespace vantrel {

void ProgramErrors::line(const char* text, std::size_t length, bool keep) {
    server_log(LOG_ERROR, "%.*s", static_cast<int>(length), text);
    if (!keep || full_) return;
    if (kept_.size() + length + 1 > kKeptMax) {
        full_ = true;
        return;
    }
    kept_.append(text, length).push_back('\n');
}

void ProgramErrors::take(const char* data, std::size_t length, bool keep) {
    partial_.append(data, length);
    std::size_t start = 0, nl;
    while ((nl = partial_.find('\n', start)) != std::string::npos) {
        line(partial_.data() + start, nl - start, keep);
        start = nl + 1;
    }
    partial_.erase(0, start);
    if (partial_.size() > kLinePieceMax) {
        line(partial_.data(), partial_.size(), keep);
        partial_.clear();
    }
}

void ProgramErrors::finish(bool keep) {
    if (partial_.empty()) return;
    line(partial_.data(), partial_.size(), keep);
    partial_.clear();
}

void ProgramErrors::clear() {
    partial_.clear();
    kept_.clear();
    full_ = false;
}

void read_program_errors(connection& c) {
    if (!c.err_fd.valid()) return;
    bool keep = c.ctx && c.ctx->observer != nullptr;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(c.err_fd.get(), buf, sizeof buf);
        if (n > 0) {
            c.program_errors.take(buf, static_cast<std::size_t>(n), keep);
            continue;
        }
        if (n < 0 && try_again(errno)) return;
        c.program_errors.finish(keep);
        c.err_fd.reset();
        return;
    }
}

}  // namespace vantrel
