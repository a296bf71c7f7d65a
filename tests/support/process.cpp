#include "tests/support/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quibtest {

int runInChild(const std::function<int()>& body, long fileLimit)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (fileLimit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit lim {static_cast<rlim_t>(fileLimit), static_cast<rlim_t>(fileLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        _exit(body());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string sha256File(const std::string& path)
{
    return runProcess({"/usr/bin/sha256sum", path}).out.substr(0, 64);
}

std::string binPath(const std::string& name)
{
    return std::string(QUIB_BIN_DIR) + "/" + name;
}

namespace {

// The ELF identification that tells machines apart: class, byte order and
// machine, raw as the file holds them; "" for a file that is not ELF.
std::string elfMachine(const char* path)
{
    unsigned char h[20];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, "\x7f" "ELF", 4) != 0)
        return {};
    return std::string({static_cast<char>(h[4]), static_cast<char>(h[5]), static_cast<char>(h[18]),
                        static_cast<char>(h[19])});
}

}  // namespace

std::string emulatorFor(const std::string& program)
{
    const char* emulator = std::getenv("QUIB_EMULATOR");
    if (emulator == nullptr || *emulator == '\0')
        return {};
    // Under the emulator /proc/self/exe is this test program, a target binary.
    static const std::string own = elfMachine("/proc/self/exe");
    const std::string theirs = elfMachine(program.c_str());
    return !theirs.empty() && theirs == own ? emulator : std::string();
}

std::vector<std::string> commandLine(const std::vector<std::string>& argv)
{
    std::vector<std::string> cmd;
    if (!argv.empty()) {
        std::string emulator = emulatorFor(argv[0]);
        if (!emulator.empty())
            cmd.push_back(emulator);
    }
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& input)
{
    const std::vector<std::string> cmd = commandLine(argv);
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        for (const auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> args;
        for (const auto& a : cmd)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), environ);
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);

    ProcessResult r;
    size_t written = 0;
    bool inOpen = true;
    if (input.empty()) {
        close(inPipe[1]);
        inOpen = false;
    }
    bool outOpen = true, errOpen = true;
    char buf[65536];
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outOpen) { fds[n] = {outPipe[0], POLLIN, 0}; outIdx = n++; }
        if (errOpen) { fds[n] = {errPipe[0], POLLIN, 0}; errIdx = n++; }
        if (inOpen) { fds[n] = {inPipe[1], POLLOUT, 0}; inIdx = n++; }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (inIdx >= 0 && fds[inIdx].revents) {
            ssize_t w = write(inPipe[1], input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN) written = input.size();
            if (written >= input.size()) {
                close(inPipe[1]);
                inOpen = false;
            }
        }
        auto drain = [&](int idx, int fd, std::string& dst, bool& open) {
            if (idx >= 0 && fds[idx].revents) {
                ssize_t got = read(fd, buf, sizeof buf);
                if (got > 0)
                    dst.append(buf, static_cast<size_t>(got));
                else
                    open = false;
            }
        };
        drain(outIdx, outPipe[0], r.out, outOpen);
        drain(errIdx, errPipe[0], r.err, errOpen);
    }
    if (inOpen)
        close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

}  // namespace quibtest
