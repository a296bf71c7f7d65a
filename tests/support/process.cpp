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

// What an unnamed temporary file holds, read from its start; closes it.
std::string drain(FILE* f)
{
    std::string s;
    std::rewind(f);
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// ELF class, byte order and machine as the file holds them; "" when it is no ELF file.
std::string elfMachine(const std::string& path)
{
    std::string h(20, '\0');
    std::ifstream(path, std::ios::binary).read(h.data(), 20);
    return h.starts_with("\x7f" "ELF") ? h.substr(4, 2) + h.substr(18, 2) : "";
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
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (fileLimit > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit lim {static_cast<rlim_t>(fileLimit), static_cast<rlim_t>(fileLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        _exit(body());
    }
    return waitProcess(pid);
}

pid_t startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   int in, int out, int err)
{
    std::vector<std::string> cmd = commandLine(argv), vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        if (!env.contains(kv.substr(0, kv.find('='))))
            vars.push_back(kv);
    }
    for (const auto& [k, v] : env)
        if (!v.empty())
            vars.push_back(k + "=" + v);
    auto pointers = [](std::vector<std::string>& v) {
        std::vector<char*> p;
        for (auto& s : v)
            p.push_back(s.data());
        p.push_back(nullptr);
        return p;
    };
    std::vector<char*> args = pointers(cmd), envp = pointers(vars);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + cmd[0]);
    return pid;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& input)
{
    // Files, not pipes: no side waits for the other however much either writes.
    FILE* in = std::tmpfile();
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    if (in == nullptr || out == nullptr || err == nullptr)
        throw std::runtime_error("tmpfile failed");
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    ProcessResult r;
    r.status = waitProcess(startProcess(argv, env, fileno(in), fileno(out), fileno(err)));
    std::fclose(in);
    r.out = drain(out);
    r.err = drain(err);
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
    if (emulator == nullptr || *emulator == '\0' || elfMachine(program) != own)
        return {};
    return emulator;
}

std::vector<std::string> commandLine(const std::vector<std::string>& argv)
{
    std::vector<std::string> cmd = argv;
    if (!argv.empty() && !emulatorFor(argv[0]).empty())
        cmd.insert(cmd.begin(), emulatorFor(argv[0]));
    return cmd;
}

}  // namespace quibtest
