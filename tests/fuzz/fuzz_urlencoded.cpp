// URL-encoded forms against a reference: pairs split at '&', name and value
// at the first '=', '+' and %XY decoded, a segment without '=' ending the input.
#include <cstring>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/fuzz/fuzz_support.h"

int cgiMain()
{
    return 0;
}

namespace {

int Hex(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

std::string Decode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            if (i + 2 < s.size())  // an escape cut by the end vanishes
                out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    // Decoded bytes after a NUL are not part of the C string the entry holds.
    return out.substr(0, std::strlen(out.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    cgiSetupConstants();
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::pair<std::string, std::string>> want;
    for (size_t pos = 0; pos < text.size();) {
        const size_t eq = text.find('=', pos);
        if (eq == std::string::npos)
            break;
        size_t amp = text.find('&', eq + 1);
        if (amp == std::string::npos)
            amp = text.size();
        want.emplace_back(Decode(text.substr(pos, eq - pos)), Decode(text.substr(eq + 1, amp - eq - 1)));
        pos = amp + 1;
    }

    Check(cgiParseFormInput(text.data(), static_cast<int>(text.size())) == cgiParseSuccess,
          "parse failed");
    size_t i = 0;
    for (const cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next, ++i) {
        Check(i < want.size(), "more entries than pairs");
        Check(want[i].first == e->attr, "name differs");
        Check(want[i].second == e->value, "value differs");
        Check(e->valueLength == static_cast<int>(std::strlen(e->value)), "valueLength differs");
        Check(e->tfileName != nullptr && e->tfileName[0] == '\0', "not a file");
    }
    Check(i == want.size(), "fewer entries than pairs");
    cgiFreeResources();
    return 0;
}
