// A pool of long-lived interpreter processes that answer FastCGI on a private
// Unix-domain socket: started once, watched, restarted, and stopped whole.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/handles.hpp"
#include "server/fastcgi/fastcgi_address.hpp"

namespace vantrel {

constexpr int kMaxCgiWorkers = 64;
// A manager that ends this soon after its start counts as a failed start.
constexpr int kStartGraceMs = 5000;
// Failed starts in a row after which the server runs programs per request.
constexpr int kMaxStartFailures = 5;

struct WorkerPoolConfig {
    std::string interpreter;             // a path, or a name looked up in PATH
    std::vector<std::string> arguments;  // after the interpreter's name
    int workers = 1;                     // PHP_FCGI_CHILDREN
    // PHP_FCGI_MAX_REQUESTS: a child is replaced after this many requests, which
    // bounds what a leaking script can hold. At a thousand, busy children were
    // replaced several times a second, which cost small pages about 15%.
    int max_requests = 10000;
    int first_backoff_ms = 100;          // doubled after every failed start
};

class WorkerPool {
public:
    // Makes the private folder and socket and starts the manager. Returns
    // nullptr (with a log line) when the interpreter cannot be started at all.
    static std::unique_ptr<WorkerPool> start(const WorkerPoolConfig& config);
    // Stops the pool's process group and returns once every member is reaped;
    // removes the socket and its folder.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    const FcgiAddress& address() const { return address_; }
    // False once the manager failed to start too often: requests then go to
    // one process each.
    bool serving() const { return serving_.load(); }
    // The running manager's process id (its process group), or -1.
    pid_t manager() const;
    // Managers started so far (tests watch restarts with it).
    int starts() const { return starts_.load(); }
    const std::string& folder() const { return folder_; }

private:
    WorkerPool() = default;
    bool make_socket();
    // Forks and execs the manager; -1 when the exec failed (errno in `exec_error`).
    pid_t spawn(int& exec_error);
    void supervise();
    // Blocks until the manager ends, reaping the pool's orphans meanwhile;
    // returns the manager's wait status.
    int wait_for_manager(pid_t manager);
    void stop_group(pid_t group);
    bool wait_backoff(int ms);  // false when asked to stop meanwhile

    WorkerPoolConfig config_;
    std::string program_;                 // resolved interpreter path
    std::vector<std::string> env_;        // NAME=value
    std::string folder_;
    std::string socket_path_;
    FcgiAddress address_;
    UniqueFd listener_;
    UniqueFd dev_null_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    pid_t manager_ = -1;
    bool stopping_ = false;
    bool first_result_ = false;  // the first start's outcome is known
    bool first_ok_ = false;
    std::atomic<bool> serving_{true};
    std::atomic<int> starts_{0};
    std::thread supervisor_;
};

}  // namespace vantrel
