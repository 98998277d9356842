#include "shell/model/program_output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vantrel::shell {
namespace {

// Closes a descriptor when it goes.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

ProgramOutput RunForOutput(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    ProgramOutput result;
    if (argv.empty()) {
        result.error = "no program";
        return result;
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    Fd read_end{pipe_fds[0]}, write_end{pipe_fds[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end.fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int spawned = argv[0].find('/') == std::string::npos
                      ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                      : posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.error = argv[0] + ": " + std::strerror(spawned);
        return result;
    }
    close(write_end.fd);
    write_end.fd = -1;

    auto deadline = std::chrono::steady_clock::now() + limit;
    bool timed_out = false;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{read_end.fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timed_out = ready == 0;
            break;
        }
        ssize_t n = read(read_end.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t room = kProgramOutputMax - result.out.size();
        result.out.append(buf, std::min(static_cast<std::size_t>(n), room));
    }
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out) {
        result.error = argv[0] + " did not finish within " + std::to_string(limit.count() / 1000) + " s";
        return result;
    }
    if (WIFSIGNALED(status)) {
        result.error = argv[0] + " ended by signal " + std::to_string(WTERMSIG(status));
        return result;
    }
    result.ran = true;
    result.exit_code = WEXITSTATUS(status);
    return result;
}

}  // namespace vantrel::shell
