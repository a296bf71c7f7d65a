// URL-encoded form input: the query string of a GET, the body of a POST.
#include "cgi/cgi_internal.h"

#include <stdlib.h>
#include <string.h>

namespace {

enum cgiUnescapeResultType { cgiUnescapeSuccess = 0, cgiUnescapeMemory = 1 };

// Decodes + and %XY; the result is never longer than the input. Bytes inside
// an escape always count as digits, so "%2+" is 0x20, and an escape cut by the
// end of the input vanishes.
cgiUnescapeResultType cgiUnescapeChars(char** out, const char* data, int length)
{
    char* s = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (s == NULL)
        return cgiUnescapeMemory;
    enum { plain, firstDigit, secondDigit } state = plain;
    int partial = 0;
    int len = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        switch (state) {
        case plain:
            if (c == '%')
                state = firstDigit;
            else
                s[len++] = c == '+' ? ' ' : static_cast<char>(c);
            break;
        case firstDigit:
            partial = cgiHexValue[c] * 16;
            state = secondDigit;
            break;
        case secondDigit:
            s[len++] = static_cast<char>(partial + cgiHexValue[c]);
            state = plain;
            break;
        }
    }
    s[len] = '\0';
    *out = s;
    return cgiUnescapeSuccess;
}

}  // namespace

cgiParseResultType cgiParseGetFormInput()
{
    return cgiParseFormInput(cgiQueryString, cgiContentLength);
}

cgiParseResultType cgiParsePostFormInput()
{
    if (cgiContentLength == 0)
        return cgiParseSuccess;
    // The announced length is the client's word: refused before anything is
    // allocated or read.
    if (cgiContentLength < 0 || cgiContentLength > cgiMaxUrlEncodedLength)
        return cgiParseMemory;
    char* input = static_cast<char*>(malloc(static_cast<size_t>(cgiContentLength)));
    if (input == NULL)
        return cgiParseMemory;
    int got = 0;
    cgiBodyBegin();
    while (got < cgiContentLength) {
        int n = cgiReadBody(input + got, cgiContentLength - got);
        if (n <= 0)
            break;
        got += n;
    }
    cgiBodyEnd(0);
    if (got < cgiContentLength) {
        free(input);
        return cgiParseIO;
    }
    cgiParseResultType result = cgiParseFormInput(input, cgiContentLength);
    free(input);
    return result;
}

cgiParseResultType cgiParseFormInput(const char* data, int length)
{
    cgiFormEntry** tail = cgiListTail();
    int pos = 0;
    while (pos < length) {
        int start = pos;
        while (pos < length && data[pos] != '=')
            ++pos;
        if (pos == length)
            return cgiParseSuccess;  // a trailing segment without '=' is dropped
        char* attr = NULL;
        if (cgiUnescapeChars(&attr, data + start, pos - start) != cgiUnescapeSuccess)
            return cgiParseMemory;
        start = ++pos;
        while (pos < length && data[pos] != '&')
            ++pos;
        bool more = pos < length;
        int valueEnd = pos;
        if (more)
            ++pos;
        char* value = NULL;
        if (cgiUnescapeChars(&value, data + start, valueEnd - start) != cgiUnescapeSuccess) {
            free(attr);
            return cgiParseMemory;
        }
        cgiFormEntry* e = static_cast<cgiFormEntry*>(calloc(1, sizeof(cgiFormEntry)));
        if (e == NULL) {
            free(attr);
            free(value);
            return cgiParseMemory;
        }
        e->attr = attr;
        e->value = value;
        e->fileName = cgiStrDup("");
        e->contentType = cgiStrDup("");
        e->tfileName = cgiStrDup("");
        if (e->fileName == NULL || e->contentType == NULL || e->tfileName == NULL) {
            cgiFreeEntry(e);
            return cgiParseMemory;
        }
        e->valueLength = static_cast<int>(strlen(value));
        *tail = e;
        tail = &e->next;
        if (!more)
            break;
    }
    return cgiParseSuccess;
}
