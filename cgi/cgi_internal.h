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
enum { cgiEnvironmentTextCount = 20 };
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
// root, open for reading and writing; path receives its host path (callers
// pass 1024 bytes). NULL when it cannot be made (no file is left then).
FILE* cgiOpenTempFile(char* path);

// The upload file being spooled that no entry holds yet, or NULL.
extern const char* volatile cgiSpooling;
// Removes every temporary file of the request (the entries' and the one being
// spooled) with async-signal-safe calls only: what a run ended by a signal
// must not leave. The list itself stays for cgiFreeResources.
void cgiRemoveTempFilesNow();
// Makes SIGTERM, SIGINT and SIGHUP remove those files and end the run, and
// SIGPIPE a failed write (platform_handle_termination).
void cgiEndRunsCleanly();

cgiFormEntry* cgiFormEntryFindNext();
cgiFormResultType cgiFormEntryString(cgiFormEntry* e, char* result, int max, int newlines);

// ---- Entry list helpers shared by the parsers and the replay ----
// A heap copy of s (malloc), or NULL.
char* cgiStrDup(const char* s);
// Frees an entry and its strings; the file it names is left alone.
void cgiFreeEntry(cgiFormEntry* e);
// Address of the null link at the end of the list, where the next entry goes.
cgiFormEntry** cgiListTail();

// The one search cursor (reset when the list is freed, so that it never
// points at a freed entry).
extern const char* cgiFindTarget;
extern cgiFormEntry* cgiFindPos;

// ---- What one request may make the layer hold or wait for ----
// Beyond a limit the parse fails (cgiParseMemory): the run ends with -1 and
// no answer, every temporary file removed, nothing further read. A replayed
// capture is held to the same: as many entries as parts, every text a value's
// limit (cgiEnvironmentMemory inside an entry).
enum {
    cgiMaxParts = 1000,                    // parts of a multipart body
    cgiMaxValueLength = 1024 * 1024,       // a multipart value without file name
    cgiMaxUrlEncodedLength = 1024 * 1024   // a URL-encoded POST body
};
// The longest wait for the next byte of the body; QUIB_READ_IDLE_MS (a
// positive number of milliseconds) shortens it for tests. A body that stalls
// longer ends there, like a cut one.
enum { cgiReadIdleMs = 60000 };

// ---- The request body ----
// A parser reads the body between cgiBodyBegin() and cgiBodyEnd().
void cgiBodyBegin();
// Reads at most count bytes of the body from cgiIn: what has arrived, at least
// one byte unless the input has ended. 0 at the end of the input or on an error.
int cgiReadBody(char* buffer, int count);
// Hands the unused bytes read ahead back to cgiIn when it can seek, so that
// the input stands right after what the parse used.
void cgiBodyEnd(int unused);

// ---- Multipart reader ----
// The most bytes one read of the body asks for (cgiMpBlockSize); tests lower
// it so that delimiters straddle reads.
enum { cgiMpBlockSize = 65536 };
extern int cgiMpReadSize;

// ---- Typed accessors ----
// The first byte of s that is not a space, LF, CR or tab (the NUL at worst).
const char* cgiFirstNonspaceChar(const char* s);
