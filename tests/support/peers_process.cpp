#include "tests/support/peers_process.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/process.h"

extern char** environ;

namespace quibtest {

PeersProcess::PeersProcess(const std::string& root, const std::vector<std::string>& options)
{
    std::vector<std::string> argv = {binPath("instrument"), "peers", root};
    argv.insert(argv.end(), options.begin(), options.end());
    argv = commandLine(argv);
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execve(args[0], args.data(), environ);
        _exit(127);
    }
    close(out[1]);
    std::string got;
    char buf[64];
    while (got.find("ready\n") == std::string::npos) {
        pollfd p {out[0], POLLIN, 0};
        ssize_t n = poll(&p, 1, 10000) > 0 ? read(out[0], buf, sizeof buf) : -1;
        if (n <= 0) {
            close(out[0]);
            stop();
            throw std::runtime_error("instrument peers did not get ready");
        }
        got.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
}

PeersProcess::~PeersProcess()
{
    stop();
}

int PeersProcess::stop()
{
    if (pid_ < 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace quibtest
