// Request capture and replay: the whole captured request (environment, entry
// list, uploaded files' bytes) in one file of big-endian integer records and
// length-prefixed strings, and back into a fresh request state.
#include "cgi/cgi_internal.h"
#include "platform/bigendian.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char magic[] = "QUIB2.0";
enum { pieceSize = 1024 };

int cgiWriteInt(FILE* out, int value)
{
    uint8_t b[4];
    platform_put_be32(b, static_cast<uint32_t>(value));
    return fwrite(b, 1, 4, out) == 4 ? 1 : 0;
}

int cgiWriteBytes(FILE* out, const char* s, size_t len)
{
    if (!cgiWriteInt(out, static_cast<int>(len)))
        return 0;
    return fwrite(s, 1, len, out) == len ? 1 : 0;
}

int cgiWriteString(FILE* out, const char* s)
{
    return cgiWriteBytes(out, s, strlen(s));
}

// A multipart value may hold NUL bytes: it is saved whole, so that the
// replayed value really has the valueLength bytes its entry announces.
int cgiWriteValue(FILE* out, const cgiFormEntry* e)
{
    size_t len = strlen(e->value);
    if (e->tfileName[0] == '\0' && e->valueLength > static_cast<int>(len))
        len = static_cast<size_t>(e->valueLength);
    return cgiWriteBytes(out, e->value, len);
}

int cgiReadInt(FILE* in, int* result)
{
    uint8_t b[4];
    if (fread(b, 1, 4, in) != 4)
        return 0;
    *result = static_cast<int>(platform_get_be32(b));
    return 1;
}

// Whether a record of length bytes may be read: never a negative length, never
// more than the rest of a regular file holds (a cut or forged file must not
// turn into a huge allocation or file), and from a stream of unknown size (a
// pipe) never more than a live request's value may have, so that a record
// announcing 2 GiB there is refused before anything is allocated or read.
bool recordFits(FILE* in, int length)
{
    if (length < 0)
        return false;
    struct stat st = {};
    if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode))
        return length <= cgiMaxValueLength;
    const off_t at = ftello(in);
    return at >= 0 && static_cast<int64_t>(length) <= static_cast<int64_t>(st.st_size) - at;
}

// Reads a text record of length bytes into a new NUL-terminated text. A
// replay holds no more than a live request: every text at most a value's limit.
int readText(FILE* in, int length, char** target)
{
    if (length > cgiMaxValueLength || !recordFits(in, length))
        return 0;
    char* s = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (s == NULL)
        return 0;
    if (fread(s, 1, static_cast<size_t>(length), in) != static_cast<size_t>(length)) {
        free(s);
        return 0;
    }
    s[length] = '\0';
    *target = s;
    return 1;
}

int cgiReadString(FILE* in, char** target, int* lengthOut = NULL)
{
    int length = 0;
    if (!cgiReadInt(in, &length) || length < 0)
        return 0;
    if (!readText(in, length, target))
        return 0;
    if (lengthOut != NULL)
        *lengthOut = length;
    return 1;
}

// Copies an entry's own upload into the capture; its byte count must be the
// entry's valueLength, or the capture could not be read back.
bool writeUpload(FILE* out, const cgiFormEntry* e)
{
    if (e->tfileName[0] == '\0')
        return cgiWriteInt(out, 0) != 0;
    FILE* in = fopen(e->tfileName, "rb");
    if (in == NULL)
        return cgiWriteInt(out, 0) != 0;
    bool ok = cgiWriteInt(out, 1) != 0;
    int64_t copied = 0;
    char buffer[pieceSize];
    while (ok) {
        size_t got = fread(buffer, 1, sizeof buffer, in);
        if (got == 0)
            break;
        ok = fwrite(buffer, 1, got, out) == got;
        copied += static_cast<int64_t>(got);
    }
    if (ferror(in))
        ok = false;
    if (fclose(in) != 0)
        ok = false;
    return ok && copied == e->valueLength;
}

// Ends a file that must be written whole or not at all. The close flushes,
// so its failure loses bytes like a failed write; a partial file is removed,
// never left for a replay to take for a request.
cgiEnvironmentResultType closeWhole(FILE* f, const char* path, bool ok)
{
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        unlink(path);
        return cgiEnvironmentIO;
    }
    return cgiEnvironmentSuccess;
}

// Spools length bytes of the capture into a new temporary file; on success
// path names it.
cgiEnvironmentResultType restoreUpload(FILE* in, int length, char* path)
{
    if (!recordFits(in, length))
        return cgiEnvironmentIO;
    FILE* out = cgiOpenTempFile(path);
    if (out == NULL)
        return cgiEnvironmentIO;
    char buffer[pieceSize];
    bool ok = true;
    for (int left = length; ok && left > 0;) {
        size_t want = left < static_cast<int>(sizeof buffer) ? static_cast<size_t>(left) : sizeof buffer;
        size_t got = fread(buffer, 1, want, in);
        ok = got > 0 && fwrite(buffer, 1, got, out) == got;
        left -= static_cast<int>(got);
    }
    return closeWhole(out, path, ok);
}

}  // namespace

cgiEnvironmentResultType cgiWriteEnvironment(const char* filename)
{
    FILE* out = fopen(filename, "wb");
    if (out == NULL)
        return cgiEnvironmentIO;
    bool ok = cgiWriteString(out, magic) != 0;
    for (int i = 0; i < cgiEnvironmentTextCount; ++i)
        ok = ok && cgiWriteString(out, *cgiEnvironmentTexts[i]) != 0;
    ok = ok && cgiWriteInt(out, cgiContentLength) != 0;
    for (cgiFormEntry* e = cgiFormEntryFirst; ok && e != NULL; e = e->next) {
        ok = cgiWriteString(out, e->attr) && cgiWriteValue(out, e) &&
             cgiWriteString(out, e->fileName) && cgiWriteString(out, e->contentType) &&
             cgiWriteInt(out, e->valueLength) && writeUpload(out, e);
    }
    return closeWhole(out, filename, ok);
}

cgiEnvironmentResultType cgiReadEnvironment(const char* filename)
{
    cgiFreeResources();
    FILE* in = fopen(filename, "rb");
    if (in == NULL)
        return cgiEnvironmentIO;

    char* version = NULL;
    int versionLength = 0;
    if (!cgiReadString(in, &version, &versionLength)) {
        fclose(in);
        return cgiEnvironmentIO;
    }
    const bool known = versionLength == static_cast<int>(sizeof magic - 1) &&
                       memcmp(version, magic, sizeof magic - 1) == 0;
    free(version);
    if (!known) {
        fclose(in);
        return cgiEnvironmentWrongVersion;
    }

    // All twenty texts are read before any global changes, so a cut here
    // leaves the globals as they were and nothing allocated.
    char* texts[cgiEnvironmentTextCount] = {};
    int contentLength = 0;
    bool ok = true;
    for (int i = 0; i < cgiEnvironmentTextCount; ++i)
        ok = ok && cgiReadString(in, &texts[i]);
    ok = ok && cgiReadInt(in, &contentLength);
    if (!ok) {
        for (int i = 0; i < cgiEnvironmentTextCount; ++i)
            free(texts[i]);
        fclose(in);
        return cgiEnvironmentIO;
    }
    for (int i = 0; i < cgiEnvironmentTextCount; ++i)
        *cgiEnvironmentTexts[i] = texts[i];
    cgiContentLength = contentLength;
    // From here the globals own heap copies: any failure below frees them
    // through cgiFreeResources, which puts the empty string back.
    cgiRestored = 1;

    cgiEnvironmentResultType result = cgiEnvironmentSuccess;
    cgiFormEntry* e = NULL;
    cgiFormEntry** tail = &cgiFormEntryFirst;
    for (int entries = 1;; ++entries) {
        e = static_cast<cgiFormEntry*>(calloc(1, sizeof(cgiFormEntry)));
        if (e == NULL) {
            result = cgiEnvironmentMemory;
            break;
        }
        if (!cgiReadString(in, &e->attr)) {
            // The entries are complete.
            free(e);
            fclose(in);
            return cgiEnvironmentSuccess;
        }
        // As many entries as a live request may have parts: each may make a
        // temporary file.
        if (entries > cgiMaxParts) {
            result = cgiEnvironmentMemory;
            break;
        }
        int fileFlag = 0;
        int valueBytes = 0;
        if (!cgiReadString(in, &e->value, &valueBytes) || !cgiReadString(in, &e->fileName) ||
            !cgiReadString(in, &e->contentType) || !cgiReadInt(in, &e->valueLength) ||
            !cgiReadInt(in, &fileFlag)) {
            result = cgiEnvironmentMemory;
            break;
        }
        if (fileFlag != 0) {
            char path[1024];
            result = restoreUpload(in, e->valueLength, path);
            if (result != cgiEnvironmentSuccess)
                break;
            e->tfileName = cgiStrDup(path);
            if (e->tfileName == NULL) {
                unlink(path);
                result = cgiEnvironmentMemory;
                break;
            }
        } else {
            // Readers may take valueLength bytes of the value: never more
            // than the capture held, and never a negative count.
            if (e->valueLength < 0 || e->valueLength > valueBytes)
                e->valueLength = valueBytes;
            e->tfileName = cgiStrDup("");
            if (e->tfileName == NULL) {
                result = cgiEnvironmentMemory;
                break;
            }
        }
        *tail = e;
        tail = &e->next;
    }
    cgiFreeResources();
    fclose(in);
    cgiFreeEntry(e);
    return result;
}
