// The worker pool's processes: a private socket per worker, each worker started
// by fork and exec (so that it can be told to stop when the server dies), and a
// thread per worker that restarts it when it ends and stops its whole process
// group at the end.
#include "server/fastcgi/worker_pool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/fastcgi/fastcgi_address.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

// A name without "/" is looked up in PATH; a relative path is made absolute.
std::string resolve_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (name[0] == '/') return name;
        char cwd[kPathSize];
        return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : name;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return name;  // exec reports it missing
}

// Only the pool's setting and what CGI programs get from the server's own
// environment: anything else would show up in every script's $_SERVER. Without
// PHP_FCGI_CHILDREN the interpreter serves its requests itself, one at a time.
std::vector<std::string> pool_environment(const WorkerPoolConfig& config) {
    std::vector<std::string> env = {"PHP_FCGI_MAX_REQUESTS=" + std::to_string(config.max_requests)};
    for (const char* name : {"PATH", "COMSPEC", "SYSTEMROOT", "LD_LIBRARY_PATH", "PERLLIB"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    return env;
}

// The pool's private folder: <parent>/<prefix><server's process id>-<random>.
constexpr const char* kFolderParent = "/tmp";
constexpr const char* kFolderPrefix = "vantrel-fcgi-";
// Worker i listens on <folder>/php-<i>.sock.
constexpr const char* kSocketPrefix = "php-";
constexpr const char* kSocketSuffix = ".sock";
// A stopping pool gives its workers this long to end on SIGTERM, then kills them.
constexpr auto kStopGrace = std::chrono::milliseconds(250);

bool is_socket_name(const char* name) {
    std::size_t n = std::strlen(name), p = std::strlen(kSocketPrefix), x = std::strlen(kSocketSuffix);
    return n > p + x && std::strncmp(name, kSocketPrefix, p) == 0 && std::strcmp(name + n - x, kSocketSuffix) == 0;
}

// Removes the workers' sockets from a pool's folder.
void remove_sockets(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir))
        if (is_socket_name(entry->d_name)) unlink((folder + "/" + entry->d_name).c_str());
    closedir(dir);
}

// A server killed outright cannot remove its folder; the next pool removes the
// folders (and sockets) of this user's servers that no longer run.
void remove_stale_folders() {
    DIR* dir = opendir(kFolderParent);
    if (!dir) return;
    const std::size_t prefix_length = std::strlen(kFolderPrefix);
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, kFolderPrefix, prefix_length) != 0) continue;
        char* end = nullptr;
        long pid = std::strtol(entry->d_name + prefix_length, &end, 10);
        if (pid <= 0 || *end != '-') continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // still running
        std::string folder = std::string(kFolderParent) + "/" + entry->d_name;
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
        remove_sockets(folder);
        if (rmdir(folder.c_str()) == 0) server_log(LOG_DEBUG, "worker pool: removed %s", folder.c_str());
    }
    closedir(dir);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Between fork and exec only async-signal-safe calls: the server may run threads.
[[noreturn]] void exec_child(pid_t parent, int listener, int dev_null, int error_pipe, const char* program,
                             char* const argv[], char* const envp[]) {
    // Between requests the worker ends on SIGTERM; a script that runs on is
    // killed with its group when the pool stops.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the server is already gone
    setpgid(0, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // Standard input: the listening socket; output: nowhere; error: the log.
    int fd2 = fcntl(2, F_GETFD);
    bool log_usable = fd2 != -1 && (fd2 & FD_CLOEXEC) == 0;
    if (listener == 0) {
        fcntl(0, F_SETFD, 0);
    } else if (dup2(listener, 0) != 0) {
        _exit(127);
    }
    dup2(dev_null, 1);
    if (!log_usable) dup2(dev_null, 2);
    // Nothing else reaches the interpreter but the pipe that reports a failed exec.
    if (error_pipe > 3) {
        syscall(SYS_close_range, 3u, static_cast<unsigned>(error_pipe - 1), 0u);
    }
    syscall(SYS_close_range, static_cast<unsigned>(error_pipe + 1), ~0u, 0u);
    execve(program, argv, envp);
    int err = errno;
    ssize_t ignored = write(error_pipe, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

}  // namespace

std::unique_ptr<WorkerPool> WorkerPool::start(const WorkerPoolConfig& config) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool());
    pool->config_ = config;
    pool->program_ = resolve_program(config.interpreter);
    pool->env_ = pool_environment(config);
    pool->dev_null_.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!pool->make_folder()) return nullptr;
    int count = std::max(1, config.workers);
    for (int i = 0; i < count; ++i) {
        pool->workers_.push_back(std::make_unique<Worker>());
        if (!pool->make_socket(*pool->workers_.back(), i)) return nullptr;
    }
    // Orphans of a worker (processes its scripts left running) come to this
    // process, which reaps them by the worker's process group.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Each worker is forked by the thread that watches it: the parent-death
    // signal follows the thread that forked, which must live as long as the pool.
    for (auto& w : pool->workers_) {
        Worker* raw = w.get();
        raw->supervisor = std::thread([p = pool.get(), raw] { p->supervise(*raw); });
    }
    std::unique_lock<std::mutex> held(pool->lock_);
    pool->changed_.wait(held, [&] { return pool->first_results_ == count; });
    if (!pool->first_ok_) {
        held.unlock();
        return nullptr;  // the destructor joins the threads and removes the folder
    }
    return pool;
}

bool WorkerPool::make_folder() {
    remove_stale_folders();
    std::string tmpl = std::string(kFolderParent) + "/" + kFolderPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) {  // mode 0700
        server_log(LOG_ERROR, "worker pool: mkdtemp: %s", std::strerror(errno));
        return false;
    }
    folder_ = tmpl;
    return true;
}

bool WorkerPool::make_socket(Worker& w, int index) {
    w.socket_path = folder_ + "/" + kSocketPrefix + std::to_string(index) + kSocketSuffix;
    if (!unix_address(w.socket_path, w.address)) return false;
    w.address.text = "unix:" + w.socket_path;
    w.listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!w.listener.valid() ||
        bind(w.listener.get(), reinterpret_cast<const sockaddr*>(&w.address.addr), w.address.length) != 0 ||
        listen(w.listener.get(), SOMAXCONN) != 0) {
        server_log(LOG_ERROR, "worker pool: socket %s: %s", w.socket_path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

pid_t WorkerPool::spawn(Worker& w, int& exec_error) {
    exec_error = 0;
    std::vector<std::string> args = {program_};
    args.insert(args.end(), config_.arguments.begin(), config_.arguments.end());
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env_);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        exec_error = errno;
        return -1;
    }
    UniqueFd pipe_read(pipe_fds[0]), pipe_write(pipe_fds[1]);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        exec_child(parent, w.listener.get(), dev_null_.get(), pipe_write.get(), program_.c_str(), argv.data(),
                   envp.data());
    if (pid < 0) {
        exec_error = errno;
        return -1;
    }
    setpgid(pid, pid);  // also done by the child: whichever runs first
    pipe_write.reset();
    int err = 0;
    ssize_t n;
    do n = read(pipe_read.get(), &err, sizeof err);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof err)) {
        waitpid(pid, nullptr, 0);
        exec_error = err;
        return -1;
    }
    return pid;
}

int WorkerPool::wait_for_worker(pid_t worker) {
    // The worker's group is its own. A process a script left running whose
    // parent ended comes to this process and keeps that group: it is reaped
    // here when it ends, not left a zombie until the pool stops.
    for (;;) {
        int status = 0;
        pid_t r = waitpid(-worker, &status, 0);
        if (r == worker) return status;
        if (r > 0) {
            server_log(LOG_DEBUG, "worker pool: reaped %d, left running by a script", static_cast<int>(r));
            continue;
        }
        if (errno == EINTR) continue;
        // No child in the group (cannot happen while the worker runs): wait by id.
        while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }
}

void WorkerPool::stop_group(pid_t group) {
    // The worker is gone (reaped); what its scripts left running shares its group.
    kill(-group, SIGTERM);
    // When the pool is stopping, the program that owns it is ending: a process
    // that lingers (a script that ignores SIGTERM) is killed soon.
    bool stopping;
    {
        std::lock_guard<std::mutex> held(lock_);
        stopping = stopping_;
    }
    auto deadline = Clock::now() + (stopping ? kStopGrace : std::chrono::milliseconds(2000));
    bool killed = false;
    for (;;) {
        int status;
        pid_t r = waitpid(-group, &status, WNOHANG);
        if (r > 0) continue;
        if (r < 0 && errno == EINTR) continue;
        // No child of ours is left in the group; members not yet handed over
        // (or not ours) still answer a signal probe.
        if (r < 0 && kill(-group, 0) != 0) return;
        if (Clock::now() > deadline) {
            if (killed) {
                server_log(LOG_ERROR, "worker pool: process group %d does not end", static_cast<int>(group));
                return;
            }
            kill(-group, SIGKILL);
            killed = true;
            deadline = Clock::now() + std::chrono::seconds(2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WorkerPool::wait_backoff(int ms) {
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait_for(held, std::chrono::milliseconds(ms), [&] { return stopping_; });
    return !stopping_;
}

void WorkerPool::supervise(Worker& w) {
    int failures = 0;
    int backoff = config_.first_backoff_ms;
    bool first = true;
    for (;;) {
        int exec_error = 0;
        pid_t pid = -1;
        {
            std::lock_guard<std::mutex> held(lock_);
            if (stopping_) {
                if (first) ++first_results_;
                changed_.notify_all();
                break;
            }
            pid = spawn(w, exec_error);
            w.pid = pid;
            w.stop_asked = false;
            w.handed = 0;
            if (first) {
                ++first_results_;
                if (pid <= 0) first_ok_ = false;
                first = false;
            }
        }
        changed_.notify_all();
        if (pid < 0) {
            server_log(LOG_ERROR, "worker pool: cannot start %s: %s", program_.c_str(), std::strerror(exec_error));
            break;
        }
        starts_++;
        server_log(LOG_DEBUG, "worker pool: %s started as %d on %s", program_.c_str(), static_cast<int>(pid),
                   w.socket_path.c_str());
        auto started = Clock::now();
        int status = wait_for_worker(pid);
        stop_group(pid);
        bool stopping, asked;
        {
            std::lock_guard<std::mutex> held(lock_);
            w.pid = -1;
            stopping = stopping_;
            asked = w.stop_asked;
        }
        changed_.notify_all();
        if (stopping) break;
        if (asked) {
            // Stopped by the server: started afresh at once, no failed start.
            server_log(LOG_DEBUG, "worker pool: worker %d stopped; restarting", static_cast<int>(pid));
            continue;
        }

        auto lived = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (lived >= kStartGraceMs) {
            failures = 0;
            backoff = config_.first_backoff_ms;
        }
        // A worker that served its PHP_FCGI_MAX_REQUESTS ends on its own, as
        // soon after its start as its requests came. The count may miss one:
        // a request handed on while the worker was being started afresh.
        bool served_its_time =
            WIFEXITED(status) && WEXITSTATUS(status) == 0 && w.handed >= config_.max_requests - 1;
        if (served_its_time) {
            server_log(LOG_DEBUG, "worker pool: worker %d served its requests; restarting", static_cast<int>(pid));
            failures = 0;
            backoff = config_.first_backoff_ms;
            continue;
        }
        ++failures;
        if (failures >= kMaxStartFailures && lived < kStartGraceMs) {
            server_log(LOG_ERROR,
                       "worker pool: %s ended at start %d times in a row (is it a FastCGI responder?); "
                       "running one process per request instead",
                       program_.c_str(), failures);
            serving_ = false;
            // Requests still waiting in the socket's queue are refused, not left hanging.
            w.listener.reset();
            break;
        }
        server_log(LOG_ERROR, "worker pool: worker %d ended (status %d); restarting in %d ms", static_cast<int>(pid),
                   status, backoff);
        if (!wait_backoff(backoff)) break;
        backoff = std::min(backoff * 2, 5000);
    }
}

int WorkerPool::take_worker() {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (workers_[i]->busy) continue;
        workers_[i]->busy = true;
        workers_[i]->handed++;
        return static_cast<int>(i);
    }
    return -1;
}

void WorkerPool::give_back(int worker) {
    if (worker >= 0 && worker < size()) workers_[static_cast<std::size_t>(worker)]->busy = false;
}

void WorkerPool::stop_worker(int worker) {
    if (worker < 0 || worker >= size()) return;
    std::lock_guard<std::mutex> held(lock_);
    Worker& w = *workers_[static_cast<std::size_t>(worker)];
    if (w.pid <= 0) return;
    w.stop_asked = true;
    // Not yet reaped, so the id still names this worker's group.
    kill(-w.pid, SIGKILL);
}

pid_t WorkerPool::worker_pid(int worker) const {
    if (worker < 0 || worker >= size()) return -1;
    std::lock_guard<std::mutex> held(lock_);
    return workers_[static_cast<std::size_t>(worker)]->pid;
}

WorkerPool::~WorkerPool() {
    auto none_running = [&] {
        for (const auto& w : workers_)
            if (w->pid > 0) return false;
        return true;
    };
    auto signal_all = [&](int sig) {
        for (const auto& w : workers_)
            if (w->pid > 0) kill(-w->pid, sig);
    };
    {
        std::unique_lock<std::mutex> held(lock_);
        stopping_ = true;
        signal_all(SIGTERM);
        changed_.notify_all();
        // A worker busy with a script does not end on SIGTERM: it is killed soon.
        if (!changed_.wait_for(held, kStopGrace, none_running)) signal_all(SIGKILL);
    }
    changed_.notify_all();
    for (auto& w : workers_)
        if (w->supervisor.joinable()) w->supervisor.join();
    for (auto& w : workers_) {
        w->listener.reset();
        if (!w->socket_path.empty()) unlink(w->socket_path.c_str());
    }
    if (!folder_.empty()) rmdir(folder_.c_str());
}

}  // namespace vantrel
