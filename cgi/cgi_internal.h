// What the layer's own modules share and the application must not use.
// Tests include it to drive the parsers directly.
#pragma once

#include "cgi/cgi.h"

extern int cgiRestored;
extern cgiFormEntry* cgiFormEntryFirst;
extern int cgiHexValue[256];

// The shared empty string that absent variables point at.
extern char cgiEmptyString[1];

// The twenty environment texts in capture-file order: the fifteen server and
// request variables, cgiContentType, cgiAccept, cgiUserAgent, cgiReferrer,
// cgiCookie. A restore makes each of them a heap copy.
constexpr int cgiEnvironmentTextCount = 20;
extern char** const cgiEnvironmentTexts[cgiEnvironmentTextCount];

void cgiSetupConstants();
int cgiStrEqNc(const char* a, const char* b);
int cgiStrBeginsNc(const char* s, const char* prefix);
void cgiFreeResources();

// atoi without its undefined behaviour: out-of-range numbers saturate at
// INT_MIN/INT_MAX instead of wrapping into a plausible-looking length.
int cgiAtoi(const char* s);

// Captures the environment and runs the parser for the request (steps 1 to 9
// of the entry); main() is this, then cgiMain(), then cgiFreeResources().
// Returns cgiParseSuccess or the parser's failure (resources already freed).
// cgiIn and cgiOut are set to stdin and stdout only when still null, so a test
// may point them at its own streams before the call. Any earlier request state
// is freed first.
cgiParseResultType cgiCaptureAndParse();

cgiParseResultType cgiParseGetFormInput();
cgiParseResultType cgiParsePostFormInput();
cgiParseResultType cgiParseFormInput(const char* data, int length);
cgiParseResultType cgiParsePostMultipartInput();

// Makes a private temporary file from "/tmp/quibXXXXXX" below the instrument
// root; path receives its host path (callers pass 1024 bytes).
cgiParseResultType getTempFileName(char* path);

cgiFormEntry* cgiFormEntryFindNext();
cgiFormResultType cgiFormEntryString(cgiFormEntry* e, char* result, int max, int newlines);

// ---- Entry list helpers shared by the parsers and the replay ----
// A heap copy of s (malloc), or nullptr.
char* cgiStrDup(const char* s);
// Frees an entry and its strings; the file it names is left alone.
void cgiFreeEntry(cgiFormEntry* e);
// Address of the null link at the end of the list, where the next entry goes.
cgiFormEntry** cgiListTail();

// The one search cursor (reset when the list is freed, so that it never
// points at a freed entry).
extern const char* cgiFindTarget;
extern cgiFormEntry* cgiFindPos;

// ---- Multipart reader with its put-back ring ----
struct mpReader {
    unsigned char ring[1024];
    int readIndex;
    int writeIndex;
    int streamOffset;
};

// Bytes delivered (0..count), or -1 when the declared length is used up and
// nothing waits in the ring.
int mpRead(mpReader* reader, char* buffer, int count);
void mpPutBack(mpReader* reader, const char* bytes, int count);
cgiParseResultType afterNextBoundary(mpReader* reader, FILE* outFile, char** outValue,
                                     int* bodyLength, int first);
int readHeaderLine(mpReader* reader, char* attr, int attrSpace, char* value, int valueSpace);
void decomposeValue(const char* value, char* mvalue, int mvalueSpace, const char** argNames,
                    char** argValues, int argValueSpace);

// ---- Response headers ----
// Weekday (Sunday = 0) and month (January = 0) names of HTTP dates.
extern const char* const days[7];
extern const char* const months[12];

// ---- Typed accessors ----
// The first byte of s that is not a space, LF, CR or tab (the NUL at worst).
const char* cgiFirstNonspaceChar(const char* s);
