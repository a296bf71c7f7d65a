// `instrument peers ROOT [options]`: stands in for the instrument's application
// server ("firmware") and loader service ("loader"). Each message names a file,
// which is read whole before the answer goes back, so that a sender that
// removes the file as soon as its exchange ends is served correctly.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/instrument/instrument.h"
#include "tools/common/sha256.h"

namespace tool {

namespace {

// The product's messages fit 1024 bytes; anything beyond this is refused.
constexpr size_t kMaxMessage = 8192;
constexpr size_t kMaxLoggedMalformed = 256;

struct Peer {
    std::string name;
    bool served = true;
    enum Answer { Reply, Close, Silent } answer = Reply;
    int32_t status = 4;
    int32_t result = 0;  // DSP result word
    int delayMs = 0;
    std::string path;    // socket
    int listener = -1;
};

struct Server {
    int logFd = -1;
    std::mutex logMtx;
    std::mutex connMtx;
    std::condition_variable connDone;
    std::set<int> conns;  // open connections, shut down when stopping
};

Server g_server;

void usage(FILE* f)
{
    std::fprintf(f,
                 "usage: instrument peers ROOT [options]\n"
                 "Serves \"firmware\" and \"loader\" at ROOT/dev/name/local/NAME until SIGTERM or\n"
                 "SIGINT, then removes the sockets. Prints \"ready\" on standard output once both\n"
                 "names are served. Every message's file is read whole before the answer; each\n"
                 "message is logged as one JSON line in ROOT/var/log/peers.jsonl.\n"
                 "Options, PEER being firmware or loader:\n"
                 "  --PEER-status N     status to answer (default 4)\n"
                 "  --PEER-result N     result word of the answer to a DSP message (default 0)\n"
                 "  --PEER-close        close the connection instead of answering\n"
                 "  --PEER-silent       never answer (keep the connection open)\n"
                 "  --PEER-delay-ms N   wait N ms after reading the file, before answering\n"
                 "  --PEER-unserved     do not serve the name\n"
                 "A malformed or oversized message, or a file that cannot be read, is answered\n"
                 "with status -1 whatever the options.\n");
}

bool parseInt32(const char* s, int32_t& out)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 0);
    if (end == s || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

// What a message asks for, as far as the peers understand it.
struct Request {
    std::string kind;     // udp_conf, restore_settings, restore_models, dsp_image
    std::string text;     // the text, or the text behind a DSP command word
    int32_t command = 0;  // DSP only
    std::string file;     // base name of the upload
    std::string path;     // the file to read (a host path)
    std::string error;    // non-empty: malformed
};

std::string baseOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Request parse(const char* data, size_t n)
{
    Request r;
    std::string_view v(data, n);
    if (v.starts_with("mode=")) {
        if (v.back() != '\0' || v.find('\0') != n - 1) {
            r.text = std::string(v.substr(0, std::min(n, kMaxLoggedMalformed)));
            r.error = "text message without a single terminator";
            return r;
        }
        r.text = std::string(v.substr(0, n - 1));
        const std::string& t = r.text;
        static constexpr std::string_view udp = "mode=4&UDPConf";
        static constexpr std::string_view settings = "mode=4&RestoreSettings=";
        static constexpr std::string_view models = "mode=4&target=loader&RestoreModels=";
        if (t.starts_with(udp) && t.size() > udp.size() + 1 && t[udp.size() + 1] == '=') {
            r.kind = "udp_conf";
            // The base name holds no '/', the host path starts with one.
            std::string rest = t.substr(udp.size() + 2);
            size_t sep = rest.find(":/");
            if (sep == std::string::npos) {
                r.error = "no base name and path";
                return r;
            }
            r.file = rest.substr(0, sep);
            r.path = rest.substr(sep + 1);
        } else if (t.starts_with(settings)) {
            r.kind = "restore_settings";
            r.path = t.substr(settings.size());
            r.file = baseOf(r.path);
        } else if (t.starts_with(models)) {
            r.kind = "restore_models";
            r.path = t.substr(models.size());
            r.file = baseOf(r.path);
        } else {
            r.error = "unknown text message";
        }
        if (r.error.empty() && r.path.empty())
            r.error = "no path";
        return r;
    }
    if (n >= 4) {
        std::memcpy(&r.command, data, 4);
        if (r.command == 3 || r.command == 4) {
            r.kind = "dsp_image";
            r.text = std::string(v.substr(4));
            // "path,name": the name holds no '/', and the temporary file's own
            // name no ',', so the first ',' after the last '/' separates them.
            size_t slash = r.text.rfind('/');
            size_t comma = r.text.find(',', slash == std::string::npos ? 0 : slash);
            if (comma == std::string::npos || r.text.find('\0') != std::string::npos) {
                r.error = "no path and base name";
                return r;
            }
            r.path = r.text.substr(0, comma);
            r.file = r.text.substr(comma + 1);
            return r;
        }
    }
    r.text = std::string(v.substr(0, std::min(n, kMaxLoggedMalformed)));
    r.error = "unknown message";
    return r;
}

struct FileRead {
    bool ok = false;
    uint64_t size = 0;
    std::string sha256;
    std::string error;
};

FileRead readWhole(const std::string& path)
{
    FileRead f;
    // O_NONBLOCK so that a FIFO named in a message cannot hold the peer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        f.error = std::string("cannot open: ") + std::strerror(errno);
        return f;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        f.error = "not a regular file";
        return f;
    }
    Sha256 sha;
    char buf[65536];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            f.error = std::string("read failed: ") + std::strerror(errno);
            close(fd);
            return f;
        }
        if (got == 0)
            break;
        sha.update(buf, static_cast<size_t>(got));
        f.size += static_cast<uint64_t>(got);
    }
    close(fd);
    f.ok = true;
    f.sha256 = sha.hex();
    return f;
}

// One line, one write(): with O_APPEND and the lock, lines from concurrent
// connections (and from other processes appending) never interleave.
void logLine(const std::string& line)
{
    std::lock_guard lock(g_server.logMtx);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t w = write(g_server.logFd, line.data() + done, line.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            std::fprintf(stderr, "instrument peers: log write failed: %s\n", std::strerror(errno));
            return;
        }
        done += static_cast<size_t>(w);
    }
}

void sendStatus(int conn, int32_t status, const int32_t* result)
{
    unsigned char packet[8];
    auto s = static_cast<uint32_t>(status);
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<unsigned char>(s >> (8 * i));
    size_t len = 4;
    if (result != nullptr) {  // the result word is in the sender's own byte order
        std::memcpy(packet + 4, result, 4);
        len = 8;
    }
    send(conn, packet, len, MSG_NOSIGNAL);
}

// Handles one message; false when the connection is to be closed.
bool handle(const Peer& peer, int conn, const char* data, size_t n, bool oversized)
{
    Request req = oversized ? Request{} : parse(data, n);
    if (oversized) {
        req.text = std::string(data, std::min(n, kMaxLoggedMalformed));
        req.error = "message longer than " + std::to_string(kMaxMessage) + " bytes";
    }
    Json line = Json::object();
    line["peer"] = peer.name;
    line["kind"] = req.kind.empty() ? std::string("malformed") : req.kind;
    line["message"] = req.text;
    if (req.kind == "dsp_image")
        line["command"] = req.command;

    bool ok = req.error.empty();
    if (ok) {
        line["file"] = req.file;
        line["path"] = req.path;
        FileRead f = readWhole(req.path);
        if (f.ok) {
            line["size"] = static_cast<unsigned long long>(f.size);
            line["sha256"] = f.sha256;
        } else {
            ok = false;
            req.error = f.error;
        }
    }
    if (ok && peer.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(peer.delayMs));

    bool dsp = req.kind == "dsp_image";
    Peer::Answer answer = ok ? peer.answer : Peer::Reply;
    int32_t status = ok ? peer.status : -1;
    if (answer == Peer::Reply) {
        line["status"] = status;
        if (dsp && ok)
            line["result"] = peer.result;
    } else {
        line["status"] = nullptr;
    }
    line["answer"] = answer == Peer::Reply ? "reply" : answer == Peer::Close ? "close" : "silent";
    if (!ok)
        line["error"] = req.error;
    logLine(tool::dumpJson(line) + "\n");

    switch (answer) {
    case Peer::Reply:
        sendStatus(conn, status, dsp && ok ? &peer.result : nullptr);
        return true;
    case Peer::Close:
        return false;
    case Peer::Silent:
        return true;
    }
    return true;
}

void serveConnection(const Peer& peer, int conn)
{
    std::vector<char> buf(kMaxMessage);
    for (;;) {
        // MSG_TRUNC: the result is the packet's whole length, so an oversized
        // message is recognised rather than taken for its first bytes.
        ssize_t n = recv(conn, buf.data(), buf.size(), MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bool oversized = static_cast<size_t>(n) > buf.size();
        if (!handle(peer, conn, buf.data(), oversized ? buf.size() : static_cast<size_t>(n),
                    oversized))
            break;
    }
    std::lock_guard lock(g_server.connMtx);
    g_server.conns.erase(conn);
    close(conn);
    g_server.connDone.notify_all();
}

bool makeDirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

std::string tempName(const std::string& path)
{
    return path.substr(0, path.rfind('/') + 1) + ".new." + std::to_string(getpid());
}

bool fillAddress(sockaddr_un& addr, const std::string& path)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    path.copy(addr.sun_path, path.size());
    return true;
}

// Binds and listens under a temporary name, then renames it into place: once
// the name exists it accepts connections, so its presence means readiness.
// Anyone may connect, as on the instrument: the web server may run the CGI
// program as another user.
int listenAt(const std::string& path)
{
    sockaddr_un addr {};
    std::string tmp = tempName(path);
    sockaddr_un tmpAddr {};
    if (!fillAddress(addr, path) || !fillAddress(tmpAddr, tmp)) {
        std::fprintf(stderr, "instrument peers: socket path too long (at most %zu bytes): %s\n",
                     sizeof addr.sun_path - 1, tmp.size() > path.size() ? tmp.c_str() : path.c_str());
        return -1;
    }
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        close(probe);
        std::fprintf(stderr, "instrument peers: %s is already served\n", path.c_str());
        return -1;
    }
    if (probe >= 0)
        close(probe);

    unlink(tmp.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&tmpAddr), sizeof tmpAddr) != 0 ||
        listen(fd, 128) != 0 || chmod(tmp.c_str(), 0666) != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "instrument peers: cannot serve %s: %s\n", path.c_str(),
                     std::strerror(errno));
        if (fd >= 0)
            close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    return fd;
}

}  // namespace

int runPeers(int argc, char** argv)
{
    Peer peers[2];
    peers[0].name = "firmware";
    peers[1].name = "loader";
    std::string root;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        Peer* p = nullptr;
        std::string opt;
        for (auto& cand : peers) {
            std::string prefix = "--" + cand.name + "-";
            if (a.starts_with(prefix)) {
                p = &cand;
                opt = a.substr(prefix.size());
            }
        }
        if (p == nullptr) {
            if (a.starts_with("-") || !root.empty()) {
                usage(stderr);
                return 2;
            }
            root = a;
            continue;
        }
        if (opt == "close") {
            p->answer = Peer::Close;
        } else if (opt == "silent") {
            p->answer = Peer::Silent;
        } else if (opt == "unserved") {
            p->served = false;
        } else if (opt == "status" || opt == "result" || opt == "delay-ms") {
            int32_t v = 0;
            if (i + 1 >= argc || !parseInt32(argv[i + 1], v) || (opt == "delay-ms" && v < 0)) {
                std::fprintf(stderr, "instrument peers: %s needs a number\n", a.c_str());
                return 2;
            }
            ++i;
            if (opt == "status")
                p->status = v;
            else if (opt == "result")
                p->result = v;
            else
                p->delayMs = v;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (root.empty()) {
        usage(stderr);
        return 2;
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();

    std::string dir = root + "/dev/name/local";
    std::string logDir = root + "/var/log";
    // Refuse a root too deep for socket addresses before creating anything in it.
    for (auto& p : peers) {
        sockaddr_un addr {};
        p.path = dir + "/" + p.name;
        if (p.served && (!fillAddress(addr, p.path) || !fillAddress(addr, tempName(p.path)))) {
            std::fprintf(stderr, "instrument peers: socket path too long (at most %zu bytes): %s\n",
                         sizeof addr.sun_path - 1, p.path.c_str());
            return 1;
        }
    }
    if (!makeDirs(dir) || !makeDirs(logDir)) {
        std::fprintf(stderr, "instrument peers: cannot create %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    g_server.logFd = open((logDir + "/peers.jsonl").c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_server.logFd < 0) {
        std::fprintf(stderr, "instrument peers: cannot open the log: %s\n", std::strerror(errno));
        return 1;
    }

    // Every thread inherits the blocked signals; the main loop takes them
    // from a signalfd, so that stopping is an ordinary event.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    auto cleanup = [&] {
        for (auto& p : peers)
            if (p.listener >= 0) {
                unlink(p.path.c_str());
                close(p.listener);
                p.listener = -1;
            }
    };
    for (auto& p : peers) {
        if (!p.served)
            continue;
        p.listener = listenAt(p.path);
        if (p.listener < 0) {
            cleanup();
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        pollfd fds[3];
        const Peer* owner[3] = {nullptr, nullptr, nullptr};
        nfds_t n = 0;
        fds[n++] = {sigFd, POLLIN, 0};
        for (auto& p : peers)
            if (p.listener >= 0) {
                owner[n] = &p;
                fds[n++] = {p.listener, POLLIN, 0};
            }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        for (nfds_t i = 1; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            int conn = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0)
                continue;
            {
                std::lock_guard lock(g_server.connMtx);
                g_server.conns.insert(conn);
            }
            const Peer& peer = *owner[i];
            std::thread([&peer, conn] { serveConnection(peer, conn); }).detach();
        }
    }

    cleanup();
    // Wake the connections still open (silent peers, idle senders) and let
    // the messages in hand finish their log line before the process ends.
    std::unique_lock lock(g_server.connMtx);
    for (int c : g_server.conns)
        shutdown(c, SHUT_RDWR);
    bool drained = g_server.connDone.wait_for(lock, std::chrono::seconds(5),
                                              [] { return g_server.conns.empty(); });
    lock.unlock();
    if (!drained) {
        std::fflush(stdout);
        _exit(0);  // threads still reading a file: they must not outlive statics
    }
    close(g_server.logFd);
    close(sigFd);
    return 0;
}

}  // namespace tool
