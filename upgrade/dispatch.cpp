// The dispatcher, first on the road of a request: the cross-site gate, the query
// string, the route of the one upload to its handler, the result page.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "cgi/cgi.h"
#include "flash/EEProm.h"
#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "platform/platform.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade_internal.h"

bool Begins(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

namespace {

const char kDefaultUrl[] = "url=../index.html";
const char kVersion[] = "v2.11";
const char kField[] = "Filedata";
enum { kTextSize = 128 };

// The restore requests by the query key that names them; the last one wins.
struct RestoreKey {
    const char* key;
    RestoreKind kind;
};
const RestoreKey kRestoreKeys[] = {
    {"settings=", RESTORE_SETTINGS},
    {"models=", RESTORE_MODELS},
    {"system=", RESTORE_SYSTEM},
};

// Serialises whole requests: flash command sequences and the NAND copies of
// two uploads must never interleave.
const char kLockPath[] = "/tmp/upgrade.lock";
// The longest wait for another run to let go: longer than any write (a
// firmware takes about 13 s). QUIB_LOCK_WAIT_MS, a positive number of
// milliseconds, shortens it for tests.
const long kLockWaitMs = 120000;
const long kLockPollMs = 50;

// The lock's fd, or -1 when the file is refused or another run holds the
// lock past the limit. Polled: a blocking wait would have no limit.
int LockRequests()
{
    int fd = platform_open_lock_file(kLockPath);
    if (fd < 0)
        return -1;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    const long limit = platform_shortened_limit("QUIB_LOCK_WAIT_MS", kLockWaitMs);
    for (long waited = 0;; waited += kLockPollMs) {
        if (fcntl(fd, F_SETLK, &fl) == 0)
            return fd;
        const bool held = errno == EACCES || errno == EAGAIN || errno == EINTR;
        if (!held || waited >= limit) {
            close(fd);
            return -1;
        }
        usleep(kLockPollMs * 1000);
    }
}

// Double quotes would end the Refresh attribute and '<' may not stand in one;
// every other byte goes out as it is.
void PutAttr(FILE* out, const char* s)
{
    for (; *s != '\0'; ++s) {
        if (*s == '"')
            fputs("&#34;", out);
        else if (*s == '<')
            fputs("&#60;", out);
        else
            fputc(*s, out);
    }
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

// A value of the outcome query string, percent-encoded so that the calling
// page decodes it whole; ordinary names go out unchanged.
void PutQueryValue(FILE* out, const char* s)
{
    // A byte at a time: a name of any length is written whole, never dropped.
    for (; *s != '\0'; ++s) {
        const char one[2] = {*s, '\0'};
        char encoded[4];
        if (PercentEncode(one, encoded, sizeof encoded))
            fputs(encoded, out);
    }
}

void PutQueryChar(FILE* out, int c)
{
    const char s[2] = {static_cast<char>(c), '\0'};
    PutQueryValue(out, s);
}

int RouteUpload(int udpPort, int restoreKind, const char* tmpPath, const char* baseName,
                char* typeText)
{
    if (udpPort != 0) {
        snprintf(typeText, kTextSize, "%s", "UDP");
        return EnvoiUDP(udpPort, tmpPath, baseName);
    }
    // Stored on the drive of board 2 only: on a board not identified, nowhere.
    if (restoreKind == RESTORE_SETTINGS && Begins(baseName, "gps_"))
        return F_BoardIdentified() ? Store_Gps_Conf(tmpPath, baseName) : UPG_ERR_WRITE;
    if (restoreKind != RESTORE_NONE)
        return Restore_Settings(tmpPath, baseName, restoreKind);
    return flash_file(baseName, tmpPath, typeText);
}


// One host and port, as the browser and the web server give them.
struct Authority {
    const char* host;
    size_t hostLen;
    long port;
};

// Splits "host[:port]" or "[v6]:port" (len bytes of s); a missing port is
// defaultPort. False for anything else: no host, userinfo, a path, a bad port.
bool ParseAuthority(const char* s, size_t len, long defaultPort, Authority* a)
{
    size_t hostLen = len;
    if (len > 0 && s[0] == '[') {
        const void* close = memchr(s, ']', len);
        if (close == NULL)
            return false;
        hostLen = static_cast<size_t>(static_cast<const char*>(close) - s) + 1;
    } else {
        const void* colon = memchr(s, ':', len);
        if (colon != NULL)
            hostLen = static_cast<size_t>(static_cast<const char*>(colon) - s);
    }
    if (hostLen == 0)
        return false;
    for (size_t i = 0; i < hostLen; ++i) {
        if (strchr("/?#@\\ ", s[i]) != NULL || static_cast<unsigned char>(s[i]) < 0x20)
            return false;
    }
    a->host = s;
    a->hostLen = hostLen;
    a->port = defaultPort;
    if (hostLen == len)
        return true;
    if (s[hostLen] != ':' || len - hostLen > 6)
        return false;
    if (len - hostLen == 1)
        return true;  // "host:" is the default port
    long port = 0;
    for (size_t i = hostLen + 1; i < len; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        port = port * 10 + (s[i] - '0');
    }
    if (port > 65535)
        return false;
    a->port = port;
    return true;
}

}  // namespace

bool PercentEncode(const char* s, char* out, size_t outSize)
{
    static const char kHex[] = "0123456789ABCDEF";
    size_t n = 0;
    for (; *s != '\0'; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        const size_t need = IsUnreserved(c) ? 1 : 3;
        if (n + need >= outSize) {
            if (outSize > 0)
                out[0] = '\0';
            return false;
        }
        if (need == 1) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '%';
            out[n++] = kHex[c >> 4];
            out[n++] = kHex[c & 0x0F];
        }
    }
    if (outSize == 0)
        return false;
    out[n] = '\0';
    return true;
}

namespace {

// Four decimal parts of 0 to 255.
bool IsIpv4Literal(const char* s, size_t len)
{
    int parts = 0;
    for (size_t i = 0; i < len; ++parts) {
        size_t digits = 0;
        int value = 0;
        for (; i < len && s[i] >= '0' && s[i] <= '9' && digits < 4; ++i, ++digits)
            value = value * 10 + (s[i] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        if (i < len && (s[i] != '.' || ++i == len))
            return false;
    }
    return parts == 4;
}

// "[...]" holding hex digits, colons (at least one) and the dots of an IPv4 tail.
bool IsIpv6Literal(const char* s, size_t len)
{
    if (len < 4 || s[0] != '[' || s[len - 1] != ']' || memchr(s, ':', len) == NULL)
        return false;
    for (size_t i = 1; i + 1 < len; ++i) {
        if (!isxdigit(static_cast<unsigned char>(s[i])) && s[i] != ':' && s[i] != '.')
            return false;
    }
    return true;
}

bool SameName(const char* a, size_t aLen, const char* b, size_t bLen)
{
    return aLen > 0 && aLen == bLen && strncasecmp(a, b, aLen) == 0;
}

// A name a rebinding attacker cannot serve: an address, localhost, or this
// system's host name (as the system has it, or its first label alone; never
// under another domain).
bool IsOwnName(const char* host, size_t len)
{
    if (IsIpv4Literal(host, len) || IsIpv6Literal(host, len) || SameName(host, len, "localhost", 9))
        return true;
    char own[256];
    if (platform_host_name(own, sizeof own) != 0)
        return false;
    return SameName(host, len, own, strlen(own)) || SameName(host, len, own, strcspn(own, "."));
}

}  // namespace

bool FromOwnPage(const char* origin, const char* referer, const char* host)
{
    const bool hasOrigin = origin != NULL && origin[0] != '\0';
    const char* from = hasOrigin ? origin : referer;
    if (from == NULL || from[0] == '\0')
        return true;  // curl and scripts send neither
    if (host == NULL)
        return false;
    long defaultPort = 0;
    size_t skip = 0;
    if (strncasecmp(from, "http://", 7) == 0) {
        defaultPort = 80;
        skip = 7;
    } else if (strncasecmp(from, "https://", 8) == 0) {
        defaultPort = 443;
        skip = 8;
    } else {
        return false;  // "null", file:, extensions: never the instrument's own page
    }
    // An Origin is the scheme and authority alone; a Referer goes on with its path.
    const char* authority = from + skip;
    const size_t authorityLen = hasOrigin ? strlen(authority) : strcspn(authority, "/?#");
    Authority a = {NULL, 0, 0};
    Authority h = {NULL, 0, 0};
    if (!ParseAuthority(authority, authorityLen, defaultPort, &a) ||
        !ParseAuthority(host, strlen(host), defaultPort, &h))
        return false;
    // A rebound name supplies both headers alike: the name itself must be ours.
    return a.port == h.port && SameName(a.host, a.hostLen, h.host, h.hostLen) &&
           IsOwnName(h.host, h.hostLen);
}

bool IsRelativeReference(const char* ref)
{
    // The browser skips blanks and takes a quote as a delimiter before it
    // resolves the reference, and drops tabs and line breaks inside it: any
    // of them could turn "/ /host" into "//host", so none is followed.
    if (ref[0] == '\'')
        return false;
    for (const char* p = ref; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7F || c == '"')
            return false;
    }
    // "//host" and the backslash forms browsers read as it leave the instrument.
    if (ref[0] == '\\' || (ref[0] == '/' && (ref[1] == '/' || ref[1] == '\\')))
        return false;
    // A scheme is a ':' before the first '/', '?' or '#'.
    const size_t head = strcspn(ref, "/?#");
    return memchr(ref, ':', head) == NULL;
}

void ScanQueryString(char* qs, UpgradeQuery* q)
{
    q->urlToken = kDefaultUrl;
    q->udpPort = 0;
    q->restoreKind = RESTORE_NONE;
    if (qs == NULL || qs[0] == '\0')
        return;
    char* token = qs;
    for (;;) {
        char* amp = strchr(token, '&');
        if (amp != NULL)
            *amp = '\0';
        if (Begins(token, "url="))
            q->urlToken = IsRelativeReference(token + 4) ? token : kDefaultUrl;
        else if (Begins(token, "udp_port="))
            q->udpPort = token[9];
        for (size_t i = 0; i < sizeof kRestoreKeys / sizeof kRestoreKeys[0]; ++i) {
            const RestoreKey& r = kRestoreKeys[i];
            if (Begins(token, r.key))
                q->restoreKind = r.kind;
        }
        if (amp == NULL || amp[1] == '\0')
            break;
        token = amp + 1;
    }
}

void StripDirectories(const char* name, char* out, size_t outSize)
{
    const char* base = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    snprintf(out, outSize, "%s", base);
}

int Fichier(int udpPort, int restoreKind, char* baseName, char* typeText)
{
    char fileName[kTextSize];
    if (cgiFormFileName(kField, fileName, sizeof fileName) != cgiFormSuccess)
        return UPG_ERR_NAME;
    StripDirectories(fileName, baseName, kTextSize);

    cgiFilePtr upload = NULL;
    if (cgiFormFileOpen(kField, &upload) != cgiFormSuccess)
        return UPG_ERR_UPLOAD;
    const cgiFormEntry* entry = cgiFormEntryFindFirst(kField);
    if (entry == NULL || entry->tfileName == NULL || entry->tfileName[0] == '\0') {
        cgiFormFileClose(upload);
        return UPG_ERR_UPLOAD;
    }

    F_DetectCINTBoardConfig(1);
    int result = RouteUpload(udpPort, restoreKind, entry->tfileName, baseName, typeText);

    if (result == -1)
        result = UPG_ERR_LOADER;
    else if (result == -2)
        result = UPG_ERR_DSP;
    cgiFormFileClose(upload);
    return result;
}

namespace {

// What was handled, or the error number and the program's version.
void PutOutcome(FILE* out, int outcome, const char* typeText, const char* baseName)
{
    if (outcome > 100) {
        fprintf(out, "?error=%i&version=%s", outcome + 1900, kVersion);
        return;
    }
    fputs("?type=", out);
    PutQueryValue(out, typeText);
    fputs("&name=", out);
    PutQueryValue(out, baseName);
}

}  // namespace

void WriteResultPage(FILE* out, int outcome, const UpgradeQuery* q, const char* typeText,
                     const char* baseName)
{
    fputs("Content-Type: text/html; charset=utf-8\r\n"
          "Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"
          "Pragma: no-cache\r\n"
          "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
          "\r\n",
          out);
    fputs("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
          "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
          "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\">"
          "<head>\r\n"
          "<title>ORVEN</title>"
          "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />",
          out);

    fputs("<meta http-equiv=\"Refresh\" content=\"0;", out);
    PutAttr(out, q->urlToken);
    const bool failed = outcome > 100;
    if (q->udpPort != 0) {
        PutOutcome(out, outcome, typeText, baseName);
        fputs("&port=", out);
        PutQueryChar(out, q->udpPort);
    } else if (q->restoreKind != RESTORE_NONE) {
        fprintf(out, "?restoresettingserror=%i", failed ? outcome + 1900 : outcome);
    } else {
        PutOutcome(out, outcome, typeText, baseName);
    }
    fputs("\" />", out);
    fputs("</head><body></body></html>", out);
    fflush(out);
}

int cgiMain()
{
    UpgradeQuery q;
    ScanQueryString(getenv("QUERY_STRING"), &q);

    char baseName[kTextSize] = "";
    char typeText[kTextSize] = "Unknown";
    int outcome = UPG_ERR_ORIGIN;
    // Another site's page can make the browser post here; such a request
    // reaches neither the lock nor the chip.
    if (FromOwnPage(getenv("HTTP_ORIGIN"), getenv("HTTP_REFERER"), getenv("HTTP_HOST"))) {
        // One request at a time from here until the handler has returned: even
        // the identification that F_FlashDrv_Init sends to the chip would break
        // another request's erase or program sequence. Without the lock nothing
        // is sent to the chip.
        const int lock = LockRequests();
        if (lock < 0) {
            outcome = UPG_ERR_WRITE;
        } else {
            // The board detection reads the loader region through the map set here.
            F_FlashDrv_Init();
            outcome = Fichier(q.udpPort, q.restoreKind, baseName, typeText);
            close(lock);
        }
    }
    WriteResultPage(cgiOut, outcome, &q, typeText, baseName);
    return 0;
}

int flash_file(const char* baseName, const char* tmpPath, char* typeText)
{
    // Nothing can be written without the service; saying "done" would be a lie.
    if (F_InitEEProm() != 0)
        return UPG_ERR_WRITE;

    struct Kind {
        const char* prefix;
        const char* type;
        int (*writer)(const char*, const char*);
        bool stored;  // written here (flash or NAND drive) as the board has it, not handed to a peer
    };
    static const Kind kinds[] = {
        {"Web", "IHM", flash_Web, true},
        {"FrmWCINT", "FirmwareCINT", flash_firmware, true},
        {"LoaderCINT", "LoaderCINT", flash_loader, true},
        {"FrmWDSP", "FirmwareDSP", flash_firmwareDSP, false},
        {"LoaderDSP", "LoaderDSP", flash_loaderDSP, false},
    };
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; ++i) {
        const Kind& k = kinds[i];
        if (Begins(baseName, k.prefix)) {
            snprintf(typeText, kTextSize, "%s", k.type);
            // Board 1 by default would put a board 2's image into NOR.
            if (k.stored && !F_BoardIdentified())
                return UPG_ERR_WRITE;
            // The page shows the progress as the instrument's storage being written.
            if (k.stored)
                upgrade_progress_begin(baseName);
            const int result = k.writer(baseName, tmpPath);
            upgrade_progress_end();
            return result;
        }
    }
    return UPG_ERR_KIND;
}
