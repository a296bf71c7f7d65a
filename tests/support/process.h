// Starts programs and forked children for the tests, with the emulator a cross build needs to run them.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quibtest {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] (no PATH search) with input on its standard input and env added to this process's environment.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {}, const std::string& input = {});
// Starts argv as runProcess does, its standard streams on these descriptors; waitProcess gives what it ended with.
pid_t startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   int in, int out, int err);
int waitProcess(pid_t pid);
// Runs body in a forked child: what it returns, or 128 + signal. fileLimit > 0 caps the files it writes.
int runInChild(const std::function<int()>& body, long fileLimit = 0);

std::string sha256File(const std::string& path);  // lowercase hex, by sha256sum
std::string binPath(const std::string& name);     // a program built into build/bin

// Under an emulator (QUIB_EMULATOR) a binary for this test's own machine cannot run directly:
// emulatorFor gives the emulator for such a program, "" for anything else; commandLine puts it in front of argv.
std::string emulatorFor(const std::string& program);
std::vector<std::string> commandLine(const std::vector<std::string>& argv);

}  // namespace quibtest
