// Owning handles for the descriptors and library objects the server keeps.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <openssl/ssl.h>

namespace vantrel {

// Owns a descriptor; -1 means none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ != -1; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ != -1) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using DirPtr = std::unique_ptr<DIR, DirClose>;
struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

}  // namespace vantrel
