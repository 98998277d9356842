#include "server/fastcgi/reply_spool.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/core/temp_file.hpp"

namespace vantrel {

bool ReplySpool::append(const char* data, std::size_t n) {
    if (failed_ || n > room()) return false;
    // Once bytes wait in the file, newer ones go after them there.
    bool file_in_use = file_written_ > file_taken_;
    if (!file_in_use && memory_.size() - memory_taken_ + n <= kMemoryBytes) {
        // Taken bytes are dropped from the front now and then, so the memory
        // held stays near the bound even when the client never catches up.
        if (memory_taken_ >= kMemoryBytes / 2) {
            memory_.erase(0, memory_taken_);
            memory_taken_ = 0;
        }
        memory_.append(data, n);
        return true;
    }
    return append_to_file(data, n);
}

bool ReplySpool::append_to_file(const char* data, std::size_t n) {
    if (!file_.valid()) {
        file_.reset(open_unnamed_temp_file());
        if (!file_.valid()) return false;
    }
    for (std::size_t done = 0; done < n;) {
        ssize_t w = pwrite(file_.get(), data + done, n - done, static_cast<off_t>(file_written_ + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            // What was written beyond file_written_ is never read.
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    file_written_ += n;
    return true;
}

std::size_t ReplySpool::take(char* out, std::size_t max) {
    std::size_t given = 0;
    if (memory_taken_ < memory_.size()) {
        given = std::min(max, memory_.size() - memory_taken_);
        std::copy_n(memory_.data() + memory_taken_, given, out);
        memory_taken_ += given;
    }
    while (given < max && file_taken_ < file_written_) {
        std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(max - given, file_written_ - file_taken_));
        ssize_t r = pread(file_.get(), out + given, want, static_cast<off_t>(file_taken_));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            failed_ = true;
            break;
        }
        given += static_cast<std::size_t>(r);
        file_taken_ += static_cast<unsigned long long>(r);
    }
    reset_when_empty();
    return given;
}

// All taken: memory and file start again from their beginning, and the file's
// blocks are given back.
void ReplySpool::reset_when_empty() {
    if (memory_taken_ == memory_.size()) {
        memory_.clear();
        memory_taken_ = 0;
    }
    if (file_taken_ == file_written_ && file_written_ > 0 && memory_.empty()) {
        if (ftruncate(file_.get(), 0) != 0) file_.reset();
        file_written_ = file_taken_ = 0;
    }
}

}  // namespace vantrel
