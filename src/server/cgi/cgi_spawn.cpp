// Starting a CGI program (no shell) on a socket pair, and reaping it afterwards.
#include "server/cgi/cgi_spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/engine.hpp"

namespace vantrel {

namespace {

// The kernel reads this much of a script to find its "#!" line.
constexpr std::size_t kInterpreterLineSize = 256;

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

// The "#!" line of a script split as the kernel splits it: the interpreter, then
// everything after the following blanks as one optional argument. Empty when the
// script has no such line or cannot be read.
std::vector<std::string> interpreter_line(const char* script) {
    int fd = ::open(script, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[kInterpreterLineSize];
    ssize_t n;
    do n = ::read(fd, buf, sizeof buf - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 2 || buf[0] != '#' || buf[1] != '!') return {};
    const char* begin = buf + 2;
    const char* end = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(n - 2)));
    if (!end) end = buf + n;
    // Trailing white space, a CR from a line written with CR LF included.
    while (end > begin && (is_blank(end[-1]) || end[-1] == '\r' || end[-1] == '\0')) --end;
    while (begin < end && is_blank(*begin)) ++begin;
    const char* name_end = begin;
    while (name_end < end && !is_blank(*name_end)) ++name_end;
    if (name_end == begin) return {};
    std::vector<std::string> words{std::string(begin, name_end)};
    const char* arg = name_end;
    while (arg < end && is_blank(*arg)) ++arg;
    if (arg < end) words.emplace_back(arg, end);
    return words;
}

}  // namespace

bool cgi_command(const std::string& interpreter, const char* script, CgiCommand& out,
                 const std::vector<std::string>& arguments) {
    std::size_t len = std::strlen(script);
    if (len == 0 || len >= kPathSize) {
        server_log(LOG_ERROR, "cgi_command: script path of %zu characters refused", len);
        return false;
    }
    const char* slash = std::strrchr(script, '/');
    if (!slash)
        out.workdir = ".";
    else if (slash == script)
        out.workdir = "/";
    else
        out.workdir.assign(script, slash);

    out.argv.clear();
    if (!interpreter.empty()) {
        out.argv = {interpreter};
        out.argv.insert(out.argv.end(), arguments.begin(), arguments.end());
        out.argv.emplace_back(script);
    } else {
        out.argv = interpreter_line(script);
        out.argv.emplace_back(script);
    }
    out.search_path = out.argv[0].find('/') == std::string::npos;
    return true;
}

namespace {

// What posix_spawn does in the child, owned for the length of one start.
class SpawnPlan {
public:
    SpawnPlan(int far, int error_fd, const std::string& workdir, int input_fd) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attr_);
        // Standard input and output: the far end. Standard error: the pipe the
        // server reads when it captures it, else the server's own log stream, or
        // /dev/null when descriptor 2 is not a plain inherited stream (then it is
        // one of the server's close-on-exec descriptors, or closed).
        // A body kept in a file is read from that file instead.
        posix_spawn_file_actions_adddup2(&actions_, input_fd >= 0 ? input_fd : far, 0);
        posix_spawn_file_actions_adddup2(&actions_, far, 1);
        int fd2 = ::fcntl(2, F_GETFD);
        if (error_fd >= 0)
            posix_spawn_file_actions_adddup2(&actions_, error_fd, 2);
        else if (fd2 == -1 || (fd2 & FD_CLOEXEC) != 0)
            posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
        // Nothing else reaches the program, whatever a library may have left open.
        posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        posix_spawn_file_actions_addchdir_np(&actions_, workdir.c_str());

        // Default signal handling, nothing blocked, and a process group of its
        // own, so that stopping it reaches whatever it started.
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr_, &all);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setpgroup(&attr_, 0);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnPlan() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    // 0 or the error number; posix_spawn reports a failed chdir or exec this way.
    int start(const CgiCommand& command, char* const envp[], pid_t& pid) const {
        std::vector<char*> argv;
        argv.reserve(command.argv.size() + 1);
        for (const std::string& a : command.argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        return command.search_path ? posix_spawnp(&pid, argv[0], &actions_, &attr_, argv.data(), envp)
                                   : posix_spawn(&pid, argv[0], &actions_, &attr_, argv.data(), envp);
    }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
};

}  // namespace

pid_t cgi_spawn(const CgiCommand& command, char* const envp[], UniqueFd& near_fd, UniqueFd* error_fd,
                int input_fd) {
    if (command.argv.empty()) return -1;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        server_log(LOG_ERROR, "cgi_spawn: socketpair: %s", std::strerror(errno));
        return -1;
    }
    UniqueFd near(sv[0]), far(sv[1]);
    if (!set_nonblocking(near.get())) {
        server_log(LOG_ERROR, "cgi_spawn: nonblock: %s", std::strerror(errno));
        return -1;
    }
    UniqueFd error_read, error_write;
    if (error_fd) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) {
            server_log(LOG_ERROR, "cgi_spawn: pipe: %s", std::strerror(errno));
            return -1;
        }
        error_read.reset(p[0]);
        error_write.reset(p[1]);
        // Only the server's end: the program's writes may block like on any stderr.
        set_nonblocking(error_read.get());
    }
    pid_t pid = -1;
    int rc = SpawnPlan(far.get(), error_write.get(), command.workdir, input_fd).start(command, envp, pid);
    const char* program = command.argv[0].c_str();
    if (rc != 0) {
        server_log(LOG_ERROR, "cgi_spawn: %s (in %s): %s", program, command.workdir.c_str(), std::strerror(rc));
        return -1;
    }
    server_log(LOG_DEBUG, "cgi_spawn: %s: pid %d", program, static_cast<int>(pid));
    near_fd = std::move(near);
    if (error_fd) *error_fd = std::move(error_read);
    return pid;  // `far` and the pipe's write end close here: only the program holds them now
}

// --- reaping ---

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a program asked to end may take before it is killed.
constexpr auto kTerminateGrace = std::chrono::milliseconds(500);

// A program asked to end: killed with its group at `kill_at` unless it has
// ended (and its group with it) by then.
struct Stopping {
    pid_t pid;
    SteadyClock::time_point kill_at;
};

struct Reaper {
    std::mutex lock;
    std::condition_variable wake;
    std::vector<pid_t> pending;
    std::vector<Stopping> stopping;  // ids among `pending` not yet killed
    bool fresh = false;    // ids were added since the last pass
    bool started = false;  // the background thread runs
};

// Never destroyed: the detached thread may still wait on it at process exit.
Reaper& reaper() {
    static Reaper* r = new Reaper;
    return *r;
}

// True when `pid` has been reaped now or is no child of ours any more.
bool reap_now(pid_t pid) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, WNOHANG);
    while (r == -1 && errno == EINTR);
    if (r == pid) {
        server_log(LOG_DEBUG, "cgi_reap: %d ended with status %d", static_cast<int>(pid), status);
        return true;
    }
    return r == -1;
}

// Whether `pid` has ended; it is not reaped, so its id still names its group.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    int r;
    do r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (r == -1 && errno == EINTR);
    return r == -1 || info.si_pid == pid;
}

// Programs asked to end: one whose time is up, or that has ended while others
// of its group may still run, has its group killed before it is reaped.
void kill_stopping(Reaper& r) {
    auto now = SteadyClock::now();
    std::erase_if(r.stopping, [&](const Stopping& s) {
        if (now < s.kill_at && !has_ended(s.pid)) return false;
        if (::kill(-s.pid, SIGKILL) != 0) ::kill(s.pid, SIGKILL);
        return true;
    });
}

// Passes over the pending ids, often at first and then less often while some
// program is still running; sleeps while the list is empty.
void reaper_loop() {
    Reaper& r = reaper();
    std::unique_lock<std::mutex> held(r.lock);
    auto delay = std::chrono::milliseconds(2);
    for (;;) {
        if (r.pending.empty()) {
            r.wake.wait(held, [&] { return !r.pending.empty(); });
        } else {
            auto wait = delay;
            for (const Stopping& s : r.stopping)
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(s.kill_at - SteadyClock::now()));
            r.wake.wait_for(held, std::max(wait, std::chrono::milliseconds(1)));
        }
        if (r.fresh) {
            delay = std::chrono::milliseconds(2);
            r.fresh = false;
        } else {
            delay = std::min(delay * 2, std::chrono::milliseconds(1000));
        }
        kill_stopping(r);
        // One still to be killed keeps its id (and so its group's) until then.
        std::erase_if(r.pending, [&](pid_t pid) {
            bool waiting = std::any_of(r.stopping.begin(), r.stopping.end(),
                                       [&](const Stopping& s) { return s.pid == pid; });
            return !waiting && reap_now(pid);
        });
    }
}

// Starts the reaping thread the first time it is needed (the caller holds
// r.lock); false when no thread can be started.
bool start_reaper_thread(Reaper& r) {
    if (r.started) return true;
    try {
        std::thread(reaper_loop).detach();
        r.started = true;
        return true;
    } catch (const std::system_error& e) {
        server_log(LOG_ERROR, "cgi_reap: cannot start the reaping thread: %s", e.what());
        return false;
    }
}

}  // namespace

void cgi_reap(pid_t pid) {
    if (pid <= 0) return;
    bool done = reap_now(pid);
    Reaper& r = reaper();
    std::lock_guard<std::mutex> held(r.lock);
    // Without the background thread the list is passed over here instead.
    if (!r.started) std::erase_if(r.pending, reap_now);
    if (done) return;
    r.pending.push_back(pid);
    r.fresh = true;
    if (!start_reaper_thread(r)) return;
    r.wake.notify_one();
}

void cgi_terminate(pid_t pid) {
    if (pid <= 0) return;
    // The program leads its own process group (see cgi_spawn).
    if (::kill(-pid, SIGTERM) != 0) ::kill(pid, SIGTERM);
    Reaper& r = reaper();
    std::unique_lock<std::mutex> held(r.lock);
    // Not reaped here even when it has ended already: its group is killed first.
    r.stopping.push_back({pid, SteadyClock::now() + kTerminateGrace});
    r.pending.push_back(pid);
    r.fresh = true;
    if (!start_reaper_thread(r)) {
        // Without the thread it is killed and reaped now.
        std::erase_if(r.stopping, [&](const Stopping& s) { return s.pid == pid; });
        std::erase(r.pending, pid);
        held.unlock();
        cgi_kill(pid);
        cgi_wait(pid);
        return;
    }
    held.unlock();
    r.wake.notify_one();
}

void cgi_end_terminating() {
    Reaper& r = reaper();
    std::vector<pid_t> ending;
    {
        std::lock_guard<std::mutex> held(r.lock);
        for (const Stopping& s : r.stopping) {
            if (::kill(-s.pid, SIGKILL) != 0) ::kill(s.pid, SIGKILL);
            ending.push_back(s.pid);
            std::erase(r.pending, s.pid);
        }
        r.stopping.clear();
    }
    for (pid_t pid : ending) cgi_wait(pid);
}

void cgi_kill(pid_t pid) {
    if (pid <= 0) return;
    // The program leads its own process group (see cgi_spawn).
    if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
}

void cgi_wait(pid_t pid) {
    if (pid <= 0) return;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, 0);
    while (r == -1 && errno == EINTR);
    if (r == pid) server_log(LOG_DEBUG, "cgi_wait: %d ended with status %d", static_cast<int>(pid), status);
}

std::size_t cgi_unreaped_count() {
    Reaper& r = reaper();
    std::lock_guard<std::mutex> held(r.lock);
    return r.pending.size();
}

}  // namespace vantrel
