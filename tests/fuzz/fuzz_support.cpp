// The fuzz targets' private root and their checks.
#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quibfuzz {

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

void RemoveRoot()
{
    nftw(Root().c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& Root()
{
    static const std::string root = [] {
        // Memory when the machine has it: a file rewritten per input on a
        // disk file system costs a flush each time.
        char shm[] = "/dev/shm/quibfuzz-XXXXXX";
        char tmp[] = "/tmp/quibfuzz-XXXXXX";
        char* tmpl = mkdtemp(shm);
        if (tmpl == nullptr)
            tmpl = mkdtemp(tmp);
        if (tmpl == nullptr)
            Fail("mkdtemp");
        const std::string r = tmpl;
        if (mkdir((r + "/tmp").c_str(), 0700) != 0)
            Fail("mkdir tmp");
        setenv("INSTRUMENT_ROOT", r.c_str(), 1);
        std::atexit(RemoveRoot);
        return r;
    }();
    return root;
}

std::string Host(const char* instrumentPath)
{
    return Root() + instrumentPath;
}

int TmpFileCount()
{
    DIR* d = opendir(Host("/tmp").c_str());
    if (d == nullptr)
        Fail("opendir tmp");
    int n = 0;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(d);
    return n;
}

void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace quibfuzz
