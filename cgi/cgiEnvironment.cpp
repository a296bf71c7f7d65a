// Request entry and environment: captures the CGI meta-variables into the
// request globals, picks the one form parser the request calls for, and frees
// every request resource afterwards.
#include "cgi/cgi_internal.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform.h"

char cgiEmptyString[1] = "";

// Until the environment is captured every text reads as empty, never null.
char* cgiServerSoftware = cgiEmptyString;
char* cgiServerName = cgiEmptyString;
char* cgiGatewayInterface = cgiEmptyString;
char* cgiServerProtocol = cgiEmptyString;
char* cgiServerPort = cgiEmptyString;
char* cgiRequestMethod = cgiEmptyString;
char* cgiPathInfo = cgiEmptyString;
char* cgiPathTranslated = cgiEmptyString;
char* cgiScriptName = cgiEmptyString;
char* cgiQueryString = cgiEmptyString;
char* cgiRemoteHost = cgiEmptyString;
char* cgiRemoteAddr = cgiEmptyString;
char* cgiAuthType = cgiEmptyString;
char* cgiRemoteUser = cgiEmptyString;
char* cgiRemoteIdent = cgiEmptyString;
char cgiContentTypeData[1024];
char* cgiContentType = cgiContentTypeData;
char* cgiMultipartBoundary = cgiEmptyString;
int cgiContentLength = 0;
char* cgiAccept = cgiEmptyString;
char* cgiUserAgent = cgiEmptyString;
char* cgiReferrer = cgiEmptyString;
char* cgiCookie = cgiEmptyString;
FILE* cgiIn = NULL;
FILE* cgiOut = NULL;

int cgiRestored = 0;
cgiFormEntry* cgiFormEntryFirst = NULL;
int cgiHexValue[256];

char** const cgiEnvironmentTexts[cgiEnvironmentTextCount] = {
    &cgiServerSoftware, &cgiServerName,   &cgiGatewayInterface, &cgiServerProtocol,
    &cgiServerPort,     &cgiRequestMethod, &cgiPathInfo,        &cgiPathTranslated,
    &cgiScriptName,     &cgiQueryString,   &cgiRemoteHost,      &cgiRemoteAddr,
    &cgiAuthType,       &cgiRemoteUser,    &cgiRemoteIdent,     &cgiContentType,
    &cgiAccept,         &cgiUserAgent,     &cgiReferrer,        &cgiCookie,
};

namespace {

struct EnvText {
    char** target;
    const char* name;
};

const EnvText serverVariables[] = {
    {&cgiServerSoftware, "SERVER_SOFTWARE"}, {&cgiServerName, "SERVER_NAME"},
    {&cgiGatewayInterface, "GATEWAY_INTERFACE"}, {&cgiServerProtocol, "SERVER_PROTOCOL"},
    {&cgiServerPort, "SERVER_PORT"},         {&cgiRequestMethod, "REQUEST_METHOD"},
    {&cgiPathInfo, "PATH_INFO"},             {&cgiPathTranslated, "PATH_TRANSLATED"},
    {&cgiScriptName, "SCRIPT_NAME"},         {&cgiQueryString, "QUERY_STRING"},
    {&cgiRemoteHost, "REMOTE_HOST"},         {&cgiRemoteAddr, "REMOTE_ADDR"},
    {&cgiAuthType, "AUTH_TYPE"},             {&cgiRemoteUser, "REMOTE_USER"},
    {&cgiRemoteIdent, "REMOTE_IDENT"},
};

const EnvText clientVariables[] = {
    {&cgiAccept, "HTTP_ACCEPT"},
    {&cgiUserAgent, "HTTP_USER_AGENT"},
    {&cgiReferrer, "HTTP_REFERER"},
    {&cgiCookie, "HTTP_COOKIE"},
};

enum {
    serverVariableCount = sizeof serverVariables / sizeof serverVariables[0],
    clientVariableCount = sizeof clientVariables / sizeof clientVariables[0]
};

void cgiGetenv(char** target, const char* name)
{
    char* v = getenv(name);
    *target = v != NULL ? v : cgiEmptyString;
}

bool sameChar(char a, char b)
{
    if (isalpha(static_cast<unsigned char>(a)))
        return tolower(static_cast<unsigned char>(a)) ==
               tolower(static_cast<unsigned char>(b));
    return a == b;
}

// The boundary parameter's value, terminated in place. It may be a
// quoted-string (RFC 2046; .NET's HttpClient always quotes it), which gives
// its content; a bare value runs to the first white space.
char* cgiTakeBoundary(char* value)
{
    char* end = value;
    if (*value != '"') {
        while (*end != '\0' && !isspace(static_cast<unsigned char>(*end)))
            ++end;
        *end = '\0';
        return value;
    }
    // The content moves one byte left, over the opening quote; a backslash
    // stands for the byte after it.
    for (const char* from = value + 1; *from != '\0' && *from != '"'; ++from) {
        if (*from == '\\' && from[1] != '\0')
            ++from;
        *end++ = *from;
    }
    *end = '\0';
    return value;
}

// Copies CONTENT_TYPE, cuts it before its first parameter and picks the
// boundary out of the parameters.
void cgiCaptureContentType()
{
    const char* ct = getenv("CONTENT_TYPE");
    size_t n = ct != NULL ? strlen(ct) : 0;
    if (n > sizeof cgiContentTypeData - 1)
        n = sizeof cgiContentTypeData - 1;
    if (n > 0)
        memcpy(cgiContentTypeData, ct, n);
    cgiContentTypeData[n] = '\0';
    cgiContentType = cgiContentTypeData;
    cgiMultipartBoundary = cgiEmptyString;

    char* p = strchr(cgiContentTypeData, ';');
    while (p != NULL) {
        *p++ = '\0';
        while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (cgiStrBeginsNc(p, "boundary=")) {
            cgiMultipartBoundary = cgiTakeBoundary(p + 9);
            return;
        }
        p = strchr(p, ';');
    }
}

}  // namespace

void cgiSetupConstants()
{
    memset(cgiHexValue, 0, sizeof cgiHexValue);
    for (int i = 0; i < 10; ++i)
        cgiHexValue['0' + i] = i;
    for (int i = 0; i < 6; ++i) {
        cgiHexValue['A' + i] = 10 + i;
        cgiHexValue['a' + i] = 10 + i;
    }
}

int cgiStrEqNc(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (*a == '\0')
            return *b == '\0' ? 1 : 0;
        if (*b == '\0' || !sameChar(*a, *b))
            return 0;
    }
}

int cgiStrBeginsNc(const char* s, const char* prefix)
{
    for (;; ++s, ++prefix) {
        if (*prefix == '\0')
            return 1;
        if (*s == '\0' || !sameChar(*s, *prefix))
            return 0;
    }
}

int cgiAtoi(const char* s)
{
    long v = strtol(s, NULL, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

const char* volatile cgiSpooling = NULL;

void cgiRemoveTempFilesNow()
{
    for (const cgiFormEntry* e = cgiFormEntryFirst; e != NULL; e = e->next) {
        if (e->tfileName != NULL && e->tfileName[0] != '\0')
            unlink(e->tfileName);
    }
    const char* spooling = cgiSpooling;
    if (spooling != NULL)
        unlink(spooling);
}

void cgiEndRunsCleanly()
{
    platform_handle_termination(cgiRemoveTempFilesNow);
}

void cgiFreeResources()
{
    // A termination signal meanwhile would find the list half freed.
    platform_hold_termination();
    cgiFormEntry* e = cgiFormEntryFirst;
    while (e != NULL) {
        cgiFormEntry* next = e->next;
        if (e->tfileName != NULL && e->tfileName[0] != '\0')
            unlink(e->tfileName);
        cgiFreeEntry(e);
        e = next;
    }
    if (cgiRestored) {
        for (int i = 0; i < cgiEnvironmentTextCount; ++i) {
            free(*cgiEnvironmentTexts[i]);
            *cgiEnvironmentTexts[i] = cgiEmptyString;
        }
    }
    cgiFormEntryFirst = NULL;
    cgiRestored = 0;
    cgiFindPos = NULL;
    platform_release_termination();
}

cgiParseResultType cgiCaptureAndParse()
{
    // A real run starts empty; a test that captures twice must not leak.
    cgiFreeResources();
    cgiSetupConstants();
    for (int i = 0; i < serverVariableCount; ++i)
        cgiGetenv(serverVariables[i].target, serverVariables[i].name);
    cgiCaptureContentType();
    char* length = NULL;
    cgiGetenv(&length, "CONTENT_LENGTH");
    cgiContentLength = cgiAtoi(length);
    for (int i = 0; i < clientVariableCount; ++i)
        cgiGetenv(clientVariables[i].target, clientVariables[i].name);
    if (cgiIn == NULL)
        cgiIn = stdin;
    if (cgiOut == NULL)
        cgiOut = stdout;

    cgiParseResultType result = cgiParseSuccess;
    if (cgiStrEqNc(cgiRequestMethod, "post")) {
        if (cgiStrEqNc(cgiContentType, "application/x-www-form-urlencoded"))
            result = cgiParsePostFormInput();
        else if (cgiStrEqNc(cgiContentType, "multipart/form-data"))
            result = cgiParsePostMultipartInput();
    } else if (cgiStrEqNc(cgiRequestMethod, "get")) {
        cgiContentLength = static_cast<int>(strlen(cgiQueryString));
        result = cgiParseGetFormInput();
    }
    if (result != cgiParseSuccess)
        cgiFreeResources();
    return result;
}
