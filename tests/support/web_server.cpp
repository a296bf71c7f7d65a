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

std::string regexEscape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
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
    fs::create_directories(dir_ + "/upload");
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
    std::ifstream in(dir_ + "/error.log");
    std::ostringstream s;
    s << in.rdbuf();
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

    std::ostringstream conf;
    conf << "server.document-root = "
         << quoted(options.documentRoot.empty() ? dir_ + "/htdocs" : options.documentRoot) << "\n"
         << "server.bind = \"127.0.0.1\"\n"
         << "server.port = " << port << "\n"
         << "server.upload-dirs = ( " << quoted(dir_ + "/upload") << " )\n"
         << "server.modules = ( \"mod_alias\", \"mod_cgi\", \"mod_setenv\" )\n"
         << "index-file.names = ( \"index.html\" )\n"
         << "mimetype.assign = ( \".html\" => \"text/html\", \".js\" => \"text/javascript\", "
            "\".css\" => \"text/css\", \".png\" => \"image/png\", \".svg\" => \"image/svg+xml\", "
            "\".json\" => \"application/json\", \".txt\" => \"text/plain\", "
            "\"\" => \"application/octet-stream\" )\n";
    if (!options.cgi.empty()) {
        conf << "alias.url = ( ";
        bool first = true;
        for (const auto& [path, program] : options.cgi) {
            conf << (first ? "" : ", ") << quoted(path) << " => " << quoted(program);
            first = false;
        }
        conf << " )\n";
        for (const auto& [path, program] : options.cgi)
            conf << "$HTTP[\"url\"] =~ " << quoted("^" + regexEscape(path) + "(/|$)")
                 << " { cgi.assign = ( \"\" => " << quoted(emulatorFor(program)) << " ) }\n";
    }
    if (!env.empty()) {
        conf << "setenv.add-environment = ( ";
        bool first = true;
        for (const auto& [k, v] : env) {
            conf << (first ? "" : ", ") << quoted(k) << " => " << quoted(v);
            first = false;
        }
        conf << " )\n";
    }
    const std::string confPath = dir_ + "/lighttpd.conf";
    {
        std::ofstream out(confPath, std::ios::trunc);
        out << conf.str();
    }

    // No server.errorlog: the server logs to its standard error, which the
    // CGI programs inherit, so their complaints land in the same file.
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
