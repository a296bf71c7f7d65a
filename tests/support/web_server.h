// lighttpd (/usr/sbin/lighttpd -D) on a free port of 127.0.0.1 for one test,
// with the demo's configuration (web/lighttpd.conf.in) filled in in its own
// temporary directory: upgrade.cgi, state.cgi and form-echo.cgi of build/bin
// under /cgi-bin/. The CGI programs get INSTRUMENT_ROOT, the sanitizer and
// emulator settings of this process, and env. A sanitizer report of theirs in
// the server's log fails the test.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

namespace quibtest {

class WebServer {
public:
    // Returns once the server accepts connections; throws with its log when it cannot start.
    explicit WebServer(const std::map<std::string, std::string>& env = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path) const;

private:
    bool start(std::string conf, int port);

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quibtest
