// The file store on the instrument's drive: CINT images on board version 2 and
// GPS configurations, each put in place whole or not at all.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "loader/LoaderCommun.h"
#include "platform/platform.h"
#include "upgrade/upgrade_internal.h"

namespace {

const char kGpsDir[] = "/www/system/conf/";
const int32_t kGpsMaxSize = 51200;
const char kTempStem[] = ".quibcopy";  // never matches the W*, F*, L* kinds

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Writes the n bytes of inter to the file *out: false when a write fails.
bool WriteChunk(int* out, size_t n)
{
    return WriteAll(*out, inter, n);
}

// Copies fd from its start into the new, empty file out; flushed to disk.
bool CopyTo(int fd, int out)
{
    bool ok = ForEachChunk(fd, WriteChunk, &out);
    // The stored files are read by other programs than this one.
    return ok && fchmod(out, 0644) == 0 && fsync(out) == 0;
}

// The copy being read back, and the buffer its bytes come back into.
struct ReadBack {
    int fd;
    uint8_t back[UPG_INTER_SIZE];
};

// Reads the copy's next n bytes (at most UPG_INTER_SIZE) into copy->back,
// retried when interrupted: false at a short read or an error.
bool ReadAll(ReadBack* copy, size_t n)
{
    for (size_t got = 0; got < n;) {
        const ssize_t r = read(copy->fd, copy->back + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Whether the copy's next n bytes are the n bytes of inter.
bool SameChunk(ReadBack* copy, size_t n)
{
    return ReadAll(copy, n) && memcmp(copy->back, inter, n) == 0;
}

// Whether the copy out, read back after the flush, holds exactly the upload's
// bytes: the drive's own report of the writes is not taken as proof.
bool SameAsUpload(int fd, int out)
{
    ReadBack copy;
    copy.fd = out;
    if (lseek(out, 0, SEEK_SET) != 0)
        return false;
    const bool same = ForEachChunk(fd, SameChunk, &copy);
    return same && !ReadAll(&copy, 1);
}

void SyncDirectory(const char* hostDir)
{
    int d = open(hostDir, O_RDONLY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
}

// Removes the older files of the kind but the new one, and copies left by an
// interrupted run.
void RemoveOlder(const char* hostDir, const char* oldPrefix, const char* finalName)
{
    DIR* dir = opendir(hostDir);
    if (dir == NULL)
        return;
    char path[1024];
    while (const dirent* e = readdir(dir)) {
        const char* n = e->d_name;
        const bool older = oldPrefix != NULL && Begins(n, oldPrefix) &&
                           strcmp(n, finalName) != 0;
        const bool staleCopy = Begins(n, kTempStem);
        if (!older && !staleCopy)
            continue;
        struct stat st;
        if (snprintf(path, sizeof path, "%s%s", hostDir, n) < static_cast<int>(sizeof path) &&
            lstat(path, &st) == 0 && !S_ISDIR(st.st_mode))
            unlink(path);
    }
    closedir(dir);
}

}  // namespace

int CopyUploadIntoPlace(int fd, const char* dir, const char* finalName, const char* oldPrefix)
{
    char hostDir[1024];
    char temp[1024];
    char target[1024];
    char tmpl[1024];
    if (finalName[0] == '\0' || strchr(finalName, '/') != NULL ||
        platform_path(dir, hostDir, sizeof hostDir) == NULL ||
        snprintf(tmpl, sizeof tmpl, "%s%sXXXXXX", dir, kTempStem) >= static_cast<int>(sizeof tmpl) ||
        snprintf(target, sizeof target, "%s%s", hostDir, finalName) >= static_cast<int>(sizeof target))
        return -1;
    // Made and used through one descriptor; a scratch file until it is in
    // place, so a run ended by a signal leaves no copy in the directory.
    const int out = platform_open_scratch(tmpl, temp, sizeof temp);
    if (out < 0)
        return -1;
    const bool copied = CopyTo(fd, out) && SameAsUpload(fd, out);
    if (close(out) != 0 || !copied || rename(temp, target) != 0) {
        platform_scratch_remove(temp);
        return -1;
    }
    platform_scratch_forget(temp);
    // Only once the new file is in place do the older ones go: a failure
    // before this point leaves every previous file.
    RemoveOlder(hostDir, oldPrefix, finalName);
    SyncDirectory(hostDir);
    return 0;
}

int Store_Gps_Conf(const char* tmpPath, const char* baseName)
{
    if (!EndsWithTxt(baseName) || S_EtatLoader.boardVersion != 2)
        return UPG_ERR_KIND;
    S_ChargeFirmware.fd = OpenUpload(tmpPath);
    if (S_ChargeFirmware.fd < 0)
        return UPG_ERR_NAME;
    int result = UPG_GPS_STORED;
    if (ComputeChecksumSize(&S_ChargeFirmware) < 0 ||
        CheckSize(&S_ChargeFirmware, 0, kGpsMaxSize) != 0)
        result = UPG_ERR_SIZE;
    else if (CopyUploadIntoPlace(S_ChargeFirmware.fd, kGpsDir, baseName, NULL) != 0)
        result = UPG_ERR_WRITE;
    CloseUpload();
    return result;
}
