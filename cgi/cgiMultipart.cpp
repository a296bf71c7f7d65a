// multipart/form-data input: splits the body at the boundary, keeps ordinary
// fields in memory and spools file parts into private temporary files.
// The body is read in blocks and scanned for the delimiter with memchr and a
// partial match kept across blocks, so every byte is looked at a bounded
// number of times whatever the boundary; memory does not grow with an upload.
#include "cgi/cgi_internal.h"

#include <algorithm>
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform.h"

int cgiMpReadSize = cgiMpBlockSize;

namespace {

// The body in blocks, with room in front of the unread bytes for the bytes the
// parser gives back (never more than the working boundary's length less one).
enum { mpPutBackSpace = 1024, mpDataSpace = mpPutBackSpace + cgiMpBlockSize };
struct mpReader {
    unsigned char data[mpDataSpace];
    int pos;        // next byte to deliver
    int end;        // one past the last byte read
    int64_t taken;  // bytes read from the input, never above cgiContentLength
};

// Header names and values, parameters, the disposition, field and file names,
// the content type and the temporary path: 1023 bytes and a NUL, longer
// ones cut while the line is still read to its end.
enum { fieldSpace = 1024, boundarySpace = 1024 };

// The reader of the one parse, 65 KiB: kept off the stack, which may be a
// small thread's.
mpReader theReader;

bool isSpace(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Where the bytes before a delimiter go: a file, a growable value buffer (a
// part without file name), or nowhere (preamble, skipped parts).
struct Sink {
    FILE* file;
    char* data;
    size_t capacity;
    size_t length;

    Sink() : file(NULL), data(NULL), capacity(0), length(0) {}

    // Returns cgiParseSuccess, or the failure that ends the scan.
    cgiParseResultType put(const unsigned char* p, size_t n)
    {
        if (n == 0)
            return cgiParseSuccess;
        if (file != NULL) {
            // Bytes that did not reach the file (full file system) must fail
            // the upload, not shorten it silently.
            if (fwrite(p, 1, n, file) != n)
                return cgiParseIO;
        } else if (data != NULL) {
            if (length + n > static_cast<size_t>(cgiMaxValueLength))
                return cgiParseMemory;
            if (length + n + 1 > capacity) {
                size_t bigger = capacity;
                while (length + n + 1 > bigger)
                    bigger *= 2;
                bigger = std::min(bigger, static_cast<size_t>(cgiMaxValueLength) + 1);
                char* grown = static_cast<char*>(realloc(data, bigger));
                if (grown == NULL)
                    return cgiParseMemory;
                data = grown;
                capacity = bigger;
            }
            memcpy(data + length, p, n);
        } else {
            return cgiParseSuccess;  // dropped, and not counted
        }
        length += n;
        return cgiParseSuccess;
    }
};

// Reads the next block into the emptied reader; false at the end of the
// declared body or of the input.
bool mpFill(mpReader* r)
{
    // Never read past the declared length: a client that keeps the
    // connection open must not make us wait for bytes it never announced.
    int64_t left = static_cast<int64_t>(cgiContentLength) - r->taken;
    if (left <= 0)
        return false;
    int n = cgiReadBody(reinterpret_cast<char*>(r->data) + mpPutBackSpace,
                        static_cast<int>(std::min<int64_t>(left, cgiMpReadSize)));
    if (n <= 0)
        return false;
    r->pos = mpPutBackSpace;
    r->end = mpPutBackSpace + n;
    r->taken += n;
    return true;
}

// Appends c to the text of n bytes in buf when buf is not NULL and a byte
// stays free for the NUL; else c is dropped.
void store(char* buf, int space, int& n, char c)
{
    if (buf != NULL && n < space - 1)
        buf[n++] = c;
}

// A header value or parameter value, quoted or bare: each of its bytes goes
// to store(buf, space, n). Returns where the next ';' (or the end) stands.
const char* takeValue(const char* p, char* buf, int space, int& n)
{
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            store(buf, space, n, *p++);
        while (*p != '\0' && *p != ';')
            ++p;
    } else {
        while (*p != '\0' && *p != ';')
            store(buf, space, n, *p++);
    }
    return p;
}

// Bytes delivered (0..count), or -1 when the declared length is used up and
// nothing waits to be read again.
int mpRead(mpReader* reader, char* buffer, int count)
{
    int got = 0;
    while (got < count) {
        if (reader->pos == reader->end && !mpFill(reader))
            break;
        int n = std::min(count - got, reader->end - reader->pos);
        memcpy(buffer + got, reader->data + reader->pos, static_cast<size_t>(n));
        reader->pos += n;
        got += n;
    }
    if (got == 0 && count > 0 && reader->taken >= cgiContentLength)
        return -1;
    return got;
}

// The bytes are read again next, before anything that was waiting: the parser
// gives back only bytes it has just read, so the body keeps its own order.
void mpPutBack(mpReader* reader, const char* bytes, int count)
{
    reader->pos -= count;
    memmove(reader->data + reader->pos, bytes, static_cast<size_t>(count));
}

cgiParseResultType afterNextBoundary(mpReader* reader, FILE* outFile, char** outValue,
                                     int* bodyLength, int first)
{
    Sink sink;
    sink.file = outFile;
    cgiParseResultType result = cgiParseSuccess;
    unsigned char boundary[boundarySpace];
    int fail[boundarySpace + 1];
    bool inBoundary[256] = {};
    int L = 0;
    int M = 0;  // the last M bytes scanned match the boundary's first M
    char two[2];

    if (outFile == NULL && outValue != NULL) {
        sink.data = static_cast<char*>(malloc(256));
        if (sink.data == NULL) {
            result = cgiParseMemory;
            goto fail;
        }
        sink.capacity = 256;
    }
    L = snprintf(reinterpret_cast<char*>(boundary), sizeof boundary,
                 first ? "--%s" : "\r\n--%s", cgiMultipartBoundary);
    L = std::min(L, boundarySpace - 1);
    // fail[k]: the longest proper prefix of boundary[0..k) that is also its
    // suffix, where a failed partial match of k bytes resumes (Knuth-Morris-Pratt).
    fail[1] = 0;
    inBoundary[boundary[0]] = true;
    for (int q = 1, k = 0; q < L; ++q) {
        inBoundary[boundary[q]] = true;
        while (k > 0 && boundary[q] != boundary[k])
            k = fail[k];
        if (boundary[q] == boundary[k])
            ++k;
        fail[q + 1] = k;
    }

    for (;;) {
        if (reader->pos == reader->end && !mpFill(reader)) {
            result = cgiParseIO;
            goto fail;
        }
        const unsigned char* block = reader->data + reader->pos;
        const int n = reader->end - reader->pos;
        // A partial match carried from the last block: those bytes are the
        // boundary's first `carried`, standing at offsets -carried..-1.
        const int carried = M;
        int i = 0;
        bool found = false;
        while (i < n) {
            if (M == 0) {
                const void* c = memchr(block + i, boundary[0], static_cast<size_t>(n - i));
                if (c == NULL) {
                    i = n;
                    break;
                }
                i = static_cast<int>(static_cast<const unsigned char*>(c) - block) + 1;
                M = 1;
                continue;
            }
            const unsigned char d = block[i++];
            // A byte found nowhere in the boundary ends every partial match
            // at once, without walking the chain of borders down.
            if (!inBoundary[d]) {
                M = 0;
                continue;
            }
            while (M > 0 && d != boundary[M])
                M = fail[M];
            if (d == boundary[M] && ++M == L) {
                found = true;
                break;
            }
        }
        // Everything before the M pending bytes is body.
        const int keepTo = i - M;
        if (carried > 0)
            result = sink.put(boundary, static_cast<size_t>(std::min(carried, carried + keepTo)));
        if (result == cgiParseSuccess && keepTo > 0)
            result = sink.put(block, static_cast<size_t>(keepTo));
        if (result != cgiParseSuccess)
            goto fail;
        reader->pos += i;
        if (found)
            break;
    }

    if (mpRead(reader, two, 2) != 2) {
        result = cgiParseIO;
        goto fail;
    }
    if (two[0] == '-')
        mpPutBack(reader, two, 2);  // the caller sees the closing "--"

    if (sink.data != NULL) {
        sink.data[sink.length] = '\0';
        char* shrunk = static_cast<char*>(realloc(sink.data, sink.length + 1));
        *outValue = shrunk != NULL ? shrunk : sink.data;
    }
    if (bodyLength != NULL)
        *bodyLength = static_cast<int>(sink.length);
    return cgiParseSuccess;

fail:
    if (bodyLength != NULL)
        *bodyLength = 0;
    free(sink.data);
    if (outValue != NULL)
        *outValue = NULL;
    return result;
}

// One line of a part's headers. The name is what stands before the line's
// first colon (blanks dropped); the value is the rest, after the blanks that
// follow that colon, which never run past the line's end: later colons are
// value bytes ("fw 10:30.bin"). Returns 1 for every complete line but the
// blank one (a line without a colon names no header), 0 for the blank line
// that ends the headers or when the input ends.
int readHeaderLine(mpReader* reader, char* attr, int attrSpace, char* value, int valueSpace)
{
    int attrLen = 0;
    int valueLen = 0;
    bool inValue = false;
    bool afterColon = false;  // still among the blanks behind the colon
    bool blank = true;
    int result = 0;
    for (;;) {
        char d;
        if (mpRead(reader, &d, 1) != 1)
            goto done;
        if (d == '\r') {
            // A line whose CR is the last byte there is was cut: it is not complete.
            char next;
            if (mpRead(reader, &next, 1) != 1)
                goto done;
            if (next != '\n')
                mpPutBack(reader, &next, 1);
            break;
        }
        if (d == '\n')
            break;
        blank = false;
        if (!inValue && d == ':' && attrLen > 0) {
            inValue = afterColon = true;
            continue;
        }
        if (afterColon && isSpace(d))
            continue;
        afterColon = false;
        if (!inValue) {
            if (!isSpace(d) && attrLen < attrSpace - 1)
                attr[attrLen++] = d;
        } else if (valueLen < valueSpace - 1) {
            value[valueLen++] = d;
        }
    }
    result = blank ? 0 : 1;
    if (!inValue)
        attrLen = 0;
done:
    // Terminated even when the input ran out, so no caller ever reads garbage.
    if (attrSpace > 0)
        attr[attrLen] = '\0';
    if (valueSpace > 0)
        value[valueLen] = '\0';
    return result;
}

void decomposeValue(const char* value, char* mvalue, int mvalueSpace, const char** argNames,
                    char** argValues, int argValueSpace)
{
    if (argValueSpace > 0 && argValues != NULL)
        for (int i = 0; argNames[i] != NULL; ++i)
            argValues[i][0] = '\0';

    const char* p = value;
    while (isSpace(*p))
        ++p;
    int len = 0;
    p = takeValue(p, mvalue, mvalueSpace, len);
    if (mvalueSpace > 0)
        mvalue[len] = '\0';

    char name[1024];
    while (*p == ';') {
        ++p;
        while (isSpace(*p))
            ++p;
        int nameLen = 0;
        while (isalnum(static_cast<unsigned char>(*p))) {
            store(name, sizeof name, nameLen, *p);
            ++p;
        }
        name[nameLen] = '\0';
        while (isSpace(*p))
            ++p;
        if (*p != '=')
            return;
        ++p;
        while (isSpace(*p))
            ++p;
        char* target = NULL;
        for (int i = 0; argValues != NULL && argNames[i] != NULL; ++i) {
            if (cgiStrEqNc(argNames[i], name)) {
                target = argValues[i];
                break;
            }
        }
        int vlen = 0;
        p = takeValue(p, target, argValueSpace, vlen);
        if (target != NULL && argValueSpace > 0)
            target[vlen] = '\0';
    }
}

}  // namespace

FILE* cgiOpenTempFile(char* path)
{
    const int fd = platform_open_private_temp("/tmp/quibXXXXXX", path, 1024);
    if (fd < 0)
        return NULL;
    // Used through the descriptor it was made with, never opened again by a
    // name that another program could have replaced meanwhile.
    FILE* f = fdopen(fd, "r+b");
    if (f == NULL) {
        close(fd);
        unlink(path);
        path[0] = '\0';
    }
    return f;
}

namespace {

// Removes the spool file of a part that failed, which the termination
// handler then no longer looks for.
void dropSpool(const char* path)
{
    platform_hold_termination();
    unlink(path);
    cgiSpooling = NULL;
    platform_release_termination();
}

cgiParseResultType parseParts(mpReader& reader)
{
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    cgiParseResultType result = afterNextBoundary(&reader, NULL, NULL, NULL, 1);
    if (result == cgiParseIO)
        return cgiParseSuccess;  // no usable opening delimiter: no entries
    if (result != cgiParseSuccess)
        return result;

    static const char* dispositionNames[] = {"name", "filename", NULL};
    static const char* noNames[] = {NULL};
    char headerName[fieldSpace];
    char headerValue[fieldSpace];
    char disposition[fieldSpace];
    char fieldName[fieldSpace];
    char fileName[fieldSpace];
    char contentType[fieldSpace];
    char tfileName[fieldSpace];
    char* dispositionValues[] = {fieldName, fileName};
    cgiFormEntry** tail = cgiListTail();

    for (int parts = 1;; ++parts) {
        disposition[0] = fieldName[0] = fileName[0] = contentType[0] = '\0';
        char two[2];
        if (mpRead(&reader, two, 2) != 2 || (two[0] == '-' && two[1] == '-'))
            return cgiParseSuccess;
        if (parts > cgiMaxParts)
            return cgiParseMemory;
        mpPutBack(&reader, two, 2);

        while (readHeaderLine(&reader, headerName, fieldSpace, headerValue, fieldSpace)) {
            if (cgiStrEqNc(headerName, "Content-Disposition"))
                decomposeValue(headerValue, disposition, fieldSpace, dispositionNames,
                               dispositionValues, fieldSpace);
            else if (cgiStrEqNc(headerName, "Content-Type"))
                decomposeValue(headerValue, contentType, fieldSpace, noNames, NULL, 0);
        }

        if (!cgiStrEqNc(disposition, "form-data")) {
            // Pass over the part's body, so the parts after it still count. A
            // cut inside it (or inside its headers) ends the input: what came
            // before stands.
            result = afterNextBoundary(&reader, NULL, NULL, NULL, 0);
            if (result == cgiParseIO)
                return cgiParseSuccess;
            if (result != cgiParseSuccess)
                return result;
            continue;
        }

        const bool isFile = fileName[0] != '\0';
        FILE* out = NULL;
        tfileName[0] = '\0';
        if (isFile) {
            // Until an entry holds the file, the termination handler finds it here.
            platform_hold_termination();
            out = cgiOpenTempFile(tfileName);
            if (out != NULL)
                cgiSpooling = tfileName;
            platform_release_termination();
            if (out == NULL)
                return cgiParseIO;
            // The scan writes runs of whole blocks, so a stream buffer would
            // only split them.
            setvbuf(out, NULL, _IONBF, 0);
        }

        char* value = NULL;
        int bodyLength = 0;
        result = afterNextBoundary(&reader, out, isFile ? NULL : &value, &bodyLength, 0);
        if (isFile) {
            // The close flushes the last buffered bytes: its failure is a
            // failed write like any other.
            if (fclose(out) != 0 && result == cgiParseSuccess)
                result = cgiParseIO;
            if (result != cgiParseSuccess)
                dropSpool(tfileName);
        }
        if (result != cgiParseSuccess)
            return result;

        cgiFormEntry* e = static_cast<cgiFormEntry*>(calloc(1, sizeof(cgiFormEntry)));
        if (e == NULL) {
            free(value);
        } else {
            e->value = isFile ? cgiStrDup("") : value;
            e->attr = cgiStrDup(fieldName);
            e->fileName = cgiStrDup(isFile ? fileName : "");
            e->contentType = cgiStrDup(contentType);
            e->tfileName = cgiStrDup(tfileName);
            e->valueLength = bodyLength;
        }
        if (e == NULL || e->value == NULL || e->attr == NULL || e->fileName == NULL ||
            e->contentType == NULL || e->tfileName == NULL) {
            cgiFreeEntry(e);
            if (isFile)
                dropSpool(tfileName);
            return cgiParseMemory;
        }
        platform_hold_termination();
        *tail = e;
        cgiSpooling = NULL;
        platform_release_termination();
        tail = &e->next;
    }
}

}  // namespace

cgiParseResultType cgiParsePostMultipartInput()
{
    mpReader& reader = theReader;
    reader.pos = reader.end = mpPutBackSpace;
    reader.taken = 0;
    cgiBodyBegin();
    cgiParseResultType result = parseParts(reader);
    cgiBodyEnd(reader.end - reader.pos);
    return result;
}
