// form-echo.cgi: answers every request with a report of what the CGI layer
// captured: the request globals and each form entry, with the size and
// SHA-256 of every uploaded file as read back through the file accessors.
// Plain text by default; JSON when PATH_INFO is "/json" (or FORM_ECHO_FORMAT=json).
// FORM_ECHO_CAPTURE=DIR saves each request into a new capture file in DIR;
// FORM_ECHO_REPLAY=FILE answers from a capture file instead of the live request.
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The tool walks the entry list itself, to show the entries in request order
// (the public accessors look fields up by name).
#include "cgi/cgi_internal.h"
#include "platform/platform.h"
#include "tools/common/json.h"
#include "tools/common/sha256.h"
#include "tools/common/text.h"

namespace {

struct Global {
    const char* key;
    char** value;
};

const Global globals[] = {
    {"server_software", &cgiServerSoftware}, {"server_name", &cgiServerName},
    {"gateway_interface", &cgiGatewayInterface}, {"server_protocol", &cgiServerProtocol},
    {"server_port", &cgiServerPort},         {"request_method", &cgiRequestMethod},
    {"path_info", &cgiPathInfo},             {"path_translated", &cgiPathTranslated},
    {"script_name", &cgiScriptName},         {"query_string", &cgiQueryString},
    {"remote_host", &cgiRemoteHost},         {"remote_addr", &cgiRemoteAddr},
    {"auth_type", &cgiAuthType},             {"remote_user", &cgiRemoteUser},
    {"remote_ident", &cgiRemoteIdent},       {"content_type", &cgiContentType},
    {"multipart_boundary", &cgiMultipartBoundary}, {"accept", &cgiAccept},
    {"user_agent", &cgiUserAgent},           {"referrer", &cgiReferrer},
    {"cookie", &cgiCookie},
};

// One line per field in the text report; the backslash is escaped too, so
// that a field's own "\x41" is not read as an escape.
std::string textEscape(const std::string& s)
{
    return tool::escapeBytes(s, "\\");
}

struct FileDigest {
    bool read = false;
    long long size = 0;
    std::string sha256;
};

// Reads the upload through a cgiFile handle. The name-based cgiFormFileOpen
// reaches only the first entry of a name; a later one gets a handle on its own file.
FileDigest digest(cgiFormEntry* e)
{
    FileDigest d;
    cgiFilePtr h = nullptr;
    if (cgiFormEntryFindFirst(e->attr) == e) {
        if (cgiFormFileOpen(e->attr, &h) != cgiFormSuccess)
            return d;
    } else {
        FILE* f = std::fopen(e->tfileName, "rb");
        if (f == nullptr)
            return d;
        h = static_cast<cgiFilePtr>(std::malloc(sizeof(cgiFile)));
        if (h == nullptr) {
            std::fclose(f);
            return d;
        }
        h->stream = f;
    }
    tool::Sha256 sha;
    char buf[65536];
    int got = 0;
    while (cgiFormFileRead(h, buf, sizeof buf, &got) == cgiFormSuccess) {
        sha.update(buf, static_cast<size_t>(got));
        d.size += got;
    }
    cgiFormFileClose(h);
    d.read = true;
    d.sha256 = sha.hex();
    return d;
}

long peakRssKiB()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

bool wantJson()
{
    const char* format = std::getenv("FORM_ECHO_FORMAT");
    return std::strcmp(cgiPathInfo, "/json") == 0 || (format && std::strcmp(format, "json") == 0);
}

// Saves the request into a new file in dir; the file's path, or the
// failure, goes into the report.
void capture(const char* dir, tool::Json& report, std::string& text)
{
    std::string path = std::string(dir) + "/capture-XXXXXX";
    int fd = mkstemp(path.data());
    cgiEnvironmentResultType r = cgiEnvironmentIO;
    if (fd >= 0) {
        close(fd);
        r = cgiWriteEnvironment(path.c_str());
    }
    if (r == cgiEnvironmentSuccess) {
        report["capture"] = path;
        text += "capture: " + textEscape(path) + "\n";
    } else {
        if (fd >= 0)
            unlink(path.c_str());
        report["capture_error"] = static_cast<int>(r);
        text += "capture_error: " + std::to_string(r) + "\n";
    }
}

// Why a capture could not be replayed, in words. The layer answers 0 both for
// a cut file and for an upload it could not spool: the root's tmp/ tells which.
std::string replayReason(cgiEnvironmentResultType r)
{
    if (r == cgiEnvironmentIO) {
        char tmp[1024];
        struct stat st {};
        if (platform_path("/tmp/", tmp, sizeof tmp) != nullptr &&
            (stat(tmp, &st) != 0 || !S_ISDIR(st.st_mode)))
            return std::string("the instrument root has no tmp/ for the uploads: ") + tmp;
        return "the capture is unreadable or cut (or read from a pipe, a record over 1 MiB)";
    }
    if (r == cgiEnvironmentMemory)
        return "an entry is broken off, or beyond a request's limits (1,000 entries, 1 MiB a text)";
    return "not a capture file";
}

}  // namespace

int cgiMain()
{
    // The live request decides the format, also when a capture is replayed.
    const bool json = wantJson();
    tool::Json report = tool::Json::object();
    std::string text;
    if (const char* replay = std::getenv("FORM_ECHO_REPLAY"); replay && *replay) {
        cgiEnvironmentResultType r = cgiReadEnvironment(replay);
        if (r != cgiEnvironmentSuccess) {
            const std::string reason = replayReason(r);
            report["replay_error"] = static_cast<int>(r);
            report["replay_reason"] = reason;
            text += "replay_error: " + std::to_string(r) + "\n";
            text += "replay_reason: " + textEscape(reason) + "\n";
        }
    }
    if (const char* dir = std::getenv("FORM_ECHO_CAPTURE"); dir && *dir)
        capture(dir, report, text);
    for (const Global& g : globals) {
        report[g.key] = std::string(*g.value);
        text += std::string(g.key) + ": " + textEscape(*g.value) + "\n";
    }
    report["content_length"] = cgiContentLength;
    text += "content_length: " + std::to_string(cgiContentLength) + "\n";

    tool::Json entries = tool::Json::array();
    int count = 0;
    for (cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        const bool isFile = e->tfileName[0] != '\0';
        // An in-memory value may hold NUL bytes: valueLength is its true size.
        std::string value(e->value, isFile || e->valueLength < 0 ? 0 : e->valueLength);
        tool::Json j = tool::Json::object();
        j["name"] = std::string(e->attr);
        j["value"] = value;
        j["value_length"] = e->valueLength;
        j["file_name"] = std::string(e->fileName);
        j["content_type"] = std::string(e->contentType);
        j["is_file"] = isFile;
        text += "entry " + std::to_string(++count) + "\n";
        text += "  name: " + textEscape(e->attr) + "\n";
        text += "  value: " + textEscape(value) + "\n";
        text += "  value_length: " + std::to_string(e->valueLength) + "\n";
        text += "  file_name: " + textEscape(e->fileName) + "\n";
        text += "  content_type: " + textEscape(e->contentType) + "\n";
        text += std::string("  is_file: ") + (isFile ? "yes" : "no") + "\n";
        if (isFile) {
            FileDigest d = digest(e);
            j["temp_file"] = std::string(e->tfileName);
            text += "  temp_file: " + textEscape(e->tfileName) + "\n";
            if (d.read) {
                j["size"] = d.size;
                j["sha256"] = d.sha256;
                text += "  size: " + std::to_string(d.size) + "\n";
                text += "  sha256: " + d.sha256 + "\n";
            } else {
                j["size"] = nullptr;
                text += "  size: unreadable\n";
            }
        }
        entries.push_back(std::move(j));
    }
    report["entry_count"] = count;
    report["entries"] = std::move(entries);
    text += "entry_count: " + std::to_string(count) + "\n";
    // Last, so that it covers reading every upload back.
    report["peak_rss_kib"] = peakRssKiB();
    text += "peak_rss_kib: " + std::to_string(peakRssKiB()) + "\n";

    cgiHeaderContentType(json ? "application/json" : "text/plain");
    const std::string body = json ? tool::dumpJson(report) + "\n" : text;
    std::fwrite(body.data(), 1, body.size(), cgiOut);
    return 0;
}
