#include "tests/support/web_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/process.h"

extern char** environ;

namespace quibtest {
namespace {

// Port 0: a free port the kernel hands out; another port: whether it accepts connections.
int probe(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    const bool ok = fd >= 0 && (port != 0 ? connect(fd, sa, len) == 0
                                          : bind(fd, sa, len) == 0 && getsockname(fd, sa, &len) == 0);
    close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

std::string readFile(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

}  // namespace

WebServer::WebServer()
{
    dir_ = (std::filesystem::temp_directory_path() / "quibweb-XXXXXX").string();
    if (mkdtemp(dir_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    std::filesystem::create_directories(dir_ + "/uploads");
    // Filled in as web/demo.sh fills it; under an emulator it runs the CGI programs.
    std::map<std::string, std::string> cgiEnv;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        for (const char* passed : {"INSTRUMENT_ROOT=", "ASAN_", "UBSAN_", "LSAN_", "QUIB_", "QEMU_"})
            if (kv.starts_with(passed))
                cgiEnv.emplace(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
    }
    std::string envList;
    for (const auto& [k, v] : cgiEnv)
        envList += (envList.empty() ? "\"" : ", \"") + k + "\" => \"" + v + "\"";
    std::string conf = readFile(QUIB_SOURCE_DIR "/web/lighttpd.conf.in");
    for (const auto& [from, to] : std::map<std::string, std::string> {
             {"@WEB_DIR@", dir_}, {"@RUN_DIR@", dir_}, {"@BIN_DIR@", QUIB_BIN_DIR},
             {"(\"INSTRUMENT_ROOT\" => \"@ROOT@\")", "(" + envList + ")"},
             {"(\".cgi\" => \"\")", "(\".cgi\" => \"" + emulatorFor(QUIB_BIN_DIR "/upgrade.cgi") + "\")"}}) {
        if (conf.find(from) == std::string::npos)
            throw std::runtime_error("web/lighttpd.conf.in lacks " + from);
        for (size_t at = conf.find(from); at != std::string::npos; at = conf.find(from, at + to.size()))
            conf.replace(at, from.size(), to);
    }
    // Another program may take the free port before lighttpd binds it: lighttpd
    // then ends, and the next attempt takes another port.
    for (int attempt = 1;; ++attempt) {
        port_ = probe(0);
        std::string withPort = conf;
        withPort.replace(withPort.find("@PORT@"), 6, std::to_string(port_));
        std::ofstream(dir_ + "/lighttpd.conf") << withPort;
        // The CGI programs inherit the server's standard error: one log holds both.
        const int log = open((dir_ + "/lighttpd-error.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        pid_ = startProcess({"/usr/sbin/lighttpd", "-D", "-f", dir_ + "/lighttpd.conf"}, {}, 0, log, log);
        close(log);
        while (probe(port_) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0)
            return;
        if (attempt == 5) {
            const std::string failed = readFile(dir_ + "/lighttpd-error.log");
            std::filesystem::remove_all(dir_);
            throw std::runtime_error("lighttpd did not start: " + failed);
        }
    }
}

WebServer::~WebServer()
{
    kill(pid_, SIGTERM);
    waitProcess(pid_);
    const std::string log = readFile(dir_ + "/lighttpd-error.log");
    EXPECT_TRUE(log.find("Sanitizer") == std::string::npos && log.find("runtime error") == std::string::npos)
        << log;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string WebServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace quibtest
