// Runs a program in a child process with a chosen environment and standard
// input, and collects what it wrote. Used by the end-to-end and CGI tests.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quibtest {

struct ProcessResult {
    int status = -1;      // exit status, or 128 + signal number
    std::string out;      // standard output
    std::string err;      // standard error
};

// env entries are added to (or replace those of) the current environment;
// an entry with an empty value removes the variable.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = {});

// Runs body in a forked child (every stdio stream flushed first) and returns
// what it returns as the child's exit status, or 128 + the signal that ended
// it. fileLimit > 0 caps the files the child writes (RLIMIT_FSIZE, with
// SIGXFSZ ignored so that a write past it fails instead).
int runInChild(const std::function<int()>& body, long fileLimit = 0);

// The SHA-256 of a file as lowercase hex, by the system's sha256sum.
std::string sha256File(const std::string& path);

// Path of a program built into build/bin.
std::string binPath(const std::string& name);

// In a cross build run under an emulator (QUIB_EMULATOR in the environment,
// set by cmake/ppc-linux-gnu.cmake), a binary for this test's own machine
// cannot be executed directly: emulatorFor gives the emulator for such a
// program and "" for anything else (host tools, scripts, native builds), and
// commandLine puts it in front of argv when needed. Every helper here that
// starts a program goes through them.
std::string emulatorFor(const std::string& program);
std::vector<std::string> commandLine(const std::vector<std::string>& argv);

}  // namespace quibtest
