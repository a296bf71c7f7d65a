#include "tests/e2e/upgrade_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"

namespace quibtest {

ProcessResult instrument(std::vector<std::string> args)
{
    args.insert(args.begin(), binPath("instrument"));
    return runProcess(args);
}

void writeAt(const std::string& hostPath, uint32_t offset, const std::string& bytes)
{
    std::fstream f(hostPath, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Instrument::Instrument(InitArgs args)
{
    std::vector<std::string> argv = {"init", path(), "--board", std::to_string(args.board),
                                      "--flash", args.flash};
    if (args.loaderGeneration != 0) {
        argv.push_back("--loader-generation");
        argv.push_back(std::to_string(args.loaderGeneration));
    }
    ProcessResult r = instrument(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    server_ = std::make_unique<WebServer>(WebServerOptions {});
}

void Instrument::servePeers(const std::vector<std::string>& options)
{
    peers_.reset();  // the old peers first: both would serve the same names
    peers_ = std::make_unique<PeersProcess>(path(), options);
}

std::vector<std::string> Instrument::peerLog() const
{
    std::vector<std::string> lines;
    std::istringstream log(exists("/var/log/peers.jsonl") ? read("/var/log/peers.jsonl") : "");
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
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
    ProcessResult r = instrument({"show", path(), "--json"});
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

Reply post(const Instrument& inst, const std::string& query, const Upload& up,
           const std::vector<std::string>& headers)
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
    // Debian's curl, as the Makefile installs it (runProcess does not search PATH).
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-S", "-i", "--http1.1", "-H", "Expect:", "-F",
                                     up.field + "=@" + file + ";filename=" + up.fileName, url};
    for (const auto& h : headers)
        argv.insert(argv.end() - 1, {"-H", h});
    ProcessResult r = runProcess(argv);
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
