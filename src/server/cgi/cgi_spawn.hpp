// Starting a program (its command line, descriptors and signals) and
// reaping it by its own process id.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "server/core/handles.hpp"

namespace vantrel {

// What to run: the arguments and the folder to run them in.
struct CgiCommand {
    std::vector<std::string> argv;
    std::string workdir;
    bool search_path = false;  // argv[0] is a bare name to look up in PATH
};

// Builds the command for a script: {interpreter, arguments..., script} when an
// interpreter is configured; else the script's "#!" line split as the kernel splits it
// (interpreter and at most one optional argument) followed by the script; else
// the script alone. Returns false for a path too long to use.
bool cgi_command(const std::string& interpreter, const char* script, CgiCommand& out,
                 const std::vector<std::string>& arguments = {});

// Starts the program with standard input and output on the far end of a new
// socket pair and standard error on the server's own, no other descriptor, and
// default signal handling. On success returns the process id and stores the
// near end (non-blocking, close-on-exec) in `near_fd`; on failure returns -1
// with nothing left open. With `error_fd`, standard error is a new pipe instead,
// whose read end (non-blocking, close-on-exec) is stored there. With
// `input_fd` >= 0, standard input is that file (read from its offset) instead.
pid_t cgi_spawn(const CgiCommand& command, char* const envp[], UniqueFd& near_fd, UniqueFd* error_fd = nullptr,
                int input_fd = -1);

// Reaps `pid` if it has finished; otherwise keeps it on a process-wide list that
// a background thread reaps by process id once it ends (never waitpid(-1)).
void cgi_reap(pid_t pid);
// Stops a program and everything it started in its process group at once: it
// cannot act on anything after this returns.
void cgi_kill(pid_t pid);
// Asks a program and its process group to end (SIGTERM); whatever still runs
// shortly after is killed. It is reaped by its id like cgi_reap's.
void cgi_terminate(pid_t pid);
// Kills at once every program cgi_terminate asked to end that has not been
// killed yet, and reaps it: the server is stopping and must leave none behind.
void cgi_end_terminating();
// Waits for `pid` (and only it) to end, reaping it.
void cgi_wait(pid_t pid);
// Ids handed to cgi_reap that have not been reaped yet (for tests).
std::size_t cgi_unreaped_count();

}  // namespace vantrel
