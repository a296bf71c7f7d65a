// The cookie reader against a reference: pairs split at ';' with the blanks
// after it skipped, a name matched byte for byte up to its '='. The input's
// first line is the name asked for, its first byte the buffer size.
#include <cctype>
#include <cstring>
#include <optional>

#include "cgi/cgi_internal.h"
#include "tests/fuzz/fuzz_support.h"

int cgiMain()
{
    return 0;
}

namespace {

std::optional<std::string> Lookup(const std::string& header, const std::string& name)
{
    for (size_t pos = 0; pos < header.size();) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos)
            end = header.size();
        const std::string pair = header.substr(pos, end - pos);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        pos = end + 1;
        while (pos < header.size() && std::isspace(static_cast<unsigned char>(header[pos])))
            ++pos;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    Input in{data, size};
    const int space = in.Byte();
    const std::string name = in.Until('\n');
    std::string header = in.Rest();
    header = header.substr(0, std::strlen(header.c_str()));
    if (name.find_first_of(";=") != std::string::npos || name.find('\0') != std::string::npos)
        return -1;  // a name the header syntax cannot carry
    cgiCookie = header.data();

    const std::optional<std::string> want = Lookup(header, name);
    char value[256];
    std::memset(value, 'X', sizeof value);
    const cgiFormResultType r = cgiCookieString(name.c_str(), value, space);
    if (!want) {
        Check(r == cgiFormNotFound, "found a cookie that is not there");
    } else {
        const size_t room = space > 0 ? static_cast<size_t>(space) - 1 : 0;
        Check(r == (want->size() > room ? cgiFormTruncated : cgiFormSuccess), "result differs");
        if (space > 0)
            Check(want->substr(0, room) == value, "value differs");
    }
    if (space == 0)
        Check(value[0] == 'X', "wrote into a buffer of size 0");

    int number = 0;
    cgiCookieInteger(name.c_str(), &number, -7);
    char** names = nullptr;
    if (cgiCookies(&names) == cgiFormSuccess) {
        for (char** n = names; *n != nullptr; ++n)
            Check(std::strchr(*n, '=') == nullptr, "a name holds '='");
        cgiStringArrayFree(names);
    }
    cgiCookie = cgiEmptyString;
    return 0;
}
