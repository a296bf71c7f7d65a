// The form entry list: the search cursor, string conversion, and the string
// and file accessors through which the application reads its fields.
#include "cgi/cgi_internal.h"

#include <cstdlib>
#include <cstring>

const char* cgiFindTarget = nullptr;
cgiFormEntry* cgiFindPos = nullptr;

char* cgiStrDup(const char* s)
{
    size_t n = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr)
        std::memcpy(copy, s, n);
    return copy;
}

void cgiFreeEntry(cgiFormEntry* e)
{
    if (e == nullptr)
        return;
    std::free(e->attr);
    std::free(e->value);
    std::free(e->fileName);
    std::free(e->contentType);
    std::free(e->tfileName);
    std::free(e);
}

cgiFormEntry** cgiListTail()
{
    cgiFormEntry** link = &cgiFormEntryFirst;
    while (*link != nullptr)
        link = &(*link)->next;
    return link;
}

cgiFormEntry* cgiFormEntryFindFirst(const char* name)
{
    cgiFindTarget = name;
    cgiFindPos = cgiFormEntryFirst;
    return cgiFormEntryFindNext();
}

cgiFormEntry* cgiFormEntryFindNext()
{
    if (cgiFindTarget == nullptr)
        return nullptr;
    while (cgiFindPos != nullptr) {
        cgiFormEntry* e = cgiFindPos;
        cgiFindPos = e->next;
        if (std::strcmp(e->attr, cgiFindTarget) == 0)
            return e;
    }
    return nullptr;
}

// Copies the value up to its first NUL. Each run of CRs and LFs becomes as
// many LFs as the larger of the two counts (CR LF is one line break, a lone
// CR too), or disappears when newlines is zero.
cgiFormResultType cgiFormEntryString(cgiFormEntry* e, char* result, int max, int newlines)
{
    if (max < 1)
        return cgiFormTruncated;
    const int room = max - 1;
    const char* p = e->value;
    int len = 0;
    int crs = 0;
    int lfs = 0;
    bool truncated = false;
    for (;; ++p) {
        char c = *p;
        if (c == '\r') {
            ++crs;
            continue;
        }
        if (c == '\n') {
            ++lfs;
            continue;
        }
        if (newlines) {
            for (int n = crs > lfs ? crs : lfs; n > 0; --n) {
                if (len >= room) {
                    truncated = true;
                    break;
                }
                result[len++] = '\n';
            }
        }
        crs = lfs = 0;
        if (c == '\0')
            break;
        if (len >= room) {
            truncated = true;
            break;
        }
        result[len++] = c;
    }
    result[len] = '\0';
    if (truncated)
        return cgiFormTruncated;
    return len == 0 ? cgiFormEmpty : cgiFormSuccess;
}

namespace {

// The first entry of the name; when there is none, result reads as empty.
cgiFormEntry* findOrClear(const char* name, char* result, int max)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == nullptr && max > 0)
        result[0] = '\0';
    return e;
}

cgiFormResultType stringField(const char* name, char* result, int max, int newlines)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != nullptr ? cgiFormEntryString(e, result, max, newlines) : cgiFormNotFound;
}

// fileName and contentType are delivered as sent, cut to the buffer.
cgiFormResultType copyText(const char* text, char* result, int max, cgiFormResultType ifEmpty)
{
    size_t len = std::strlen(text);
    size_t room = max > 0 ? static_cast<size_t>(max) - 1 : 0;
    size_t n = len < room ? len : room;
    if (max > 0) {
        std::memcpy(result, text, n);
        result[n] = '\0';
    }
    if (len == 0)
        return ifEmpty;
    return len > room ? cgiFormTruncated : cgiFormSuccess;
}

}  // namespace

cgiFormResultType cgiFormString(const char* name, char* result, int max)
{
    return stringField(name, result, max, 1);
}

cgiFormResultType cgiFormStringNoNewlines(const char* name, char* result, int max)
{
    return stringField(name, result, max, 0);
}

cgiFormResultType cgiFormStringSpaceNeeded(const char* name, int* length)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == nullptr) {
        *length = 1;
        return cgiFormNotFound;
    }
    *length = static_cast<int>(std::strlen(e->value)) + 1;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileName(const char* name, char* result, int max)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != nullptr ? copyText(e->fileName, result, max, cgiFormNoFileName) : cgiFormNotFound;
}

cgiFormResultType cgiFormFileContentType(const char* name, char* result, int max)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != nullptr ? copyText(e->contentType, result, max, cgiFormNoContentType) : cgiFormNotFound;
}

cgiFormResultType cgiFormFileSize(const char* name, int* sizeP)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    cgiFormResultType result = cgiFormSuccess;
    int size = 0;
    if (e == nullptr)
        result = cgiFormNotFound;
    else if (e->tfileName[0] == '\0')
        result = cgiFormNotAFile;
    else
        size = e->valueLength;
    if (sizeP != nullptr)
        *sizeP = size;
    return result;
}

cgiFormResultType cgiFormFileOpen(const char* name, cgiFilePtr* cfpp)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == nullptr) {
        *cfpp = nullptr;
        return cgiFormNotFound;
    }
    if (e->tfileName[0] == '\0') {
        *cfpp = nullptr;
        return cgiFormNotAFile;
    }
    auto* cfp = static_cast<cgiFile*>(std::malloc(sizeof(cgiFile)));
    if (cfp == nullptr) {
        *cfpp = nullptr;
        return cgiFormMemory;
    }
    cfp->stream = std::fopen(e->tfileName, "rb");
    if (cfp->stream == nullptr) {
        std::free(cfp);
        return cgiFormIO;
    }
    *cfpp = cfp;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileRead(cgiFilePtr cfp, char* buffer, int bufferSize, int* gotP)
{
    if (cfp == nullptr)
        return cgiFormOpenFailed;
    size_t got = bufferSize > 0 ? std::fread(buffer, 1, static_cast<size_t>(bufferSize), cfp->stream)
                                : 0;
    if (got == 0)
        return cgiFormEOF;
    *gotP = static_cast<int>(got);
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileClose(cgiFilePtr cfp)
{
    if (cfp == nullptr)
        return cgiFormOpenFailed;
    std::fclose(cfp->stream);
    std::free(cfp);
    return cgiFormSuccess;
}
