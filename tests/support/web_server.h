// lighttpd on a free port of 127.0.0.1 for one test, configured from web/lighttpd.conf.in as the demo is.
#pragma once

#include <string>
#include <sys/types.h>

namespace quibtest {

class WebServer {
public:
    // Returns once it accepts connections, or throws with its log. The CGI programs get INSTRUMENT_ROOT and the
    // sanitizer and emulator settings of this process; a sanitizer report of theirs in the log fails the test.
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
