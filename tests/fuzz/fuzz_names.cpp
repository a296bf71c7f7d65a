// The names file against a reference: 13 bytes skipped, three texts of at
// most 31 bytes each ended by ',', then up to six "%d," integers, all within
// the first 256 bytes.
#include <cctype>
#include <cstring>

#include "loader/LoaderCommun.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    static const std::string path = Host("/tmp/Noms");
    WriteFile(path, data, size);

    const std::string head(reinterpret_cast<const char*>(data), size < 256 ? size : 256);
    std::string fields[3];
    int want = 1;
    size_t pos = 13;
    size_t field = 0;
    for (; field < 3 && pos < head.size(); ++field) {
        const size_t comma = head.find(',', pos);
        const size_t end = comma == std::string::npos ? head.size() : comma;
        if (end - pos > 31) {
            want = -1;
            break;
        }
        fields[field] = head.substr(pos, end - pos);
        pos = end + 1;
        if (comma == std::string::npos)
            break;
    }
    // The integers only when all three texts ended in their ','.
    int32_t values[6] = {-11, -12, -13, -14, -15, -16};
    const bool numbers = want == 1 && field == 3 && pos <= head.size();
    const std::string rest = numbers ? head.substr(pos) : std::string();
    // sscanf's own overflow is undefined: judge the integers when no number
    // has more than nine digits.
    size_t run = 0;
    size_t longest = 0;
    for (char c : rest) {
        run = std::isdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
        longest = run > longest ? run : longest;
    }
    const bool small = longest <= 9;
    if (numbers && small) {
        int v[6] = {-11, -12, -13, -14, -15, -16};
        std::sscanf(rest.c_str(), "%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        for (int i = 0; i < 6; ++i)
            values[i] = v[i];
    }

    for (int i = 0; i < 6; ++i)
        S_EtatLoader.dspValues[i] = -11 - i;
    Check(F_LoaderDSPNomsDSP() == want, "result differs");
    Check(std::strcmp(S_EtatLoader.loaderVersionText, fields[0].c_str()) == 0, "loader text differs");
    Check(std::strcmp(S_EtatLoader.firmwareVersionText, fields[1].c_str()) == 0,
          "firmware text differs");
    Check(std::strcmp(S_EtatLoader.serialNumberText, fields[2].c_str()) == 0, "serial text differs");
    if (numbers && small)
        Check(std::memcmp(S_EtatLoader.dspValues, values, sizeof values) == 0, "integers differ");
    return 0;
}
