// The form entry list: the search cursor, string conversion, and the string
// and file accessors through which the application reads its fields.
#include "cgi/cgi_internal.h"

#include <stdlib.h>
#include <string.h>

const char* cgiFindTarget = NULL;
cgiFormEntry* cgiFindPos = NULL;

char* cgiStrDup(const char* s)
{
    size_t n = strlen(s) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy != NULL)
        memcpy(copy, s, n);
    return copy;
}

void cgiFreeEntry(cgiFormEntry* e)
{
    if (e == NULL)
        return;
    free(e->attr);
    free(e->value);
    free(e->fileName);
    free(e->contentType);
    free(e->tfileName);
    free(e);
}

cgiFormEntry** cgiListTail()
{
    cgiFormEntry** link = &cgiFormEntryFirst;
    while (*link != NULL)
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
    if (cgiFindTarget == NULL)
        return NULL;
    while (cgiFindPos != NULL) {
        cgiFormEntry* e = cgiFindPos;
        cgiFindPos = e->next;
        if (strcmp(e->attr, cgiFindTarget) == 0)
            return e;
    }
    return NULL;
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
    if (e == NULL && max > 0)
        result[0] = '\0';
    return e;
}

cgiFormResultType stringField(const char* name, char* result, int max, int newlines)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != NULL ? cgiFormEntryString(e, result, max, newlines) : cgiFormNotFound;
}

// fileName and contentType are delivered as sent, cut to the buffer.
cgiFormResultType copyText(const char* text, char* result, int max, cgiFormResultType ifEmpty)
{
    size_t len = strlen(text);
    size_t room = max > 0 ? static_cast<size_t>(max) - 1 : 0;
    size_t n = len < room ? len : room;
    if (max > 0) {
        memcpy(result, text, n);
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
    if (e == NULL) {
        *length = 1;
        return cgiFormNotFound;
    }
    *length = static_cast<int>(strlen(e->value)) + 1;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileName(const char* name, char* result, int max)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != NULL ? copyText(e->fileName, result, max, cgiFormNoFileName) : cgiFormNotFound;
}

cgiFormResultType cgiFormFileContentType(const char* name, char* result, int max)
{
    cgiFormEntry* e = findOrClear(name, result, max);
    return e != NULL ? copyText(e->contentType, result, max, cgiFormNoContentType) : cgiFormNotFound;
}

cgiFormResultType cgiFormFileSize(const char* name, int* sizeP)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    cgiFormResultType result = cgiFormSuccess;
    int size = 0;
    if (e == NULL)
        result = cgiFormNotFound;
    else if (e->tfileName[0] == '\0')
        result = cgiFormNotAFile;
    else
        size = e->valueLength;
    if (sizeP != NULL)
        *sizeP = size;
    return result;
}

cgiFormResultType cgiFormFileOpen(const char* name, cgiFilePtr* cfpp)
{
    cgiFormEntry* e = cgiFormEntryFindFirst(name);
    if (e == NULL) {
        *cfpp = NULL;
        return cgiFormNotFound;
    }
    if (e->tfileName[0] == '\0') {
        *cfpp = NULL;
        return cgiFormNotAFile;
    }
    cgiFile* cfp = static_cast<cgiFile*>(malloc(sizeof(cgiFile)));
    if (cfp == NULL) {
        *cfpp = NULL;
        return cgiFormMemory;
    }
    cfp->stream = fopen(e->tfileName, "rb");
    if (cfp->stream == NULL) {
        free(cfp);
        return cgiFormIO;
    }
    *cfpp = cfp;
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileRead(cgiFilePtr cfp, char* buffer, int bufferSize, int* gotP)
{
    if (cfp == NULL)
        return cgiFormOpenFailed;
    size_t got = bufferSize > 0 ? fread(buffer, 1, static_cast<size_t>(bufferSize), cfp->stream)
                                : 0;
    if (got == 0)
        return cgiFormEOF;
    *gotP = static_cast<int>(got);
    return cgiFormSuccess;
}

cgiFormResultType cgiFormFileClose(cgiFilePtr cfp)
{
    if (cfp == NULL)
        return cgiFormOpenFailed;
    fclose(cfp->stream);
    free(cfp);
    return cgiFormSuccess;
}
