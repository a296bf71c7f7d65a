// Starting the instrument's utilities without a command interpreter.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int platform_run_append_output(const char* instrumentProgram, const char* const argv[],
                               const char* appendTo)
{
    char program[PATH_MAX];
    char output[PATH_MAX];
    if (platform_path(instrumentProgram, program, sizeof program) == nullptr ||
        platform_path(appendTo, output, sizeof output) == nullptr)
        return -1;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    int rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output,
                                              O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawn(&pid, program, &actions, nullptr, const_cast<char* const*>(argv),
                         environ);
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
