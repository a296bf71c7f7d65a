// The capture-file reader. Whatever it reads, it leaves no temporary file
// behind once freed; what it accepts is written back and read again to the
// same request (environment, entries, upload bytes).
#include <cstring>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/fuzz/fuzz_support.h"

int cgiMain()
{
    return 0;
}

namespace {

std::string FileBytes(const char* path)
{
    std::string s;
    FILE* f = std::fopen(path, "rb");
    quibfuzz::Check(f != nullptr, "upload file missing");
    char buf[1024];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// The request as a capture keeps it: texts to their NUL, a field's value
// with the valueLength bytes it announces.
std::vector<std::string> Snapshot()
{
    std::vector<std::string> s;
    for (char** text : cgiEnvironmentTexts)
        s.emplace_back(*text);
    s.push_back(std::to_string(cgiContentLength));
    for (const cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        size_t len = std::strlen(e->value);
        const bool file = e->tfileName[0] != '\0';
        if (!file && e->valueLength > static_cast<int>(len))
            len = static_cast<size_t>(e->valueLength);
        s.emplace_back(e->attr);
        s.emplace_back(e->value, len);
        s.emplace_back(e->fileName);
        s.emplace_back(e->contentType);
        s.push_back(std::to_string(e->valueLength));
        s.push_back(file ? FileBytes(e->tfileName) : std::string("-"));
        if (file)
            quibfuzz::Check(static_cast<int>(s.back().size()) == e->valueLength,
                            "upload size differs from valueLength");
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    static const std::string first = Host("/capture1");
    static const std::string second = Host("/capture2");
    WriteFile(first, data, size);

    if (cgiReadEnvironment(first.c_str()) == cgiEnvironmentSuccess) {
        const std::vector<std::string> read = Snapshot();
        Check(cgiWriteEnvironment(second.c_str()) == cgiEnvironmentSuccess, "write back failed");
        Check(cgiReadEnvironment(second.c_str()) == cgiEnvironmentSuccess, "read back failed");
        Check(Snapshot() == read, "read back differs");
    }
    cgiFreeResources();
    Check(TmpFileCount() == 0, "temporary file left");
    return 0;
}
