// The firmware version parser against a reference: after the first "DSP4"
// (or from the start), within 32 positions, the first two numbers of one or
// two digits.
#include <cctype>
#include <cstring>

#include "loader/LoaderCommun.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, std::strlen(text.c_str()));

    const size_t marker = text.find("DSP4");
    const std::string from = marker == std::string::npos ? text : text.substr(marker + 4);
    int32_t want[2] = {0, 0};
    int found = 0;
    for (size_t i = 0; i < 32 && i < from.size() && found < 2; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(from[i])))
            continue;
        want[found] = from[i] - '0';
        if (i + 1 < from.size() && std::isdigit(static_cast<unsigned char>(from[i + 1])))
            want[found] = want[found] * 10 + from[++i] - '0';
        ++found;
    }

    int32_t major = -1;
    int32_t minor = -1;
    Check(F_GetFirmVersion(text.c_str(), &major, &minor) == 0, "result not 0");
    Check(major == want[0] && minor == want[1], "version differs");
    static const bool digitsChecked = [] {
        for (int c = -1; c < 256; ++c)
            Check(IsNumeric(c) == (c >= '0' && c <= '9'), "IsNumeric differs");
        return true;
    }();
    (void)digitsChecked;
    return 0;
}
