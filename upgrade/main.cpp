// The application entry: query string, routing of the one upload, result page.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cgi/cgi.h"
#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "platform/platform.h"
#include "upgrade/upgrade.h"

namespace {

constexpr char kDefaultUrl[] = "url=../index.html";
constexpr char kVersion[] = "v2.11";
constexpr char kField[] = "Filedata";
constexpr size_t kTextSize = 128;

// Serialises whole requests: flash command sequences, the board report's
// scratch file and the NAND copies of two uploads must never interleave.
constexpr char kLockPath[] = "/tmp/upgrade.lock";

int LockRequests()
{
    char path[1024];
    if (platform_path(kLockPath, path, sizeof path) == nullptr)
        return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &fl) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Double quotes would end the Refresh attribute; every other byte goes out as it is.
void PutAttr(FILE* out, const char* s)
{
    for (; *s != '\0'; ++s) {
        if (*s == '"')
            std::fputs("&#34;", out);
        else
            std::fputc(*s, out);
    }
}

void PutAttrChar(FILE* out, int c)
{
    const char s[2] = {static_cast<char>(c), '\0'};
    PutAttr(out, s);
}

int RouteUpload(int udpPort, int restoreKind, const char* tmpPath, const char* baseName,
                char* typeText)
{
    if (udpPort != 0) {
        std::snprintf(typeText, kTextSize, "%s", "UDP");
        return EnvoiUDP(udpPort, tmpPath, baseName);
    }
    if (restoreKind == 1 && Begins(baseName, "gps_"))
        return Store_Gps_Conf(tmpPath, baseName);
    if (restoreKind != 0)
        return Restore_Settings(tmpPath, baseName, restoreKind);
    return flash_file(baseName, tmpPath, typeText);
}

}  // namespace

void ScanQueryString(char* qs, UpgradeQuery* q)
{
    q->urlToken = kDefaultUrl;
    q->udpPort = 0;
    q->restoreKind = 0;
    if (qs == nullptr || qs[0] == '\0')
        return;
    char* token = qs;
    for (;;) {
        char* amp = std::strchr(token, '&');
        if (amp != nullptr)
            *amp = '\0';
        if (Begins(token, "url="))
            q->urlToken = token;
        else if (Begins(token, "udp_port="))
            q->udpPort = token[9];
        else if (Begins(token, "settings="))
            q->restoreKind = 1;
        else if (Begins(token, "models="))
            q->restoreKind = 2;
        else if (Begins(token, "system="))
            q->restoreKind = 3;
        if (amp == nullptr || amp[1] == '\0')
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
    std::snprintf(out, outSize, "%s", base);
}

int Fichier(int udpPort, int restoreKind, char* baseName, char* typeText)
{
    char fileName[kTextSize];
    if (cgiFormFileName(kField, fileName, sizeof fileName) != cgiFormSuccess)
        return UPG_ERR_NAME;
    StripDirectories(fileName, baseName, kTextSize);

    cgiFilePtr upload = nullptr;
    if (cgiFormFileOpen(kField, &upload) != cgiFormSuccess)
        return UPG_ERR_UPLOAD;
    const cgiFormEntry* entry = cgiFormEntryFindFirst(kField);
    if (entry == nullptr || entry->tfileName == nullptr || entry->tfileName[0] == '\0') {
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
        std::fprintf(out, "?error=%i&version=%s", outcome + 1900, kVersion);
        return;
    }
    std::fputs("?type=", out);
    PutAttr(out, typeText);
    std::fputs("&name=", out);
    PutAttr(out, baseName);
}

}  // namespace

void WriteResultPage(FILE* out, int outcome, const UpgradeQuery* q, const char* typeText,
                     const char* baseName)
{
    std::fputs("Content-Type: text/html; charset=utf-8\r\n"
               "Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"
               "Pragma: no-cache\r\n"
               "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
               "\r\n",
               out);
    std::fputs("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
               "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
               "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\">"
               "<head>\r\n"
               "<title>ORVEN</title>"
               "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />",
               out);

    std::fputs("<meta http-equiv=\"Refresh\" content=\"0;", out);
    PutAttr(out, q->urlToken);
    const bool failed = outcome > 100;
    if (q->udpPort != 0) {
        PutOutcome(out, outcome, typeText, baseName);
        std::fputs("&port=", out);
        PutAttrChar(out, q->udpPort);
    } else if (q->restoreKind != 0) {
        std::fprintf(out, "?restoresettingserror=%i", failed ? outcome + 1900 : outcome);
    } else {
        PutOutcome(out, outcome, typeText, baseName);
    }
    std::fputs("\" />", out);
    std::fputs("</head><body></body></html>", out);
    std::fflush(out);
}

int cgiMain()
{
    // One request at a time from here until the handler has returned: even
    // the identification that F_FlashDrv_Init sends to the chip would break
    // another request's erase or program sequence.
    const int lock = LockRequests();

    // The board detection reads the loader region through the map set here.
    F_FlashDrv_Init();

    UpgradeQuery q;
    ScanQueryString(std::getenv("QUERY_STRING"), &q);

    char baseName[kTextSize] = "";
    char typeText[kTextSize] = "Unknown";
    const int outcome = lock < 0 ? UPG_ERR_WRITE : Fichier(q.udpPort, q.restoreKind, baseName, typeText);
    if (lock >= 0)
        close(lock);
    WriteResultPage(cgiOut, outcome, &q, typeText, baseName);
    return 0;
}
