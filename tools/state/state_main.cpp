// state.cgi: answers the demo page with the state of the simulated instrument
// named by INSTRUMENT_ROOT: `instrument show ROOT --json` (the tool next to this
// program), the last lines of the peers' log and the upgrade handler's progress
// file, as one JSON object. With the query string "progress", the progress alone.
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tools/common/json.h"
#include "tools/state/log_tail.h"
#include "tools/state/state_report.h"

extern char** environ;

namespace {

constexpr auto kShowTimeout = std::chrono::seconds(20);
constexpr size_t kMaxOutput = 8u << 20;  // a report is a few KiB; refuse a runaway
constexpr size_t kLogLines = 20;
constexpr size_t kLogWindow = 256u << 10;
constexpr size_t kProgressMax = 4096;

// The directory this program was started from: the tools are built side by side.
std::string ownDirectory(const char* argv0)
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(argv0);
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

// Runs the program without a shell, stdin from /dev/null, and collects its output.
state::ShowRun runShow(const std::string& program, const std::string& root)
{
    state::ShowRun run;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return run;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<std::string> args = {program, "show", root, "--json"};
    // A cross build tested under an emulator has no binfmt to run its sibling.
    const char* emulator = std::getenv("QUIB_EMULATOR");
    if (emulator != nullptr && *emulator != '\0')
        args.insert(args.begin(), emulator);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        run.err = program + ": " + std::strerror(rc);
        return run;
    }
    run.started = true;

    auto deadline = std::chrono::steady_clock::now() + kShowTimeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    char buf[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || run.out.size() + run.err.size() > kMaxOutput) {
            run.timedOut = left.count() <= 0;
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

int answer(const std::string& body)
{
    std::printf("Content-Type: application/json\r\n"
                "Cache-Control: no-cache, no-store, must-revalidate\r\n"
                "\r\n");
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int, char** argv)
{
    const char* env = std::getenv("INSTRUMENT_ROOT");
    std::string root = env ? env : "";
    const char* query = std::getenv("QUERY_STRING");
    const bool rooted = !root.empty() && root[0] == '/';
    const std::string progress =
        rooted ? state::progressFileJson(root + "/tmp/upgrade.progress", kProgressMax) : "null";
    // Polled while an upload is being written: the report would run the
    // board identification beside the handler, and is not needed.
    if (query != nullptr && std::strcmp(query, "progress") == 0) {
        return answer("{\"root\":" + tool::jsonEscape(root) + ",\"progress\":" + progress + "}");
    }
    state::ShowRun show;
    std::vector<std::string> log;
    if (!rooted) {
        show.err = "INSTRUMENT_ROOT does not name an instrument root";
    } else {
        show = runShow(ownDirectory(argv[0]) + "/instrument", root);
        log = state::tailLines(root + "/var/log/peers.jsonl", kLogLines, kLogWindow);
    }
    return answer(state::stateBody(root, show, log, progress));
}
