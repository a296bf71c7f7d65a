// The query-string scan and the result page. The page's Refresh target must
// stay on the instrument, hold no raw double quote, and give the calling
// page back the type, name and port whole once it decodes them.
#include <cstring>

#include "tests/fuzz/fuzz_support.h"
#include "upgrade/upgrade_internal.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int Hex(char c)
{
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

// The value of key in the Refresh target's query, percent-decoded.
std::string Param(const std::string& query, const std::string& key)
{
    const size_t at = query.find("&" + key + "=");
    quibfuzz::Check(at != std::string::npos, "parameter missing");
    const size_t start = at + key.size() + 2;
    const size_t end = query.find('&', start);
    const std::string raw = query.substr(start, end == std::string::npos ? end : end - start);
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        quibfuzz::Check(c > 0x20 && c < 0x7F && std::strchr("#+\"", c) == nullptr,
                        "unencoded byte in a value");
        if (c == '%') {
            quibfuzz::Check(i + 2 < raw.size() && std::strchr(kHexDigits, raw[i + 1]) != nullptr &&
                                std::strchr(kHexDigits, raw[i + 2]) != nullptr,
                            "broken escape");
            out += static_cast<char>(Hex(raw[i + 1]) * 16 + Hex(raw[i + 2]));
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    Input in{data, size};
    const int outcome = in.Byte() % 2 == 0 ? 0 : 101 + in.Byte() % 9;
    const std::string type = in.Until('\0');
    const std::string name = in.Until('\0');
    std::string qs = in.Rest();
    qs = qs.substr(0, std::strlen(qs.c_str()));

    UpgradeQuery q{};
    ScanQueryString(qs.data(), &q);
    Check(std::strncmp(q.urlToken, "url=", 4) == 0, "url token without its key");
    Check(IsRelativeReference(q.urlToken + 4), "url token not relative");

    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    WriteResultPage(out, outcome, &q, type.c_str(), name.c_str());
    std::fclose(out);
    const std::string page(buf, len);
    std::free(buf);

    const std::string open = "<meta http-equiv=\"Refresh\" content=\"0;";
    const size_t at = page.find(open);
    Check(at != std::string::npos, "no Refresh element");
    const size_t start = at + open.size();
    const size_t end = page.find('"', start);
    Check(page.compare(end, std::string::npos, "\" /></head><body></body></html>") == 0,
          "the Refresh attribute ends early");
    // The url token goes out as it stands (it holds no quote), the outcome's query behind it.
    const std::string target = page.substr(start, end - start);
    const size_t urlLen = std::strlen(q.urlToken);
    Check(target.compare(0, urlLen, q.urlToken) == 0 && target.size() > urlLen &&
              target[urlLen] == '?',
          "target is not the url token and a query");
    const std::string query = "&" + target.substr(urlLen + 1);
    if (outcome == 0 && (q.restoreKind == 0 || q.udpPort != 0)) {
        Check(Param(query, "type") == type, "type does not decode whole");
        Check(Param(query, "name") == name, "name does not decode whole");
    }
    if (q.udpPort != 0)
        Check(Param(query, "port") == std::string(1, static_cast<char>(q.udpPort)),
              "port does not decode whole");
    return 0;
}
