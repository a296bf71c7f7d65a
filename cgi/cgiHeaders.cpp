// Response headers and the cookies the browser sent. The header writers
// print to cgiOut; Set-Cookie lines go first, then exactly one of the
// writers that end the header block.
#include "cgi/cgi_internal.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// Weekday (Sunday = 0) and month (January = 0) names of HTTP dates.
const char* const days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void cgiHeaderCookieSetString(const char* name, const char* value, int secondsForward,
                              const char* path, const char* domain)
{
    time_t when = time(NULL) + secondsForward;
    tm gt = {};
    if (gmtime_r(&when, &gt) == NULL)
        return;
    // domain comes before the date in the line, though it is the last argument.
    fprintf(cgiOut,
            "Set-Cookie: %s=%s; domain=%s; expires=%s, %02d-%s-%04d %02d:%02d:%02d GMT; "
            "path=%s\r\n",
            name, value, domain, days[gt.tm_wday], gt.tm_mday, months[gt.tm_mon],
            gt.tm_year + 1900, gt.tm_hour, gt.tm_min, gt.tm_sec, path);
}

void cgiHeaderCookieSetInteger(const char* name, int value, int secondsForward, const char* path,
                               const char* domain)
{
    char svalue[256];
    snprintf(svalue, sizeof svalue, "%d", value);
    cgiHeaderCookieSetString(name, svalue, secondsForward, path, domain);
}

void cgiHeaderLocation(const char* redirectUrl)
{
    fprintf(cgiOut, "Location: %s\r\n\r\n", redirectUrl);
}

void cgiHeaderStatus(int status, const char* statusMessage)
{
    fprintf(cgiOut, "Status: %d %s\r\n\r\n", status, statusMessage);
}

void cgiHeaderContentType(const char* mimeType)
{
    fprintf(cgiOut, "Content-type: %s\r\n\r\n", mimeType);
}

cgiFormResultType cgiCookieString(const char* name, char* value, int space)
{
    const char* p = cgiCookie;
    while (*p != '\0') {
        const char* n = name;
        while (*n != '\0' && *p == *n) {
            ++p;
            ++n;
        }
        if (*n == '\0' && *p == '=') {
            ++p;
            int len = 0;
            bool truncated = false;
            while (*p != '\0' && *p != ';') {
                if (len >= space - 1) {
                    truncated = true;
                    break;
                }
                value[len++] = *p++;
            }
            if (space > 0)
                value[len] = '\0';
            return truncated ? cgiFormTruncated : cgiFormSuccess;
        }
        while (*p != '\0' && *p != ';')
            ++p;
        if (*p == '\0')
            break;
        ++p;
        while (isspace(static_cast<unsigned char>(*p)))
            ++p;
    }
    if (space > 0)
        value[0] = '\0';
    return cgiFormNotFound;
}

cgiFormResultType cgiCookieInteger(const char* name, int* result, int defaultV)
{
    char buffer[256];
    cgiFormResultType r = cgiCookieString(name, buffer, sizeof buffer);
    *result = r == cgiFormSuccess ? cgiAtoi(buffer) : defaultV;
    return r;
}

namespace {

// Takes one cookie name of len bytes at start; false stops the walk.
typedef bool (*CookieNameVisit)(const char* start, size_t len, void* context);

// Walks the names of the cookie header: a name runs to the next '=' (a ';'
// does not end it), the rest of the pair up to its ';' is skipped. Each name
// goes to visit with context; false when a visit stopped the walk.
bool forEachCookieName(CookieNameVisit visit, void* context)
{
    const char* p = cgiCookie;
    while (*p != '\0') {
        while (isspace(static_cast<unsigned char>(*p)))
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != '=')
            ++p;
        if (p > start && !visit(start, static_cast<size_t>(p - start), context))
            return false;
        while (*p != '\0' && *p != ';')
            ++p;
        if (*p == '\0')
            break;
        ++p;
    }
    return true;
}

// Counts one name in the size_t at context.
bool countCookieName(const char*, size_t, void* context)
{
    ++*static_cast<size_t*>(context);
    return true;
}

// The names gathered so far: the next one goes to names[count].
struct CookieNames {
    char** names;
    size_t count;
};

// Appends a heap copy of the name to the CookieNames at context; false when
// there is no memory for it.
bool copyCookieName(const char* start, size_t len, void* context)
{
    CookieNames* list = static_cast<CookieNames*>(context);
    char* name = static_cast<char*>(malloc(len + 1));
    if (name == NULL)
        return false;
    memcpy(name, start, len);
    name[len] = '\0';
    list->names[list->count++] = name;
    return true;
}

}  // namespace

cgiFormResultType cgiCookies(char*** result)
{
    // Counted with the same walk, so a name without '=' has its room too.
    size_t total = 0;
    forEachCookieName(countCookieName, &total);
    char** names = static_cast<char**>(calloc(total + 1, sizeof(char*)));
    if (names == NULL) {
        *result = NULL;
        return cgiFormMemory;
    }
    CookieNames list = {names, 0};
    bool ok = forEachCookieName(copyCookieName, &list);
    if (!ok) {
        cgiStringArrayFree(names);
        *result = NULL;
        return cgiFormMemory;
    }
    *result = names;
    return cgiFormSuccess;
}
