#include "tests/e2e/upgrade_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/support/process.h"

namespace quibtest {

Instrument::Instrument(InitArgs args)
{
    std::vector<std::string> argv = {binPath("instrument"), "init", path(), "--board",
                                      std::to_string(args.board), "--flash", args.flash};
    if (args.loaderGeneration != 0) {
        argv.push_back("--loader-generation");
        argv.push_back(std::to_string(args.loaderGeneration));
    }
    ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    WebServerOptions web;
    web.cgi["/cgi-bin/upgrade.cgi"] = binPath("upgrade.cgi");
    server_ = std::make_unique<WebServer>(web);
}

Instrument::~Instrument()
{
    stopPeers();
}

void Instrument::servePeers(const std::vector<std::string>& options)
{
    stopPeers();
    peers_ = std::make_unique<PeersProcess>(path(), options);
}

void Instrument::stopPeers()
{
    peers_.reset();
}

std::vector<std::string> Instrument::peerLog() const
{
    std::vector<std::string> lines;
    if (!exists("/var/log/peers.jsonl"))
        return lines;
    const std::string log = read("/var/log/peers.jsonl");
    for (size_t pos = 0; pos < log.size();) {
        size_t nl = log.find('\n', pos);
        if (nl == std::string::npos)
            nl = log.size();
        lines.push_back(log.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

std::vector<std::string> Instrument::leftovers() const
{
    std::vector<std::string> left;
    for (const auto& n : list("/tmp")) {
        if (n != "upgrade.lock")
            left.push_back("/tmp/" + n);
    }
    for (const char* dir : {"/NANDdrive/firm/", "/www/system/conf/"}) {
        for (const auto& n : list(dir)) {
            if (n.starts_with("."))
                left.push_back(dir + n);
        }
    }
    return left;
}

std::string Instrument::showJson() const
{
    ProcessResult r = runProcess({binPath("instrument"), "show", path(), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string Reply::refresh() const
{
    const std::string open = "<meta http-equiv=\"Refresh\" content=\"0;";
    size_t b = page.find(open);
    if (b == std::string::npos)
        return "";
    b += open.size();
    size_t e = page.find("\" />", b);
    return e == std::string::npos ? "" : page.substr(b, e - b);
}

namespace {

// runProcess does not search PATH.
std::string curlPath()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t b = 0; b <= dirs.size();) {
        size_t e = dirs.find(':', b);
        if (e == std::string::npos)
            e = dirs.size();
        const std::string p = dirs.substr(b, e - b) + "/curl";
        if (access(p.c_str(), X_OK) == 0)
            return p;
        b = e + 1;
    }
    return "/usr/bin/curl";
}

}  // namespace

Reply post(const Instrument& inst, const std::string& query, const Upload& up)
{
    // The client's copy lives outside the instrument's directories.
    char dir[] = "/tmp/quibclient-XXXXXX";
    Reply rep;
    if (mkdtemp(dir) == nullptr)
        return rep;
    const std::string file = std::string(dir) + "/upload";
    std::ofstream(file, std::ios::binary) << up.content;
    std::string url = inst.server().url("/cgi-bin/upgrade.cgi");
    if (!query.empty())
        url += "?" + query;
    ProcessResult r = runProcess({curlPath(), "-s", "-S", "-i", "--http1.1", "-H", "Expect:", "-F",
                                  up.field + "=@" + file + ";filename=" + up.fileName, url});
    std::filesystem::remove_all(dir);
    const size_t eol = r.out.find("\r\n");
    const size_t end = r.out.find("\r\n\r\n");
    if (r.status != 0 || eol == std::string::npos || end == std::string::npos)
        return rep;
    rep.status = std::atoi(r.out.c_str() + r.out.find(' ') + 1);
    rep.headers = r.out.substr(eol + 2, end + 2 - (eol + 2));
    rep.page = r.out.substr(end + 4);
    return rep;
}

}  // namespace quibtest
