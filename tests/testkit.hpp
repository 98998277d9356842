// Helpers shared by the tests: temporary folders, files, child programs, the real
// server on a free loopback port, raw HTTP over a socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <thread>
#include <map>
#include <string>
#include <vector>

namespace testkit {

std::string build_dir();   // where the programs were built
std::string source_dir();  // the source tree
std::string httpd_path();  // build_dir()/vantrel-httpd

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content);  // makes parent folders
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);

// Polls `condition` every 10 ms until it holds or `limit` has passed.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Children of a process (zombies included), from /proc.
std::vector<pid_t> children_of(pid_t pid);
bool process_exists(pid_t pid);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
// The php-cgi the PHP tests run.
constexpr const char* kPhpCgi = "/usr/bin/php-cgi";

// A blocking TCP connection to 127.0.0.1:port, or -1.
int connect_loopback(int port);
// Connects an existing socket (made earlier, or with options set first) to
// 127.0.0.1:port; false when that fails.
bool connect_to_loopback(int socket_fd, int port);
// Waits until something accepts on 127.0.0.1:port.
bool wait_for_port(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The IPv4 address (dotted) a socket listens on at `port`, from /proc/net/tcp;
// empty when nothing listens there.
std::string listening_address(int port);

struct CommandResult {
    int exit_code = -1;  // 128 + signal when killed by one
    std::string out;
    std::string err;
    bool timed_out = false;
};
// Runs a program (no shell) with optional standard input, bounded in time.
CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = "",
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

// The standalone server as a child process, stderr captured into a file. The
// server is expected to write nothing there: when it ends, every line of its
// stderr must contain one of the fragments given to expect_stderr, or the test fails.
class ServerProcess {
public:
    // Starts vantrel-httpd with `-p <port>` plus `args` (a free port is chosen
    // when port is 0) and waits until it accepts.
    explicit ServerProcess(std::vector<std::string> args, int port = 0);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool running() const;
    std::string url(const std::string& path = "/") const;
    std::string stderr_text() const;
    // Lines containing `fragment` are expected on stderr.
    void expect_stderr(const std::string& fragment) { expected_stderr_.push_back(fragment); }
    // Lines of stderr that no expected fragment covers.
    std::vector<std::string> unexpected_stderr() const;
    // Sends the signal and waits; returns the exit code (128 + signal if killed).
    int stop(int signal_number = 15);

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string stderr_path_;
    int exit_code_ = -1;
    std::vector<std::string> expected_stderr_;
};

// Sends the bytes (in pieces with pauses when `pieces` > 1), reads until the
// server closes or the limit passes.
std::string raw_request(int port, const std::string& request,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));

struct HttpReply {
    std::string status_line;
    int status = 0;
    std::map<std::string, std::string> headers;  // names lower-cased; last wins
    std::string body;  // chunks joined when the body was chunked
    // False when the body is shorter than its Content-Length or a chunked body
    // lacks its last chunk; a body ended by the close always counts as whole.
    bool whole = true;
};
HttpReply parse_reply(const std::string& raw);
// The length of the whole reply at the front of `bytes` (head and framed
// body; a reply to HEAD or a 1xx, 204 or 304 has no body), or npos while it is
// incomplete or ends only with the connection. `keeps`: whether the reply
// leaves the connection open.
std::size_t whole_reply_length(const std::string& bytes, bool head_request, bool* keeps = nullptr);

// One client connection that carries several requests.
class KeptConnection {
public:
    explicit KeptConnection(int port);
    ~KeptConnection();
    KeptConnection(const KeptConnection&) = delete;
    KeptConnection& operator=(const KeptConnection&) = delete;
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send_text(const std::string& bytes);
    // The next reply; status 0 when the server closed or `limit` passed before
    // any of it came. `raw`: its bytes as received.
    HttpReply next(bool head_request = false, std::chrono::milliseconds limit = std::chrono::seconds(10),
                   std::string* raw = nullptr);
    // True when the server closes the connection within `limit` with nothing more sent.
    bool closed_by_server(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    bool fill(std::chrono::steady_clock::time_point end);
    int fd_ = -1;
    bool closed_ = false;
    std::string pending_;
};
HttpReply http_get(int port, const std::string& path, const std::string& extra_headers = "");

// curl with the given arguments; the result's `out` is what curl wrote to stdout.
CommandResult curl(const std::vector<std::string>& args,
                   std::chrono::milliseconds limit = std::chrono::seconds(120));

}  // namespace testkit
