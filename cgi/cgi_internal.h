// What the layer's own modules share and the application must not use.
// Tests include it to drive the parsers directly.
#pragma once

#include "cgi/cgi.h"

extern int cgiRestored;
extern cgiFormEntry* cgiFormEntryFirst;
extern int cgiHexValue[256];

// The shared empty string that absent variables point at.
extern char cgiEmptyString[1];

void cgiSetupConstants();
int cgiStrEqNc(const char* a, const char* b);
int cgiStrBeginsNc(const char* s, const char* prefix);
void cgiFreeResources();

// Captures the environment and runs the parser for the request (steps 1 to 9
// of the entry); main() is this, then cgiMain(), then cgiFreeResources().
// Returns cgiParseSuccess or the parser's failure (resources already freed).
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
