// Every parser of the tree, chosen by the input's first byte (the seeds begin with '0' to '6'): what each
// accepts must survive a capture round trip, a short reference or an invariant; nothing may be left in tmp/.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "cgi/cgi_internal.h"
#include "loader/LoaderCommun.h"
#include "upgrade/upgrade_internal.h"

namespace {

// A wrong result: printed, then an abort that libFuzzer records with the input.
void Check(bool ok, const char* what)
{
    if (!ok)
        std::fprintf(stderr, "fuzz check failed: %s\n", what), std::abort();
}

// Host path below a fresh root (with its tmp/) made on first use in QUIB_FUZZ_DIR, which run_fuzz.sh
// keeps in memory when it can: the input files (content, when given) are rewritten on every run.
std::string Host(const char* instrumentPath, const std::string* content = nullptr)
{
    static const std::string root = [] {
        const char* dir = std::getenv("QUIB_FUZZ_DIR");
        std::string r = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/quibfuzz-XXXXXX";
        Check(mkdtemp(r.data()) != nullptr && mkdir((r + "/tmp").c_str(), 0700) == 0, "make the root");
        setenv("INSTRUMENT_ROOT", r.c_str(), 1);
        return r;
    }();
    const std::string path = root + instrumentPath;
    Check(!content || std::ofstream(path, std::ios::binary) << *content, "write input file");
    return path;
}

// The input consumed front to back.
struct Input {
    std::string rest;
    int Byte()
    {
        const int b = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]);
        rest.erase(0, 1);
        return b;
    }
    std::string Until(char sep)  // the text up to the first sep (dropped), or all that is left
    {
        const size_t n = rest.find(sep);
        std::string s = rest.substr(0, n);
        rest.erase(0, n == std::string::npos ? n : n + 1);
        return s;
    }
    std::string CString() const { return rest.c_str(); }
};

// The request written to a capture (which fails for an upload that is not valueLength bytes), read
// back and written again gives the same file; every upload is there.
void ReadBack()
{
    static const std::string first = Host("/capture2"), second = Host("/capture3");
    for (const cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next)
        Check(e->tfileName[0] == '\0' || access(e->tfileName, R_OK) == 0, "upload missing");
    Check(cgiWriteEnvironment(first.c_str()) == cgiEnvironmentSuccess, "write failed");
    Check(cgiReadEnvironment(first.c_str()) == cgiEnvironmentSuccess, "read back failed");
    Check(cgiWriteEnvironment(second.c_str()) == cgiEnvironmentSuccess, "write of the replay failed");
    std::ifstream a(first, std::ios::binary), b(second, std::ios::binary);
    Check(std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {}),
          "read back differs");
}

// A length byte around the body's (128: exact; 254: -1; 255: 2 GiB), CONTENT_TYPE's line, the body.
void Multipart(Input& in)
{
    const int length = in.Byte();
    setenv("CONTENT_TYPE", in.Until('\n').c_str(), 1);
    const long announced = std::max(0L, static_cast<long>(in.rest.size()) + length - 128);
    setenv("CONTENT_LENGTH",
           length == 255 ? "2147483647" : length == 254 ? "-1" : std::to_string(announced).c_str(), 1);
    setenv("REQUEST_METHOD", "POST", 1);
    cgiIn = std::fopen(Host("/body", &in.rest).c_str(), "rb");
    if (cgiCaptureAndParse() == cgiParseSuccess)
        ReadBack();
    std::fclose(cgiIn);
}

void Capture(Input& in)
{
    if (cgiReadEnvironment(Host("/capture1", &in.rest).c_str()) == cgiEnvironmentSuccess)
        ReadBack();
}

// '+' a space, %XY its byte (a byte that is no hex digit is worth 0; an escape cut by the end
// vanishes), up to the first NUL.
std::string Decode(const std::string& s)
{
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) ? (c & 15) + (c > '9' ? 9 : 0) : 0; };
    std::string out;
    for (size_t i = 0; i < s.size(); i += s[i] == '%' ? 3 : 1) {
        if (s[i] != '%')
            out += s[i] == '+' ? ' ' : s[i];
        else if (i + 2 < s.size())
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
    }
    return out.c_str();
}

// Pairs split at '&', name and value at the first '='; a segment without one ends the form.
void UrlEncoded(Input& in)
{
    const std::string& text = in.rest;
    cgiSetupConstants();
    Check(cgiParseFormInput(text.data(), static_cast<int>(text.size())) == cgiParseSuccess, "parse failed");
    const cgiFormEntry* e = cgiFormEntryFirst;
    for (size_t pos = 0, eq; pos < text.size() && (eq = text.find('=', pos)) != std::string::npos; e = e->next) {
        const size_t amp = std::min(text.find('&', eq + 1), text.size());
        Check(e != nullptr && Decode(text.substr(pos, eq - pos)) == e->attr, "name differs");
        Check(Decode(text.substr(eq + 1, amp - eq - 1)) == e->value, "value differs");
        pos = amp + 1;
    }
    Check(e == nullptr, "more entries than pairs");
}

// A reader no program calls, run for what it may break: the value stays within its buffer.
void Cookies(Input& in)
{
    const int space = in.Byte();
    const std::string name = in.Until('\n'), header = in.CString();
    cgiCookie = const_cast<char*>(header.c_str());
    char value[256] = "X";
    cgiCookieString(name.c_str(), value, space);
    cgiCookie = cgiEmptyString;
    Check(space == 0 ? value[0] == 'X' : std::strlen(value) < static_cast<size_t>(space), "value overruns its buffer");
}

// The url token stays relative; the page's Refresh attribute is whole: the url token and a query whose
// values are printable bytes but '#', '+' and '"', and whole upper-case %XY escapes, and where type,
// name and port decode whole.
void QueryAndPage(Input& in)
{
    const int outcome = in.Byte() % 2 == 0 ? 0 : 101 + in.Byte() % 9;
    const std::string type = in.Until('\0'), name = in.Until('\0');
    std::string qs = in.CString();
    UpgradeQuery q{};
    ScanQueryString(qs.data(), &q);
    Check(std::string(q.urlToken).rfind("url=", 0) == 0 && IsRelativeReference(q.urlToken + 4),
          "url token not relative");
    // The token as the attribute holds it: '"' and '<' written as character references.
    std::string url;
    for (const char* c = q.urlToken; *c != '\0'; ++c)
        url += *c == '"' ? "&#34;" : *c == '<' ? "&#60;" : std::string(1, *c);
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    WriteResultPage(out, outcome, &q, type.c_str(), name.c_str());
    std::fclose(out);
    const std::string page(buf, len), open = "<meta http-equiv=\"Refresh\" content=\"0;";
    std::free(buf);
    const size_t start = page.find(open) + open.size(), end = page.find('"', start);
    Check(page.find(open) != std::string::npos && page.compare(start, url.size() + 1, url + "?") == 0 &&
              page.compare(end, std::string::npos, "\" /></head><body></body></html>") == 0,
          "the Refresh attribute is not the url token and a query");
    const std::string query = "&" + page.substr(start + url.size() + 1, end - start - url.size() - 1);
    static const std::regex unencoded("%(?![0-9A-F]{2})|[^!$-*,-~]");
    Check(!std::regex_search(query, unencoded), "unencoded byte or broken escape in the query");
    auto param = [&](const std::string& key) {
        const size_t found = query.find("&" + key + "="), at = found + key.size() + 2;
        Check(found != std::string::npos, "parameter missing");
        return Decode(query.substr(at, query.find('&', at) - at));
    };
    if (outcome == 0 && (q.restoreKind == 0 || q.udpPort != 0))
        Check(param("type") == type && param("name") == name, "type or name does not decode whole");
    if (q.udpPort != 0)
        Check(param("port") == std::string(1, static_cast<char>(q.udpPort)), "port does not decode whole");
}

// The names file: whatever it holds, each text ends within its buffer.
void Names(Input& in)
{
    const std::string path = Host("/tmp/Noms", &in.rest);
    F_LoaderDSPNomsDSP();
    for (const char* text : {S_EtatLoader.loaderVersionText, S_EtatLoader.firmwareVersionText,
                             S_EtatLoader.serialNumberText})
        Check(std::memchr(text, '\0', sizeof S_EtatLoader.loaderVersionText) != nullptr, "text not terminated");
    std::remove(path.c_str());
}

// Any name: a version of two numbers from 0 to 99.
void Version(Input& in)
{
    int32_t v[2] = {-1, -1};
    F_GetFirmVersion(in.CString().c_str(), &v[0], &v[1]);
    Check(v[0] >= 0 && v[0] <= 99 && v[1] >= 0 && v[1] <= 99, "version out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static void (*const parsers[8])(Input&) = {Multipart, UrlEncoded, Cookies, Capture,
                                               QueryAndPage, Names, Version, Version};
    Input in{std::string(reinterpret_cast<const char*>(data), size)};
    parsers[in.Byte() % 8](in);
    cgiFreeResources();
    Check(std::filesystem::is_empty(Host("/tmp")), "temporary file left");
    return 0;
}
