// The request entry with a multipart body: the input's first byte chooses
// CONTENT_LENGTH around the body's true length (128: exact; 254: -1; 255: an
// announced 2 GiB), its first line is CONTENT_TYPE, the rest the body. Whatever the parse says, every upload it
// keeps is a file of valueLength bytes, and freeing the request leaves no
// temporary file.
#include <sys/stat.h>

#include "cgi/cgi_internal.h"
#include "tests/fuzz/fuzz_support.h"

int cgiMain()
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    static const std::string bodyPath = Host("/body");
    Input in{data, size};
    const int length = in.Byte();
    const std::string contentType = in.Until('\n');
    const std::string rest = in.Rest();
    WriteFile(bodyPath, reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    FILE* body = std::fopen(bodyPath.c_str(), "rb");
    Check(body != nullptr, "open body");

    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", contentType.c_str(), 1);
    const long announced = static_cast<long>(rest.size()) + length - 128;
    setenv("CONTENT_LENGTH",
           length == 255   ? "2147483647"
           : length == 254 ? "-1"
                           : std::to_string(announced < 0 ? 0 : announced).c_str(),
           1);
    cgiIn = body;
    cgiOut = stdout;

    if (cgiCaptureAndParse() == cgiParseSuccess) {
        for (const cgiFormEntry* e = cgiFormEntryFirst; e != nullptr; e = e->next) {
            Check(e->attr && e->value && e->fileName && e->contentType && e->tfileName,
                  "entry with a null text");
            Check(e->valueLength >= 0, "negative valueLength");
            if (e->tfileName[0] == '\0')
                continue;
            struct stat st {};
            Check(stat(e->tfileName, &st) == 0, "upload file missing");
            Check(st.st_size == e->valueLength, "upload size differs from valueLength");
        }
    }
    cgiFreeResources();
    std::fclose(body);
    cgiIn = nullptr;
    Check(TmpFileCount() == 0, "temporary file left");
    return 0;
}
