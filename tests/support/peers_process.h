// `instrument peers ROOT ...` running in the background for one test: started
// and waited for until it serves, stopped with SIGTERM when the test ends.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace quibtest {

class PeersProcess {
public:
    // Throws when the program does not report "ready" within 10 seconds.
    explicit PeersProcess(const std::string& root, const std::vector<std::string>& options = {});
    ~PeersProcess();
    PeersProcess(const PeersProcess&) = delete;
    PeersProcess& operator=(const PeersProcess&) = delete;

    // Sends SIGTERM and waits: the exit status, or 128 + signal number.
    int stop();

private:
    pid_t pid_ = -1;
};

}  // namespace quibtest
