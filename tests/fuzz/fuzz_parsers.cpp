// Every parser of the tree, chosen by the input's first byte (the seeds begin with '0' to '6'), most
// against a reference. A request the layer accepts is written to a capture and read back to the same
// request, every upload a file of valueLength bytes; freeing it leaves no temporary file.
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>

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

// Host path below a fresh root (with its tmp/) made on first use in QUIB_FUZZ_DIR, which
// run_fuzz.sh keeps in memory when it can: the input files are rewritten on every run.
std::string Host(const char* instrumentPath)
{
    static const std::string root = [] {
        const char* dir = std::getenv("QUIB_FUZZ_DIR");
        std::string r = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/quibfuzz-XXXXXX";
        Check(mkdtemp(r.data()) != nullptr && mkdir((r + "/tmp").c_str(), 0700) == 0, "make the root");
        setenv("INSTRUMENT_ROOT", r.c_str(), 1);
        return r;
    }();
    return root + instrumentPath;
}

void WriteFile(const std::string& path, const std::string& data)
{
    Check(static_cast<bool>(std::ofstream(path, std::ios::binary) << data), "write input file");
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
    std::string CString() const { return rest.substr(0, std::strlen(rest.c_str())); }
};

// The request as a capture keeps it: texts to their NUL, a field's value with the
// valueLength bytes it announces, an upload's bytes.
std::vector<std::string> Snapshot()
{
    std::vector<std::string> s;
    for (char** text : cgiEnvironmentTexts)
        s.emplace_back(*text);
    s.push_back(std::to_string(cgiContentLength));
    for (const cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        const bool file = e->tfileName[0] != '\0';
        const int length = std::max(static_cast<int>(std::strlen(e->value)), file ? 0 : e->valueLength);
        const std::string value(e->value, static_cast<size_t>(length));
        std::ostringstream bytes;
        if (file) {
            std::ifstream upload(e->tfileName, std::ios::binary);
            bytes << upload.rdbuf();  // fails on an empty file, which the size below allows
            Check(upload.is_open() && static_cast<int>(bytes.str().size()) == e->valueLength,
                  "upload missing or its size differs from valueLength");
        }
        s.insert(s.end(), {e->attr, value, bytes.str(), e->fileName, e->contentType, std::to_string(e->valueLength)});
    }
    return s;
}

void ReadBack()
{
    static const std::string capture = Host("/capture2");
    const std::vector<std::string> before = Snapshot();
    Check(cgiWriteEnvironment(capture.c_str()) == cgiEnvironmentSuccess, "write back failed");
    Check(cgiReadEnvironment(capture.c_str()) == cgiEnvironmentSuccess, "read back failed");
    Check(Snapshot() == before, "read back differs");
}

int Hex(char c)  // a byte that is no hex digit is worth 0
{
    return std::isxdigit(static_cast<unsigned char>(c)) ? std::stoi(std::string(1, c), nullptr, 16) : 0;
}

// '+' a space, %XY its byte (an escape cut by the end vanishes), up to the first NUL.
std::string Decode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size())
            out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
        else if (s[i] != '%')
            out += s[i] == '+' ? ' ' : s[i];
        i += s[i] == '%' ? 2 : 0;
    }
    return out.substr(0, std::strlen(out.c_str()));
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
        Check(e->valueLength == static_cast<int>(std::strlen(e->value)) && e->tfileName[0] == '\0', "entry differs");
        pos = amp + 1;
    }
    Check(e == nullptr, "more entries than pairs");
}

// Pairs split at ';' with the blanks after it skipped, a name matched byte for byte up to its '='.
void Cookies(Input& in)
{
    const int space = in.Byte();
    const std::string name = in.Until('\n');
    std::string header = in.CString();
    if (name.find_first_of(std::string(";=\0", 3)) != std::string::npos)
        return;  // a name the header syntax cannot carry
    std::optional<std::string> want;
    for (size_t pos = 0; pos < header.size() && !want;) {
        const size_t end = std::min(header.find(';', pos), header.size());
        if (header.compare(pos, name.size() + 1, name + "=") == 0)
            want = header.substr(pos + name.size() + 1, end - pos - name.size() - 1);
        for (pos = end + 1; pos < header.size() && std::isspace(static_cast<unsigned char>(header[pos]));)
            ++pos;
    }
    cgiCookie = header.data();
    char value[256];
    std::memset(value, 'X', sizeof value);
    const cgiFormResultType r = cgiCookieString(name.c_str(), value, space);
    const size_t room = space > 0 ? static_cast<size_t>(space) - 1 : 0;
    Check(r == (!want ? cgiFormNotFound : want->size() > room ? cgiFormTruncated : cgiFormSuccess), "result differs");
    Check(space == 0 ? value[0] == 'X' : !want || want->substr(0, room) == value, "value differs");
    cgiCookie = cgiEmptyString;
}

// The value of key in the page's Refresh query: printable bytes but '#', '+' and '"', and whole %XY escapes.
std::string Param(const std::string& query, const std::string& key)
{
    const size_t at = query.find("&" + key + "=");
    Check(at != std::string::npos, "parameter missing");
    std::string out;
    for (size_t i = at + key.size() + 2; i < query.size() && query[i] != '&'; ++i) {
        const unsigned char c = query[i];
        Check(c > 0x20 && c < 0x7F && std::strchr("#+\"", c) == nullptr, "unencoded byte in a value");
        auto upperHex = [&](size_t j) { return j < query.size() && std::strchr("0123456789ABCDEF", query[j]); };
        Check(c != '%' || (upperHex(i + 1) && upperHex(i + 2) && query[i + 1] && query[i + 2]), "broken escape");
        out += c == '%' ? static_cast<char>(Hex(query[i + 1]) * 16 + Hex(query[i + 2])) : static_cast<char>(c);
        i += c == '%' ? 2 : 0;
    }
    return out;
}

// The url token stays relative; the Refresh attribute is whole, the url token and a query whose
// type, name and port decode whole.
void QueryAndPage(Input& in)
{
    const int outcome = in.Byte() % 2 == 0 ? 0 : 101 + in.Byte() % 9;
    const std::string type = in.Until('\0'), name = in.Until('\0');
    std::string qs = in.CString();
    UpgradeQuery q{};
    ScanQueryString(qs.data(), &q);
    Check(std::strncmp(q.urlToken, "url=", 4) == 0 && IsRelativeReference(q.urlToken + 4), "url token not relative");
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    WriteResultPage(out, outcome, &q, type.c_str(), name.c_str());
    std::fclose(out);
    const std::string page(buf, len), open = "<meta http-equiv=\"Refresh\" content=\"0;";
    std::free(buf);
    const size_t start = page.find(open) + open.size(), end = page.find('"', start);
    Check(page.find(open) != std::string::npos && page.compare(end, std::string::npos, "\" /></head><body></body></html>") == 0,
          "the Refresh attribute ends early");
    const std::string target = page.substr(start, end - start), url = q.urlToken;
    Check(target.compare(0, url.size(), url) == 0 && target.size() > url.size() && target[url.size()] == '?',
          "target is not the url token and a query");
    const std::string query = "&" + target.substr(url.size() + 1);
    if (outcome == 0 && (q.restoreKind == 0 || q.udpPort != 0))
        Check(Param(query, "type") == type && Param(query, "name") == name, "type or name does not decode whole");
    if (q.udpPort != 0)
        Check(Param(query, "port") == std::string(1, static_cast<char>(q.udpPort)), "port does not decode whole");
}

// 13 bytes skipped, three texts of at most 31 bytes each ended by ',', then up to six "%d,"
// integers, all within the first 256 bytes.
void Names(Input& in)
{
    static const std::string path = Host("/tmp/Noms");
    WriteFile(path, in.rest);
    const std::string head = in.rest.substr(0, 256);
    std::string fields[3];
    int want = 1;
    size_t pos = 13, field = 0, comma = 0;
    for (; field < 3 && pos < head.size() && comma != std::string::npos; ++field, pos = comma + 1) {
        comma = head.find(',', pos);
        fields[field] = head.substr(pos, std::min(comma, head.size()) - pos);
        if (fields[field].size() > 31) {
            want = -1;
            fields[field].clear();
            break;
        }
    }
    // The integers only after all three texts' ','; judged when none has more than nine
    // digits, as sscanf's own overflow is undefined.
    const std::string rest = want == 1 && field == 3 && comma != std::string::npos ? head.substr(pos) : "-";
    int32_t values[6] = {-11, -12, -13, -14, -15, -16};
    std::copy(values, values + 6, S_EtatLoader.dspValues);
    static const std::regex tenDigits("[0-9]{10}");
    const bool judged = rest != "-" && !std::regex_search(rest, tenDigits);
    if (judged)
        std::sscanf(rest.c_str(), "%d,%d,%d,%d,%d,%d", &values[0], &values[1], &values[2], &values[3], &values[4], &values[5]);
    Check(F_LoaderDSPNomsDSP() == want, "result differs");
    const char* texts[3] = {S_EtatLoader.loaderVersionText, S_EtatLoader.firmwareVersionText,
                            S_EtatLoader.serialNumberText};
    for (int i = 0; i < 3; ++i)
        Check(std::strcmp(fields[i].c_str(), texts[i]) == 0, "text differs");  // a NUL ends the text
    Check(!judged || std::memcmp(S_EtatLoader.dspValues, values, sizeof values) == 0, "integers differ");
    std::remove(path.c_str());
}

// After the first "DSP4" (or from the start), within 32 positions, the first two numbers of one or two digits.
void Version(Input& in)
{
    const std::string text = in.CString();
    const size_t marker = text.find("DSP4");
    const std::string from = marker == std::string::npos ? text : text.substr(marker + 4);
    const std::string head = from.substr(0, 33);  // a number begins within 32 positions
    static const std::regex number("[0-9]{1,2}");
    int32_t want[2] = {0, 0}, major = -1, minor = -1, found = 0;
    for (std::sregex_iterator m(head.begin(), head.end(), number), end; m != end && found < 2 && m->position() < 32; ++m)
        want[found++] = std::stoi(m->str());
    Check(F_GetFirmVersion(text.c_str(), &major, &minor) == 0 && major == want[0] && minor == want[1], "version differs");
    for (int c = -1; c < 256; ++c)
        Check(IsNumeric(c) == (c >= '0' && c <= '9'), "IsNumeric differs");
}

// A length byte around the body's (128: exact; 254: -1; 255: 2 GiB), CONTENT_TYPE's line, the body.
void Multipart(Input& in)
{
    static const std::string body = Host("/body");
    const int length = in.Byte();
    setenv("CONTENT_TYPE", in.Until('\n').c_str(), 1);
    const long announced = std::max(0L, static_cast<long>(in.rest.size()) + length - 128);
    setenv("CONTENT_LENGTH", length == 255 ? "2147483647" : length == 254 ? "-1" : std::to_string(announced).c_str(), 1);
    setenv("REQUEST_METHOD", "POST", 1);
    WriteFile(body, in.rest);
    cgiIn = std::fopen(body.c_str(), "rb");
    if (cgiCaptureAndParse() == cgiParseSuccess)
        ReadBack();
    std::fclose(cgiIn);
}

void Capture(Input& in)
{
    static const std::string capture = Host("/capture1");
    WriteFile(capture, in.rest);
    if (cgiReadEnvironment(capture.c_str()) == cgiEnvironmentSuccess)
        ReadBack();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static void (*const parsers[8])(Input&) = {Multipart, UrlEncoded, Cookies, Capture, QueryAndPage, Names, Version, Version};
    Input in{std::string(reinterpret_cast<const char*>(data), size)};
    parsers[in.Byte() % 8](in);
    cgiFreeResources();
    Check(std::filesystem::is_empty(Host("/tmp")), "temporary file left");
    return 0;
}
