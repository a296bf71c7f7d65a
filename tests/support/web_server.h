// A real web server for end-to-end tests: lighttpd (/usr/sbin/lighttpd -D)
// on a free port of 127.0.0.1 with the demo's configuration (web/lighttpd.conf.in)
// filled in into its own temporary directory: upgrade.cgi, state.cgi and
// form-echo.cgi of build/bin under /cgi-bin/.
//
//   quibtest::TempRoot root;                       // sets INSTRUMENT_ROOT
//   quibtest::WebServer server({});
//   std::string url = server.url("/cgi-bin/upgrade.cgi?url=../index.html");
//
// The CGI programs get the server's CGI/1.1 variables plus: INSTRUMENT_ROOT
// (taken from this process unless env sets it), the sanitizer option
// variables of this process, and everything in env.
// The constructor returns once the server accepts connections (it throws
// std::runtime_error with the server's error log when it cannot start); the
// destructor stops it and removes its directory. CGI programs' standard error
// ends up in errorLog().
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

namespace quibtest {

struct WebServerOptions {
    std::string documentRoot;                // static files; empty: an empty directory
    std::map<std::string, std::string> env;  // extra environment for the CGI programs
};

class WebServer {
public:
    explicit WebServer(const WebServerOptions& options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path = "/") const;
    // The server's error log so far (startup lines, CGI standard error).
    std::string errorLog() const;
    // The server's own directory (configuration, logs, request-body spool).
    const std::string& dir() const { return dir_; }

private:
    bool start(const WebServerOptions& options, int port);
    void stop();

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quibtest
