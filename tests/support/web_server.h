// lighttpd on a free port of 127.0.0.1 for one test, with the demo's configuration (web/lighttpd.conf.in)
// filled in in its own temporary directory: the CGI programs of build/bin under /cgi-bin/, with
// INSTRUMENT_ROOT, the sanitizer and emulator settings of this process. A sanitizer report in its log fails the test.
#pragma once

#include <string>
#include <sys/types.h>

namespace quibtest {

class WebServer {
public:
    // Returns once the server accepts connections; throws with its log when it cannot start.
    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path) const;

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quibtest
