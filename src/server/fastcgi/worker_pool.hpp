// A pool of long-lived interpreter processes that answer FastCGI on private
// Unix-domain sockets: started once, each watched and restarted on its own,
// and stopped whole.
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
// A worker that ends this soon after its start counts as a failed start.
constexpr int kStartGraceMs = 5000;
// Failed starts in a row (of one worker) after which the server runs programs per request.
constexpr int kMaxStartFailures = 5;

struct WorkerPoolConfig {
    std::string interpreter;             // a path, or a name looked up in PATH
    std::vector<std::string> arguments;  // after the interpreter's name
    int workers = 1;                     // processes, each serving one request at a time
    // PHP_FCGI_MAX_REQUESTS: a worker ends after this many requests and is
    // started afresh, which bounds what a leaking script can hold. At a
    // thousand, busy workers were replaced several times a second, which cost
    // small pages about 15%.
    int max_requests = 10000;
    int first_backoff_ms = 100;          // doubled after every failed start
};

// Each worker is one interpreter process (it forks no children of its own) on
// a listening socket of its own, in a process group of its own, watched by a
// thread of its own that restarts it when it ends. The server hands each
// request to a free worker, so it knows which process runs which request and
// can stop that one alone.
class WorkerPool {
public:
    // Makes the private folder and the workers' sockets and starts every worker.
    // Returns nullptr (with a log line) when the interpreter cannot be started.
    static std::unique_ptr<WorkerPool> start(const WorkerPoolConfig& config);
    // Stops every worker's process group and returns once every member is
    // reaped; removes the sockets and their folder.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // False once a worker failed to start too often: requests then go to one
    // process each.
    bool serving() const { return serving_.load(); }
    int size() const { return static_cast<int>(workers_.size()); }

    // Server thread only: a worker with no request, now marked busy, or -1.
    int take_worker();
    // Server thread only: the request handed to `worker` is over.
    void give_back(int worker);
    const FcgiAddress& address(int worker) const { return workers_[static_cast<std::size_t>(worker)]->address; }
    // Kills the worker's process group at once (its request ran too long, and
    // a FastCGI responder cannot abandon a request); it is started afresh on
    // the same socket, so a request handed to it meanwhile waits for it.
    void stop_worker(int worker);

    // The running process of `worker` (it leads its process group), or -1.
    pid_t worker_pid(int worker) const;
    // Worker processes started so far (tests watch restarts with it).
    int starts() const { return starts_.load(); }
    const std::string& folder() const { return folder_; }

private:
    struct Worker {
        std::string socket_path;
        FcgiAddress address;
        UniqueFd listener;
        pid_t pid = -1;           // guarded by lock_
        bool stop_asked = false;  // guarded by lock_: ended on purpose, not a failed start
        bool busy = false;        // server thread only
        std::atomic<int> handed{0};  // requests handed to the running process
        std::thread supervisor;
    };

    WorkerPool() = default;
    bool make_folder();
    bool make_socket(Worker& w, int index);
    // Forks and execs a worker; -1 when the exec failed (errno in `exec_error`).
    pid_t spawn(Worker& w, int& exec_error);
    void supervise(Worker& w);
    // Blocks until the worker ends, reaping its group's orphans meanwhile;
    // returns the worker's wait status.
    int wait_for_worker(pid_t worker);
    void stop_group(pid_t group);
    bool wait_backoff(int ms);  // false when asked to stop meanwhile

    WorkerPoolConfig config_;
    std::string program_;                 // resolved interpreter path
    std::vector<std::string> env_;        // NAME=value
    std::string folder_;
    std::vector<std::unique_ptr<Worker>> workers_;
    UniqueFd dev_null_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    int first_results_ = 0;  // workers whose first start's outcome is known
    bool first_ok_ = true;
    std::atomic<bool> serving_{true};
    std::atomic<int> starts_{0};
};

}  // namespace vantrel
