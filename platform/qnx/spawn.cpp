// Starting the instrument's utilities (/proc/boot/pidin) without a command
// interpreter. posix_spawn, not fork: QNX refuses fork in a process that has
// more than one thread, and the EEPROM service's save thread may be running.
// The process manager loads the program before posix_spawn returns, so a
// program that cannot be loaded is its error result.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int platform_run_append_output(const char* instrumentProgram, const char* const argv[],
                               const char* appendTo)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    int rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, appendTo,
                                              O_WRONLY | O_CREAT | O_APPEND, S_IRUSR | S_IWUSR);
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
