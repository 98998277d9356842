#include "testkit.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testkit {

std::string build_dir() { return VANTREL_BUILD_DIR; }
std::string source_dir() { return VANTREL_SOURCE_DIR; }
std::string httpd_path() { return build_dir() + "/vantrel-httpd"; }

TempDir::TempDir() {
    char pattern[] = "/tmp/vantrel-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

void write_file(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(task_dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(task_dir + "/" + e->d_name + "/children");
        pid_t child;
        while (in >> child) out.push_back(child);
    }
    closedir(d);
    return out;
}

bool process_exists(pid_t pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool connect_to_loopback(int socket_fd, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return connect(socket_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int connect_loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (!connect_to_loopback(s, port)) {
        close(s);
        return -1;
    }
    return s;
}

bool wait_for_port(int port, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int s = connect_loopback(port);
        if (s >= 0) {
            close(s);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input,
                          std::chrono::milliseconds limit) {
    CommandResult result;
    TempDir tmp;
    std::string in_path = tmp / "in", out_path = tmp / "out", err_path = tmp / "err";
    write_file(in_path, input);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

ServerProcess::ServerProcess(std::vector<std::string> args, int port) {
    port_ = port ? port : free_port();
    char pattern[] = "/tmp/vantrel-httpd-err-XXXXXX";
    int efd = mkstemp(pattern);
    stderr_path_ = pattern;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(efd, 2);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        std::vector<std::string> full{httpd_path(), "-p", std::to_string(port_)};
        full.insert(full.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : full) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(efd);
    if (!wait_for_port(port_)) {
        stop(SIGKILL);
        throw std::runtime_error("server did not start: " + stderr_text());
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) stop(SIGKILL);
    for (const auto& line : unexpected_stderr()) ADD_FAILURE() << "the server wrote to stderr: " << line;
    unlink(stderr_path_.c_str());
}

std::vector<std::string> ServerProcess::unexpected_stderr() const {
    std::vector<std::string> unexpected;
    std::istringstream lines(stderr_text());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        bool expected = false;
        for (const auto& fragment : expected_stderr_) expected = expected || line.find(fragment) != std::string::npos;
        if (!expected) unexpected.push_back(line);
    }
    return unexpected;
}

bool ServerProcess::running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

std::string ServerProcess::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ServerProcess::stderr_text() const { return read_file(stderr_path_); }

int ServerProcess::stop(int signal_number) {
    if (pid_ <= 0) return exit_code_;
    kill(pid_, signal_number);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
}

namespace {

bool lower_has(std::string text, const std::string& needle) {
    for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text.find(needle) != std::string::npos;
}

// The end of a chunked body that starts at `p`, or npos while it is incomplete.
std::size_t chunked_end(const std::string& bytes, std::size_t p) {
    for (;;) {
        std::size_t eol = bytes.find("\r\n", p);
        if (eol == std::string::npos) return std::string::npos;
        std::size_t size = 0;
        try {
            size = std::stoul(bytes.substr(p, eol - p), nullptr, 16);
        } catch (...) {
            return std::string::npos;
        }
        if (size == 0) {
            std::size_t end = bytes.find("\r\n\r\n", eol);  // trailers, then a blank line
            return end == std::string::npos ? end : end + 4;
        }
        p = eol + 2 + size + 2;
        if (p > bytes.size()) return std::string::npos;
    }
}

bool ends_bodiless(const std::string& head, bool head_request) {
    int status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
    return head_request || status / 100 == 1 || status == 204 || status == 304;
}

}  // namespace

std::size_t whole_reply_length(const std::string& bytes, bool head_request, bool* keeps) {
    std::size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) return std::string::npos;
    std::size_t body_at = blank + 4;
    std::string head = bytes.substr(0, body_at);
    HttpReply fields = parse_reply(head);
    if (keeps) *keeps = !lower_has(head, "\nconnection: close");
    if (ends_bodiless(head, head_request)) return body_at;
    auto coding = fields.headers.find("transfer-encoding");
    if (coding != fields.headers.end() && coding->second == "chunked") return chunked_end(bytes, body_at);
    auto length = fields.headers.find("content-length");
    if (length == fields.headers.end()) {
        if (keeps) *keeps = false;  // the body ends with the connection
        return std::string::npos;
    }
    std::size_t end = body_at + std::stoul(length->second);
    return end <= bytes.size() ? end : std::string::npos;
}

namespace {

// Whether `out` holds a whole reply for every request in `request` and the
// last one leaves the connection open: nothing more will come before the
// server's idle time-out.
bool every_reply_in(const std::string& request, const std::string& out) {
    std::size_t requests = 0;
    for (std::size_t p = 0; (p = request.find(" HTTP/1.", p)) != std::string::npos; ++p) ++requests;
    bool head_request = request.rfind("HEAD ", 0) == 0;
    std::size_t at = 0;
    bool keeps = false;
    for (std::size_t i = 0; i < requests; ++i) {
        std::size_t n = whole_reply_length(out.substr(at), head_request && requests == 1, &keeps);
        if (n == std::string::npos) return false;
        at += n;
    }
    return requests > 0 && keeps && at == out.size();
}

}  // namespace

std::string raw_request(int port, const std::string& request, std::chrono::milliseconds limit) {
    int s = connect_loopback(port);
    if (s < 0) return {};
    std::size_t off = 0;
    while (off < request.size()) {
        ssize_t n = send(s, request.data() + off, request.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
    }
    std::string out;
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = read(s, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (every_reply_in(request, out)) break;  // a kept connection: the answer is complete
    }
    close(s);
    return out;
}

KeptConnection::KeptConnection(int port) : fd_(connect_loopback(port)) {}

KeptConnection::~KeptConnection() {
    if (fd_ >= 0) close(fd_);
}

bool KeptConnection::send_text(const std::string& bytes) {
    std::size_t off = 0;
    while (fd_ >= 0 && off < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool KeptConnection::fill(std::chrono::steady_clock::time_point end) {
    char buf[65536];
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

HttpReply KeptConnection::next(bool head_request, std::chrono::milliseconds limit, std::string* raw) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::size_t n = whole_reply_length(pending_, head_request);
        if (n != std::string::npos) {
            std::string bytes = pending_.substr(0, n);
            pending_.erase(0, n);
            if (raw) *raw = bytes;
            return head_request ? parse_reply(bytes.substr(0, bytes.find("\r\n\r\n") + 4)) : parse_reply(bytes);
        }
        if (!fill(end)) break;
    }
    // Closed (or out of time) first: what came, as it came.
    if (raw) *raw = pending_;
    HttpReply r = pending_.empty() ? HttpReply{} : parse_reply(pending_);
    pending_.clear();
    return r;
}

bool KeptConnection::closed_by_server(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!closed_ && fill(end)) {
    }
    return closed_ && pending_.empty();
}

namespace {

// The bytes of a chunked body; `whole` tells whether its last chunk came.
std::string join_chunks(const std::string& chunked, bool& whole) {
    std::string out;
    whole = false;
    std::size_t p = 0;
    while (p < chunked.size()) {
        std::size_t eol = chunked.find("\r\n", p);
        if (eol == std::string::npos) break;
        std::size_t size = std::stoul(chunked.substr(p, eol - p), nullptr, 16);
        if (size == 0) {
            whole = chunked.compare(eol, 4, "\r\n\r\n") == 0;
            break;
        }
        if (eol + 2 + size + 2 > chunked.size()) {
            out.append(chunked, eol + 2, std::string::npos);  // cut inside this chunk
            break;
        }
        out.append(chunked, eol + 2, size);
        p = eol + 2 + size + 2;
    }
    return out;
}

}  // namespace

HttpReply parse_reply(const std::string& raw) {
    HttpReply r;
    std::size_t end = raw.find("\r\n\r\n");
    std::size_t body_at = end == std::string::npos ? raw.size() : end + 4;
    std::string head = raw.substr(0, end == std::string::npos ? raw.size() : end);
    std::istringstream lines(head);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            r.status_line = line;
            if (line.size() > 12) r.status = std::atoi(line.c_str() + 9);
            first = false;
            continue;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        r.headers[name] = value;
    }
    r.body = raw.substr(body_at);
    auto coding = r.headers.find("transfer-encoding");
    if (coding != r.headers.end() && coding->second == "chunked") {
        r.body = join_chunks(r.body, r.whole);
    } else if (r.headers.count("content-length")) {
        r.whole = r.body.size() == std::stoul(r.headers["content-length"]);
    }
    return r;
}

HttpReply http_get(int port, const std::string& path, const std::string& extra_headers) {
    return parse_reply(raw_request(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_headers + "\r\n"));
}

CommandResult curl(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    std::vector<std::string> argv{"curl", "-s", "--noproxy", "*"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, "", limit);
}

}  // namespace testkit

namespace testkit {

std::string listening_address(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column names
    while (std::getline(table, line)) {
        unsigned slot = 0, address = 0, local_port = 0, remote = 0, remote_port = 0, state = 0;
        if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &address, &local_port, &remote, &remote_port,
                        &state) != 6)
            continue;
        if (state != 0x0A || static_cast<int>(local_port) != port) continue;  // 0A: LISTEN
        // The kernel prints the address in host order of the raw bytes (little-endian here).
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                      (address >> 24) & 0xFF);
        return text;
    }
    return {};
}

}  // namespace testkit
