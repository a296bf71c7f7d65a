// multipart/form-data input: splits the body at the boundary, keeps ordinary
// fields in memory and spools file parts into private temporary files.
// The body goes through one byte at a time; nothing of it is buffered here
// beyond the put-back ring, so memory does not grow with an upload.
#include "cgi/cgi_internal.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/platform.h"

namespace {

constexpr int ringSize = static_cast<int>(sizeof(mpReader::ring));
constexpr int fieldSpace = 1024;

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// A growable value buffer of a part without file name.
struct ValueBuffer {
    char* data = nullptr;
    size_t capacity = 0;
    size_t length = 0;

    bool append(char c)
    {
        if (length + 1 == capacity) {
            char* bigger = static_cast<char*>(std::realloc(data, capacity * 2));
            if (bigger == nullptr)
                return false;
            data = bigger;
            capacity *= 2;
        }
        data[length++] = c;
        return true;
    }
};

// A header value or parameter value, quoted or bare: each of its bytes goes
// to keep. Returns where the next ';' (or the end) stands.
template <typename Keep>
const char* takeValue(const char* p, Keep keep)
{
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            keep(*p++);
        while (*p != '\0' && *p != ';')
            ++p;
    } else {
        while (*p != '\0' && *p != ';')
            keep(*p++);
    }
    return p;
}

}  // namespace

int mpRead(mpReader* reader, char* buffer, int count)
{
    int got = 0;
    while (count > 0 && reader->readIndex != reader->writeIndex) {
        buffer[got++] = static_cast<char>(reader->ring[reader->readIndex]);
        reader->readIndex = (reader->readIndex + 1) % ringSize;
        --count;
    }
    const int fromRing = got;
    bool streamRead = false;
    if (count > 0) {
        // Never read past the declared length: a client that keeps the
        // connection open must not make us wait for bytes it never announced.
        long long left = static_cast<long long>(cgiContentLength) - reader->streamOffset - fromRing;
        if (left < count)
            count = left > 0 ? static_cast<int>(left) : 0;
        if (count > 0) {
            streamRead = true;
            while (count > 0) {
                int c = getc_unlocked(cgiIn);
                if (c == EOF)
                    break;
                buffer[got++] = static_cast<char>(c);
                --count;
            }
        }
    }
    reader->streamOffset += got;
    if (!streamRead && fromRing == 0 && count > 0)
        return -1;
    return got;
}

void mpPutBack(mpReader* reader, const char* bytes, int count)
{
    reader->streamOffset -= count;
    for (int i = 0; i < count; ++i) {
        reader->ring[reader->writeIndex] = static_cast<unsigned char>(bytes[i]);
        reader->writeIndex = (reader->writeIndex + 1) % ringSize;
    }
}

cgiParseResultType afterNextBoundary(mpReader* reader, FILE* outFile, char** outValue,
                                     int* bodyLength, int first)
{
    ValueBuffer value;
    int length = 0;
    cgiParseResultType result = cgiParseIO;
    char boundary[1024];
    int L = 0;
    int M = 0;
    char two[2];

    if (outFile == nullptr && outValue != nullptr) {
        value.data = static_cast<char*>(std::malloc(256));
        if (value.data == nullptr) {
            result = cgiParseMemory;
            goto fail;
        }
        value.capacity = 256;
    }
    std::snprintf(boundary, sizeof boundary, first ? "--%s" : "\r\n--%s", cgiMultipartBoundary);
    L = static_cast<int>(std::strlen(boundary));

    for (;;) {
        char d;
        if (mpRead(reader, &d, 1) != 1) {
            result = cgiParseIO;
            goto fail;
        }
        if (d == boundary[M]) {
            if (++M == L)
                break;
            continue;
        }
        char emit = d;
        if (M > 0) {
            // Rescan from the second byte of the failed match: a delimiter may
            // begin inside it.
            emit = boundary[0];
            mpPutBack(reader, boundary + 1, M - 1);
            mpPutBack(reader, &d, 1);
            M = 0;
        }
        if (outFile != nullptr) {
            // A byte that did not reach the file (full file system) must fail
            // the upload, not shorten it silently.
            if (putc_unlocked(emit, outFile) == EOF) {
                result = cgiParseIO;
                goto fail;
            }
            ++length;
        } else if (value.data != nullptr) {
            if (!value.append(emit)) {
                result = cgiParseMemory;
                goto fail;
            }
            ++length;
        }
    }

    if (mpRead(reader, two, 2) != 2) {
        result = cgiParseIO;
        goto fail;
    }
    if (two[0] == '-')
        mpPutBack(reader, two, 2);  // the caller sees the closing "--"

    if (value.data != nullptr) {
        value.data[value.length] = '\0';
        char* shrunk = static_cast<char*>(std::realloc(value.data, value.length + 1));
        *outValue = shrunk != nullptr ? shrunk : value.data;
    }
    if (bodyLength != nullptr)
        *bodyLength = length;
    return cgiParseSuccess;

fail:
    if (bodyLength != nullptr)
        *bodyLength = 0;
    std::free(value.data);
    if (outValue != nullptr)
        *outValue = nullptr;
    return result;
}

int readHeaderLine(mpReader* reader, char* attr, int attrSpace, char* value, int valueSpace)
{
    int attrLen = 0;
    int valueLen = 0;
    bool inValue = false;
    int result = 0;
    for (;;) {
        char d;
        if (mpRead(reader, &d, 1) != 1)
            goto done;
        if (d == '\r') {
            char next;
            if (mpRead(reader, &next, 1) == 1 && next != '\n')
                mpPutBack(reader, &next, 1);
            break;
        }
        if (d == '\n')
            break;
        if (d == ':' && attrLen > 0) {
            inValue = true;
            for (;;) {
                if (mpRead(reader, &d, 1) != 1)
                    goto done;
                if (!isSpace(d)) {
                    mpPutBack(reader, &d, 1);
                    break;
                }
            }
            continue;
        }
        if (!inValue) {
            if (!isSpace(d) && attrLen < attrSpace - 1)
                attr[attrLen++] = d;
        } else if (valueLen < valueSpace - 1) {
            value[valueLen++] = d;
        }
    }
    result = attrLen > 0 && valueLen > 0 ? 1 : 0;
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
    if (argValueSpace > 0 && argValues != nullptr)
        for (int i = 0; argNames[i] != nullptr; ++i)
            argValues[i][0] = '\0';

    const char* p = value;
    while (isSpace(*p))
        ++p;
    int len = 0;
    auto store = [](char* buf, int space, int& n, char c) {
        if (n < space - 1)
            buf[n++] = c;
    };
    p = takeValue(p, [&](char c) { store(mvalue, mvalueSpace, len, c); });
    if (mvalueSpace > 0)
        mvalue[len] = '\0';

    char name[1024];
    while (*p == ';') {
        ++p;
        while (isSpace(*p))
            ++p;
        int nameLen = 0;
        while (std::isalnum(static_cast<unsigned char>(*p))) {
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
        char* target = nullptr;
        for (int i = 0; argValues != nullptr && argNames[i] != nullptr; ++i) {
            if (cgiStrEqNc(argNames[i], name)) {
                target = argValues[i];
                break;
            }
        }
        int vlen = 0;
        auto keep = [&](char c) {
            if (target != nullptr)
                store(target, argValueSpace, vlen, c);
        };
        p = takeValue(p, keep);
        if (target != nullptr && argValueSpace > 0)
            target[vlen] = '\0';
    }
}

cgiParseResultType getTempFileName(char* path)
{
    return platform_make_private_temp("/tmp/quibXXXXXX", path, 1024) == 0 ? cgiParseSuccess
                                                                         : cgiParseIO;
}

cgiParseResultType cgiParsePostMultipartInput()
{
    mpReader reader{};
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    cgiParseResultType result = afterNextBoundary(&reader, nullptr, nullptr, nullptr, 1);
    if (result == cgiParseIO)
        return cgiParseSuccess;  // no usable opening delimiter: no entries
    if (result != cgiParseSuccess)
        return result;

    static const char* dispositionNames[] = {"name", "filename", nullptr};
    static const char* noNames[] = {nullptr};
    char headerName[fieldSpace];
    char headerValue[fieldSpace];
    char disposition[fieldSpace];
    char fieldName[fieldSpace];
    char fileName[fieldSpace];
    char contentType[fieldSpace];
    char tfileName[fieldSpace];
    char* dispositionValues[] = {fieldName, fileName};
    cgiFormEntry** tail = cgiListTail();

    for (;;) {
        disposition[0] = fieldName[0] = fileName[0] = contentType[0] = '\0';
        char two[2];
        if (mpRead(&reader, two, 2) != 2 || (two[0] == '-' && two[1] == '-'))
            return cgiParseSuccess;
        mpPutBack(&reader, two, 2);

        while (readHeaderLine(&reader, headerName, fieldSpace, headerValue, fieldSpace)) {
            if (cgiStrEqNc(headerName, "Content-Disposition"))
                decomposeValue(headerValue, disposition, fieldSpace, dispositionNames,
                               dispositionValues, fieldSpace);
            else if (cgiStrEqNc(headerName, "Content-Type"))
                decomposeValue(headerValue, contentType, fieldSpace, noNames, nullptr, 0);
        }

        if (!cgiStrEqNc(disposition, "form-data")) {
            // Pass over the part's body, so the parts after it still count. A
            // cut inside it (or inside its headers) ends the input: what came
            // before stands.
            result = afterNextBoundary(&reader, nullptr, nullptr, nullptr, 0);
            if (result == cgiParseIO)
                return cgiParseSuccess;
            if (result != cgiParseSuccess)
                return result;
            continue;
        }

        const bool isFile = fileName[0] != '\0';
        FILE* out = nullptr;
        tfileName[0] = '\0';
        if (isFile) {
            if (getTempFileName(tfileName) != cgiParseSuccess)
                return cgiParseIO;
            out = std::fopen(tfileName, "w+b");
            if (out == nullptr) {
                unlink(tfileName);
                return cgiParseIO;
            }
        }

        char* value = nullptr;
        int bodyLength = 0;
        result = afterNextBoundary(&reader, out, isFile ? nullptr : &value, &bodyLength, 0);
        if (isFile) {
            // The close flushes the last buffered bytes: its failure is a
            // failed write like any other.
            if (std::fclose(out) != 0 && result == cgiParseSuccess)
                result = cgiParseIO;
            if (result != cgiParseSuccess)
                unlink(tfileName);
        }
        if (result != cgiParseSuccess)
            return result;

        auto* e = static_cast<cgiFormEntry*>(std::calloc(1, sizeof(cgiFormEntry)));
        if (e == nullptr) {
            std::free(value);
        } else {
            e->value = isFile ? cgiStrDup("") : value;
            e->attr = cgiStrDup(fieldName);
            e->fileName = cgiStrDup(isFile ? fileName : "");
            e->contentType = cgiStrDup(contentType);
            e->tfileName = cgiStrDup(tfileName);
            e->valueLength = bodyLength;
        }
        if (e == nullptr || e->value == nullptr || e->attr == nullptr || e->fileName == nullptr ||
            e->contentType == nullptr || e->tfileName == nullptr) {
            cgiFreeEntry(e);
            if (isFile)
                unlink(tfileName);
            return cgiParseMemory;
        }
        *tail = e;
        tail = &e->next;
    }
}
