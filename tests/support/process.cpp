#include "tests/support/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quibtest {
namespace {

// ELF class, byte order and machine as the file holds them; "" when it is no ELF file.
std::string elfMachine(const std::string& path)
{
    std::string h(20, '\0');
    std::ifstream(path, std::ios::binary).read(h.data(), 20);
    return h.starts_with("\x7f" "ELF") ? h.substr(4, 2) + h.substr(18, 2) : "";
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> p;
    for (auto& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

int waitProcess(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runInChild(const std::function<int()>& body, long fileLimit)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (fileLimit > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit lim {static_cast<rlim_t>(fileLimit), static_cast<rlim_t>(fileLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        _exit(body());
    }
    return pid < 0 ? -1 : waitProcess(pid);
}

pid_t startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   int in, int out, int err)
{
    std::vector<std::string> cmd = commandLine(argv), vars;
    for (char** e = environ; *e != nullptr; ++e)
        if (!env.contains(std::string(*e).substr(0, std::string(*e).find('='))))
            vars.push_back(*e);
    for (const auto& [k, v] : env)
        vars.push_back(k + "=" + v);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_adddup2(&actions, fd == 0 ? in : fd == 1 ? out : err, fd);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, cmd[0].c_str(), &actions, nullptr, pointers(cmd).data(),
                                   pointers(vars).data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + cmd[0]);
    return pid;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& input)
{
    // Files, not pipes: no side waits for the other however much either writes.
    FILE* files[3] = {std::tmpfile(), std::tmpfile(), std::tmpfile()};
    std::fwrite(input.data(), 1, input.size(), files[0]);
    std::rewind(files[0]);
    ProcessResult r;
    r.status = waitProcess(startProcess(argv, env, fileno(files[0]), fileno(files[1]), fileno(files[2])));
    for (std::string* text : {&r.out, &r.err}) {
        FILE* f = files[text == &r.out ? 1 : 2];
        std::rewind(f);
        for (int c; (c = std::fgetc(f)) != EOF;)
            *text += static_cast<char>(c);
    }
    for (FILE* f : files)
        std::fclose(f);
    return r;
}

std::string sha256File(const std::string& path)
{
    return runProcess({"/usr/bin/sha256sum", path}).out.substr(0, 64);
}

std::string binPath(const std::string& name)
{
    return std::string(QUIB_BIN_DIR) + "/" + name;
}

std::string emulatorFor(const std::string& program)
{
    const char* emulator = std::getenv("QUIB_EMULATOR");
    // Under the emulator /proc/self/exe is this test program, a target binary.
    static const std::string own = elfMachine("/proc/self/exe");
    return emulator != nullptr && *emulator != '\0' && elfMachine(program) == own ? emulator : "";
}

std::vector<std::string> commandLine(const std::vector<std::string>& argv)
{
    std::vector<std::string> cmd = argv;
    if (!argv.empty() && !emulatorFor(argv[0]).empty())
        cmd.insert(cmd.begin(), emulatorFor(argv[0]));
    return cmd;
}

}  // namespace quibtest
