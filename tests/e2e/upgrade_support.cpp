#include "tests/e2e/upgrade_support.h"

#include <gtest/gtest.h>

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

Reply postDirect(const Instrument& inst, const std::string& query, const Upload& up)
{
    const std::string boundary = "----quibE2eBoundary7MA4YWxk";
    std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                       up.field + "\"; filename=\"" + up.fileName +
                       "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + up.content +
                       "\r\n--" + boundary + "--\r\n";
    ProcessResult r = runProcess(
        {binPath("upgrade.cgi")},
        {{"INSTRUMENT_ROOT", inst.path()},
         {"GATEWAY_INTERFACE", "CGI/1.1"},
         {"REQUEST_METHOD", "POST"},
         {"QUERY_STRING", query},
         {"CONTENT_TYPE", "multipart/form-data; boundary=" + boundary},
         {"CONTENT_LENGTH", std::to_string(body.size())}},
        body);
    Reply rep;
    rep.status = r.status;
    rep.err = r.err;
    const size_t end = r.out.find("\r\n\r\n");
    if (end != std::string::npos) {
        rep.headers = r.out.substr(0, end + 2);
        rep.page = r.out.substr(end + 4);
    } else {
        rep.page = r.out;
    }
    return rep;
}

Reply post(const Instrument& inst, const std::string& query, const Upload& up)
{
    Reply r = postDirect(inst, query, up);
    r.status = r.status == 0 ? 200 : 500;
    return r;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xFF);
    return s;
}

uint32_t byteSum(const std::string& s)
{
    uint32_t sum = 0;
    for (unsigned char c : s)
        sum += c;
    return sum;
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

}  // namespace quibtest
