// Starting the instrument's utilities without a command interpreter.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Waits for pid; its wait status, or -1.
int reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

}  // namespace

// A program that cannot be started must give -1, never an exit status: the
// child reports a failed exec through a close-on-exec pipe, which a
// successful exec closes empty. posix_spawn may report the same failure
// either way (an error, or exit status 127), so it is not used here.
int platform_run_output_to(const char* instrumentProgram, const char* const argv[], int outFd)
{
    char program[PATH_MAX];
    if (platform_path(instrumentProgram, program, sizeof program) == nullptr || outFd < 0)
        return -1;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    // Until the child has dropped the run's own signal handlers, a SIGTERM
    // must not run them there: they would remove the parent's files.
    platform_hold_termination();
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the parent may have threads.
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int ok = outFd == STDOUT_FILENO ? fcntl(outFd, F_SETFD, 0) : dup2(outFd, STDOUT_FILENO);
        if (ok >= 0)
            execv(program, const_cast<char* const*>(argv));
        int e = errno;
        ssize_t w = write(report[1], &e, sizeof e);
        (void)w;
        _exit(127);
    }
    platform_release_termination();
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        return -1;
    }
    int e = 0;
    ssize_t n;
    while ((n = read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    int status = reap(pid);
    if (n != 0 || status < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
