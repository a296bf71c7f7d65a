#include "tests/support/web_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/process.h"

extern char** environ;

namespace fs = std::filesystem;

namespace quibtest {

namespace {

constexpr const char* lighttpd = "/usr/sbin/lighttpd";

// A configuration string literal. lighttpd keeps backslashes as written and
// has no safe escape for a double quote, so such a text is refused.
std::string quoted(const std::string& s)
{
    if (s.find('"') != std::string::npos)
        throw std::runtime_error("lighttpd configuration text with a double quote: " + s);
    return "\"" + s + "\"";
}

// A port the kernel has just handed out; lighttpd may still lose it to
// another process, which start() detects and retries.
int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool accepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

WebServer::WebServer(const WebServerOptions& options)
{
    std::string tmpl = (fs::temp_directory_path() / "quibweb-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    fs::create_directories(dir_ + "/uploads");
    fs::create_directories(dir_ + "/htdocs");
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start(options, freePort()))
            return;
    }
    std::string log = errorLog();
    std::error_code ec;
    fs::remove_all(dir_, ec);
    throw std::runtime_error("lighttpd did not start: " + log);
}

WebServer::~WebServer()
{
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string WebServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string WebServer::errorLog() const
{
    std::ostringstream s;
    for (const char* name : {"/lighttpd-error.log", "/error.log"}) {
        std::ifstream in(dir_ + name);
        s << in.rdbuf();
    }
    return s.str();
}

bool WebServer::start(const WebServerOptions& options, int port)
{
    if (port == 0)
        return false;
    std::map<std::string, std::string> env;
    for (const char* name : {"INSTRUMENT_ROOT", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                             "QUIB_EMULATOR"})
        if (const char* v = std::getenv(name))
            env[name] = v;
    // The emulator's own settings, for CGI programs that run under it.
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (kv.rfind("QEMU_", 0) == 0 && eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : options.env)
        env[k] = v;

    // The demo's own configuration (web/lighttpd.conf.in), filled in as web/demo.sh
    // and the browser test fill it, with this process's environment for the CGIs
    // and, in a cross build, the emulator in front of them.
    std::string conf;
    {
        std::ifstream in(QUIB_SOURCE_DIR "/web/lighttpd.conf.in");
        std::ostringstream s;
        s << in.rdbuf();
        conf = s.str();
    }
    std::string envList;
    for (const auto& [k, v] : env)
        envList += (envList.empty() ? "" : ", ") + quoted(k) + " => " + quoted(v);
    const std::map<std::string, std::string> fill = {
        {"@PORT@", std::to_string(port)},
        {"@WEB_DIR@", options.documentRoot.empty() ? dir_ + "/htdocs" : options.documentRoot},
        {"@RUN_DIR@", dir_},
        {"@BIN_DIR@", QUIB_BIN_DIR},
        {"(\"INSTRUMENT_ROOT\" => \"@ROOT@\")", "(" + envList + ")"},
        {"(\".cgi\" => \"\")", "(\".cgi\" => " + quoted(emulatorFor(QUIB_BIN_DIR "/upgrade.cgi")) + ")"},
    };
    for (const auto& [from, to] : fill) {
        if (conf.find(from) == std::string::npos)
            throw std::runtime_error("web/lighttpd.conf.in lacks " + from);
        for (size_t at = conf.find(from); at != std::string::npos; at = conf.find(from, at + to.size()))
            conf.replace(at, from.size(), to);
    }
    const std::string confPath = dir_ + "/lighttpd.conf";
    {
        std::ofstream out(confPath, std::ios::trunc);
        out << conf;
    }

    // The CGI programs inherit the server's standard error: their complaints
    // land in error.log, the server's own in lighttpd-error.log.
    const std::string outPath = dir_ + "/error.log";
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, 0);
            close(null);
        }
        execl(lighttpd, lighttpd, "-D", "-f", confPath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    port_ = port;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it gave up, most likely on a port taken meanwhile
            return false;
        }
        if (accepts(port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop();
    return false;
}

void WebServer::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace quibtest
