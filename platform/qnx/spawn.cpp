// Starting the instrument's utilities (/proc/boot/pidin) without a command
// interpreter. posix_spawn, not fork: QNX refuses fork in a process that has
// more than one thread, and the EEPROM service's save thread may be running.
// The process manager loads the program before posix_spawn returns, so a
// program that cannot be loaded is its error result. The new process starts
// with the default action for every signal the run handles.
#include "platform/platform.h"

#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int platform_run_output_to(const char* instrumentProgram, const char* const argv[], int outFd)
{
    posix_spawn_file_actions_t actions;
    if (outFd < 0 || posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    int rc = posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawn(&pid, instrumentProgram, &actions, NULL,
                         const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
