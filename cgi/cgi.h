// The CGI request layer: the one header an application includes.
// The layer's main() captures the request, parses the form input into the
// entry list, calls the application's cgiMain() once, then frees everything
// (removing every temporary upload file). One process serves one request.
#pragma once

// <stdio.h> puts FILE in the global namespace, where the declarations below
// use it; <cstdio> stays for applications that reach std::fprintf through here.
#include <cstdio>
#include <stdio.h>

// ---- Request globals: never null once main() has captured the environment ----
extern char* cgiServerSoftware;
extern char* cgiServerName;
extern char* cgiGatewayInterface;
extern char* cgiServerProtocol;
extern char* cgiServerPort;
extern char* cgiRequestMethod;
extern char* cgiPathInfo;
extern char* cgiPathTranslated;
extern char* cgiScriptName;
extern char* cgiQueryString;
extern char* cgiRemoteHost;
extern char* cgiRemoteAddr;
extern char* cgiAuthType;
extern char* cgiRemoteUser;
extern char* cgiRemoteIdent;
extern char* cgiContentType;
extern char cgiContentTypeData[1024];
extern char* cgiMultipartBoundary;
extern int cgiContentLength;
extern char* cgiAccept;
extern char* cgiUserAgent;
extern char* cgiReferrer;
extern char* cgiCookie;
extern FILE* cgiIn;
extern FILE* cgiOut;

// The application entry, supplied by the program that links the layer.
extern int cgiMain();

// ---- Result codes ----
typedef enum {
    cgiParseSuccess = 0,
    cgiParseMemory = 1,
    cgiParseIO = 2
} cgiParseResultType;

typedef enum {
    cgiFormSuccess = 0,
    cgiFormTruncated = 1,
    cgiFormBadType = 2,
    cgiFormEmpty = 3,
    cgiFormNotFound = 4,
    cgiFormConstrained = 5,
    cgiFormNoSuchChoice = 6,
    cgiFormMemory = 7,
    cgiFormNoFileName = 8,
    cgiFormNoContentType = 9,
    cgiFormNotAFile = 10,
    cgiFormOpenFailed = 11,
    cgiFormIO = 12,
    cgiFormEOF = 13
} cgiFormResultType;

typedef enum {
    cgiEnvironmentIO = 0,
    cgiEnvironmentMemory = 1,
    cgiEnvironmentSuccess = 2,
    cgiEnvironmentWrongVersion = 3
} cgiEnvironmentResultType;

// ---- The form entry list ----
typedef struct cgiFormEntryStruct {
    char* attr;
    char* value;
    int valueLength;
    char* fileName;
    char* contentType;
    char* tfileName;  // path of the spooled upload; "" when the field is not a file
    struct cgiFormEntryStruct* next;
} cgiFormEntry;

typedef struct cgiFileStruct {
    FILE* stream;
} cgiFile;
typedef cgiFile* cgiFilePtr;

// The entry itself, valid until the request's resources are freed. Restarts
// the one search cursor shared by every accessor.
cgiFormEntry* cgiFormEntryFindFirst(const char* name);

// ---- String and file accessors ----
cgiFormResultType cgiFormString(const char* name, char* result, int max);
cgiFormResultType cgiFormStringNoNewlines(const char* name, char* result, int max);
cgiFormResultType cgiFormStringSpaceNeeded(const char* name, int* length);
cgiFormResultType cgiFormFileName(const char* name, char* result, int max);
cgiFormResultType cgiFormFileContentType(const char* name, char* result, int max);
cgiFormResultType cgiFormFileSize(const char* name, int* sizeP);
cgiFormResultType cgiFormFileOpen(const char* name, cgiFilePtr* cfpp);
cgiFormResultType cgiFormFileRead(cgiFilePtr cfp, char* buffer, int bufferSize, int* gotP);
cgiFormResultType cgiFormFileClose(cgiFilePtr cfp);

// ---- Typed accessors ----
cgiFormResultType cgiFormInteger(const char* name, int* result, int defaultV);
cgiFormResultType cgiFormIntegerBounded(const char* name, int* result, int min, int max,
                                        int defaultV);
cgiFormResultType cgiFormDouble(const char* name, double* result, double defaultV);
cgiFormResultType cgiFormDoubleBounded(const char* name, double* result, double min, double max,
                                       double defaultV);
cgiFormResultType cgiFormSelectSingle(const char* name, const char** choicesText, int choicesTotal,
                                      int* result, int defaultV);
cgiFormResultType cgiFormRadio(const char* name, const char** choicesText, int choicesTotal,
                               int* result, int defaultV);
cgiFormResultType cgiFormSelectMultiple(const char* name, const char** choicesText,
                                        int choicesTotal, int* result, int* invalid);
cgiFormResultType cgiFormCheckboxMultiple(const char* name, const char** valuesText,
                                          int valuesTotal, int* result, int* invalid);
cgiFormResultType cgiFormCheckboxSingle(const char* name);
cgiFormResultType cgiFormStringMultiple(const char* name, char*** ptrToStringArray);
cgiFormResultType cgiFormEntries(char*** ptrToStringArray);
void cgiStringArrayFree(char** stringArray);

// ---- Response headers and cookies ----
void cgiHeaderCookieSetString(const char* name, const char* value, int secondsForward,
                              const char* path, const char* domain);
void cgiHeaderCookieSetInteger(const char* name, int value, int secondsForward, const char* path,
                               const char* domain);
void cgiHeaderLocation(const char* redirectUrl);
void cgiHeaderStatus(int status, const char* statusMessage);
void cgiHeaderContentType(const char* mimeType);
cgiFormResultType cgiCookieString(const char* name, char* result, int space);
cgiFormResultType cgiCookieInteger(const char* name, int* result, int defaultV);
cgiFormResultType cgiCookies(char*** ptrToStringArray);

// ---- Escaping to cgiOut ----
cgiFormResultType cgiHtmlEscapeData(const char* data, int len);
cgiFormResultType cgiHtmlEscape(const char* s);
cgiFormResultType cgiValueEscapeData(const char* data, int len);
cgiFormResultType cgiValueEscape(const char* s);

// ---- Request capture and replay ----
cgiEnvironmentResultType cgiWriteEnvironment(const char* filename);
cgiEnvironmentResultType cgiReadEnvironment(const char* filename);
