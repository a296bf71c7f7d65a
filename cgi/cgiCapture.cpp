// Request capture and replay: the whole captured request (environment, entry
// list, uploaded files' bytes) in one file of big-endian integer records and
// length-prefixed strings, and back into a fresh request state.
#include "cgi/cgi_internal.h"
#include "platform/bigendian.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char magic[] = "QUIB2.0";
constexpr size_t pieceSize = 1024;

int cgiWriteInt(FILE* out, int value)
{
    uint8_t b[4];
    platform_put_be32(b, static_cast<uint32_t>(value));
    return std::fwrite(b, 1, 4, out) == 4 ? 1 : 0;
}

int cgiWriteBytes(FILE* out, const char* s, size_t len)
{
    if (!cgiWriteInt(out, static_cast<int>(len)))
        return 0;
    return std::fwrite(s, 1, len, out) == len ? 1 : 0;
}

int cgiWriteString(FILE* out, const char* s)
{
    return cgiWriteBytes(out, s, std::strlen(s));
}

// A multipart value may hold NUL bytes: it is saved whole, so that the
// replayed value really has the valueLength bytes its entry announces.
int cgiWriteValue(FILE* out, const cgiFormEntry* e)
{
    size_t len = std::strlen(e->value);
    if (e->tfileName[0] == '\0' && e->valueLength > static_cast<int>(len))
        len = static_cast<size_t>(e->valueLength);
    return cgiWriteBytes(out, e->value, len);
}

int cgiReadInt(FILE* in, int* result)
{
    uint8_t b[4];
    if (std::fread(b, 1, 4, in) != 4)
        return 0;
    *result = static_cast<int>(platform_get_be32(b));
    return 1;
}

// Bytes left in the file, or -1 for a stream of unknown size (a pipe).
long long restOf(FILE* in)
{
    struct stat st {};
    if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    off_t at = ftello(in);
    return at < 0 ? -1 : static_cast<long long>(st.st_size) - at;
}

// A length that the rest of the file cannot hold is a cut (or forged) file,
// and must not turn into a huge allocation or file.
bool restHolds(FILE* in, long long length)
{
    long long rest = restOf(in);
    return rest < 0 || length <= rest;
}

// Reads length bytes into a new NUL-terminated text. On a stream of unknown
// size the buffer grows with what actually arrives, never far ahead of it.
int readText(FILE* in, int length, char** target)
{
    const long long rest = restOf(in);
    if (rest >= 0 && length > rest)
        return 0;
    size_t capacity = static_cast<size_t>(length) + 1;
    if (rest < 0 && capacity > 65536)
        capacity = 65536;
    char* s = static_cast<char*>(std::malloc(capacity));
    if (s == nullptr)
        return 0;
    size_t got = 0;
    const auto want = static_cast<size_t>(length);
    while (got < want) {
        if (got + 1 == capacity) {
            size_t bigger = capacity * 2 > want + 1 ? want + 1 : capacity * 2;
            char* grown = static_cast<char*>(std::realloc(s, bigger));
            if (grown == nullptr)
                break;
            s = grown;
            capacity = bigger;
        }
        size_t n = std::fread(s + got, 1, capacity - 1 - got, in);
        if (n == 0)
            break;
        got += n;
    }
    if (got < want) {
        std::free(s);
        return 0;
    }
    s[want] = '\0';
    *target = s;
    return 1;
}

int cgiReadString(FILE* in, char** target, int* lengthOut = nullptr)
{
    int length = 0;
    if (!cgiReadInt(in, &length) || length < 0)
        return 0;
    if (!readText(in, length, target))
        return 0;
    if (lengthOut != nullptr)
        *lengthOut = length;
    return 1;
}

// Copies an entry's own upload into the capture; its byte count must be the
// entry's valueLength, or the capture could not be read back.
bool writeUpload(FILE* out, const cgiFormEntry* e)
{
    if (e->tfileName[0] == '\0')
        return cgiWriteInt(out, 0) != 0;
    FILE* in = std::fopen(e->tfileName, "rb");
    if (in == nullptr)
        return cgiWriteInt(out, 0) != 0;
    bool ok = cgiWriteInt(out, 1) != 0;
    long long copied = 0;
    char buffer[pieceSize];
    while (ok) {
        size_t got = std::fread(buffer, 1, sizeof buffer, in);
        if (got == 0)
            break;
        ok = std::fwrite(buffer, 1, got, out) == got;
        copied += static_cast<long long>(got);
    }
    if (std::ferror(in))
        ok = false;
    if (std::fclose(in) != 0)
        ok = false;
    return ok && copied == e->valueLength;
}

// Ends a file that must be written whole or not at all. The close flushes,
// so its failure loses bytes like a failed write; a partial file is removed,
// never left for a replay to take for a request.
cgiEnvironmentResultType closeWhole(FILE* f, const char* path, bool ok)
{
    if (std::fclose(f) != 0)
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
    if (length < 0 || !restHolds(in, length))
        return cgiEnvironmentIO;
    if (cgiGetTempFileName(path) != cgiParseSuccess)
        return cgiEnvironmentIO;
    FILE* out = std::fopen(path, "w+b");
    if (out == nullptr) {
        unlink(path);
        return cgiEnvironmentIO;
    }
    char buffer[pieceSize];
    bool ok = true;
    for (int left = length; ok && left > 0;) {
        size_t want = left < static_cast<int>(sizeof buffer) ? static_cast<size_t>(left) : sizeof buffer;
        size_t got = std::fread(buffer, 1, want, in);
        ok = got > 0 && std::fwrite(buffer, 1, got, out) == got;
        left -= static_cast<int>(got);
    }
    return closeWhole(out, path, ok);
}

}  // namespace

cgiEnvironmentResultType cgiWriteEnvironment(const char* filename)
{
    FILE* out = std::fopen(filename, "wb");
    if (out == nullptr)
        return cgiEnvironmentIO;
    bool ok = cgiWriteString(out, magic) != 0;
    for (char** text : cgiEnvironmentTexts)
        ok = ok && cgiWriteString(out, *text) != 0;
    ok = ok && cgiWriteInt(out, cgiContentLength) != 0;
    for (cgiFormEntry* e = cgiFormEntryFirst; ok && e != nullptr; e = e->next) {
        ok = cgiWriteString(out, e->attr) && cgiWriteValue(out, e) &&
             cgiWriteString(out, e->fileName) && cgiWriteString(out, e->contentType) &&
             cgiWriteInt(out, e->valueLength) && writeUpload(out, e);
    }
    return closeWhole(out, filename, ok);
}

cgiEnvironmentResultType cgiReadEnvironment(const char* filename)
{
    cgiFreeResources();
    FILE* in = std::fopen(filename, "rb");
    if (in == nullptr)
        return cgiEnvironmentIO;

    char* version = nullptr;
    int versionLength = 0;
    if (!cgiReadString(in, &version, &versionLength)) {
        std::fclose(in);
        return cgiEnvironmentIO;
    }
    const bool known = versionLength == static_cast<int>(sizeof magic - 1) &&
                       std::memcmp(version, magic, sizeof magic - 1) == 0;
    std::free(version);
    if (!known) {
        std::fclose(in);
        return cgiEnvironmentWrongVersion;
    }

    // All twenty texts are read before any global changes, so a cut here
    // leaves the globals as they were and nothing allocated.
    char* texts[cgiEnvironmentTextCount] = {};
    int contentLength = 0;
    bool ok = true;
    for (char*& text : texts)
        ok = ok && cgiReadString(in, &text);
    ok = ok && cgiReadInt(in, &contentLength);
    if (!ok) {
        for (char* text : texts)
            std::free(text);
        std::fclose(in);
        return cgiEnvironmentIO;
    }
    for (int i = 0; i < cgiEnvironmentTextCount; ++i)
        *cgiEnvironmentTexts[i] = texts[i];
    cgiContentLength = contentLength;
    // From here the globals own heap copies: any failure below frees them
    // through cgiFreeResources, which puts the empty string back.
    cgiRestored = 1;

    cgiEnvironmentResultType result = cgiEnvironmentSuccess;
    cgiFormEntry* e = nullptr;
    cgiFormEntry** tail = &cgiFormEntryFirst;
    for (;;) {
        e = static_cast<cgiFormEntry*>(std::calloc(1, sizeof(cgiFormEntry)));
        if (e == nullptr) {
            result = cgiEnvironmentMemory;
            break;
        }
        if (!cgiReadString(in, &e->attr)) {
            // The entries are complete.
            std::free(e);
            std::fclose(in);
            return cgiEnvironmentSuccess;
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
            if (e->tfileName == nullptr) {
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
            if (e->tfileName == nullptr) {
                result = cgiEnvironmentMemory;
                break;
            }
        }
        *tail = e;
        tail = &e->next;
    }
    cgiFreeResources();
    std::fclose(in);
    cgiFreeEntry(e);
    return result;
}
