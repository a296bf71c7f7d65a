// The request entry with a multipart body: the input's first line is
// CONTENT_TYPE, the rest the body. Whatever the parse says, every upload it
// keeps is a file of valueLength bytes, and freeing the request leaves no
// temporary file.
#include <sys/stat.h>
#include <unistd.h>

#include "cgi/cgi_internal.h"
#include "tests/fuzz/fuzz_support.h"

int cgiMain()
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quibfuzz;
    static FILE* body = [] {
        FILE* f = std::fopen(Host("/body").c_str(), "w+b");
        Check(f != nullptr, "open body");
        return f;
    }();
    Input in{data, size};
    const std::string contentType = in.Until('\n');
    const std::string rest = in.Rest();
    Check(ftruncate(fileno(body), 0) == 0, "truncate body");
    std::rewind(body);
    if (!rest.empty())
        Check(std::fwrite(rest.data(), 1, rest.size(), body) == rest.size(), "write body");
    std::fflush(body);
    std::rewind(body);

    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", contentType.c_str(), 1);
    setenv("CONTENT_LENGTH", std::to_string(rest.size()).c_str(), 1);
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
    Check(TmpFileCount() == 0, "temporary file left");
    return 0;
}
