// The worker pool's processes: a private socket, the manager started by fork and
// exec (so that it can be told to stop when the server dies), and a thread that
// restarts it when it dies and stops its whole process group at the end.
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

// Only the pool's two settings and what CGI programs get from the server's own
// environment: anything else would show up in every script's $_SERVER.
std::vector<std::string> pool_environment(const WorkerPoolConfig& config) {
    std::vector<std::string> env = {"PHP_FCGI_CHILDREN=" + std::to_string(config.workers),
                                    "PHP_FCGI_MAX_REQUESTS=" + std::to_string(config.max_requests)};
    for (const char* name : {"PATH", "COMSPEC", "SYSTEMROOT", "LD_LIBRARY_PATH", "PERLLIB"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    return env;
}

// The pool's private folder: <parent>/<prefix><server's process id>-<random>.
constexpr const char* kFolderParent = "/tmp";
constexpr const char* kFolderPrefix = "vantrel-fcgi-";
constexpr const char* kSocketName = "php.sock";

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
        unlink((folder + "/" + kSocketName).c_str());
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
    // The manager's SIGTERM handler stops its children; SIGKILL would orphan them.
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
    if (!pool->make_socket()) return nullptr;
    // Children of a manager that died (it does not wait for them) come to this
    // process, which reaps them by their process group.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The manager is forked by the thread that watches it: the parent-death
    // signal follows the thread that forked, which must live as long as the pool.
    pool->supervisor_ = std::thread([p = pool.get()] { p->supervise(); });
    std::unique_lock<std::mutex> held(pool->lock_);
    pool->changed_.wait(held, [&] { return pool->first_result_; });
    if (!pool->first_ok_) {
        held.unlock();
        return nullptr;  // the destructor joins the thread and removes the folder
    }
    return pool;
}

bool WorkerPool::make_socket() {
    remove_stale_folders();
    std::string tmpl = std::string(kFolderParent) + "/" + kFolderPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) {  // mode 0700
        server_log(LOG_ERROR, "worker pool: mkdtemp: %s", std::strerror(errno));
        return false;
    }
    folder_ = tmpl;
    socket_path_ = folder_ + "/" + kSocketName;
    if (!unix_address(socket_path_, address_)) return false;
    address_.text = "unix:" + socket_path_;
    listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_.valid() ||
        bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address_.addr), address_.length) != 0 ||
        listen(listener_.get(), SOMAXCONN) != 0) {
        server_log(LOG_ERROR, "worker pool: socket %s: %s", socket_path_.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

pid_t WorkerPool::spawn(int& exec_error) {
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
        exec_child(parent, listener_.get(), dev_null_.get(), pipe_write.get(), program_.c_str(), argv.data(),
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

int WorkerPool::wait_for_manager(pid_t manager) {
    // The manager's group is the pool. A process a script left running whose
    // parent ended comes to this process and keeps that group: it is reaped
    // here when it ends, not left a zombie until the pool stops.
    for (;;) {
        int status = 0;
        pid_t r = waitpid(-manager, &status, 0);
        if (r == manager) return status;
        if (r > 0) {
            server_log(LOG_DEBUG, "worker pool: reaped %d, left running by a script", static_cast<int>(r));
            continue;
        }
        if (errno == EINTR) continue;
        // No child in the group (cannot happen while the manager runs): wait by id.
        while (waitpid(manager, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }
}

void WorkerPool::stop_group(pid_t group) {
    // The manager is gone (reaped); its children are ours now and share its group.
    kill(-group, SIGTERM);
    // When the pool is stopping, the program that owns it is ending: a worker
    // that lingers (a script that ignores SIGTERM) is killed soon.
    bool stopping;
    {
        std::lock_guard<std::mutex> held(lock_);
        stopping = stopping_;
    }
    auto deadline = Clock::now() + (stopping ? std::chrono::milliseconds(250) : std::chrono::milliseconds(2000));
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

void WorkerPool::supervise() {
    int failures = 0;
    int backoff = config_.first_backoff_ms;
    for (;;) {
        int exec_error = 0;
        pid_t pid = -1;
        {
            std::lock_guard<std::mutex> held(lock_);
            if (stopping_) break;
            pid = spawn(exec_error);
            manager_ = pid;
            if (!first_result_) {
                first_result_ = true;
                first_ok_ = pid > 0;
            }
        }
        changed_.notify_all();
        if (pid < 0) {
            server_log(LOG_ERROR, "worker pool: cannot start %s: %s", program_.c_str(), std::strerror(exec_error));
            break;
        }
        starts_++;
        server_log(LOG_DEBUG, "worker pool: %s started as %d with %d workers", program_.c_str(),
                   static_cast<int>(pid), config_.workers);
        auto started = Clock::now();
        int status = wait_for_manager(pid);
        stop_group(pid);
        bool stopping;
        {
            std::lock_guard<std::mutex> held(lock_);
            manager_ = -1;
            stopping = stopping_;
        }
        changed_.notify_all();
        if (stopping) break;

        auto lived = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (lived >= kStartGraceMs) {
            failures = 0;
            backoff = config_.first_backoff_ms;
        }
        ++failures;
        if (failures >= kMaxStartFailures && lived < kStartGraceMs) {
            server_log(LOG_ERROR,
                       "worker pool: %s ended at start %d times in a row (is it a FastCGI responder?); "
                       "running one process per request instead",
                       program_.c_str(), failures);
            serving_ = false;
            // Requests still waiting in the socket's queue are refused, not left hanging.
            listener_.reset();
            break;
        }
        server_log(LOG_ERROR, "worker pool: manager %d ended (status %d); restarting in %d ms", static_cast<int>(pid),
                   status, backoff);
        if (!wait_backoff(backoff)) break;
        backoff = std::min(backoff * 2, 5000);
    }
}

pid_t WorkerPool::manager() const {
    std::lock_guard<std::mutex> held(lock_);
    return manager_;
}

WorkerPool::~WorkerPool() {
    pid_t running;
    {
        std::lock_guard<std::mutex> held(lock_);
        stopping_ = true;
        running = manager_;
        if (running > 0) kill(-running, SIGTERM);
    }
    changed_.notify_all();
    if (running > 0) {
        // A manager that ignores SIGTERM is killed after a while.
        std::unique_lock<std::mutex> held(lock_);
        if (!changed_.wait_for(held, std::chrono::seconds(3), [&] { return manager_ == -1; }))
            kill(-running, SIGKILL);
    }
    if (supervisor_.joinable()) supervisor_.join();
    listener_.reset();
    if (!socket_path_.empty()) unlink(socket_path_.c_str());
    if (!folder_.empty()) rmdir(folder_.c_str());
}

}  // namespace vantrel
