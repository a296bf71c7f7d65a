// The fuzz targets' private root and their checks.
#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quibfuzz {

const std::string& Root()
{
    static const std::string root = [] {
        // In QUIB_FUZZ_DIR, which run_fuzz.sh makes in memory when it can (a
        // file rewritten per input on a disk costs a flush each time) and removes.
        const char* dir = std::getenv("QUIB_FUZZ_DIR");
        std::string tmpl = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") +
                           "/quibfuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            Fail("mkdtemp");
        const std::string r = tmpl;
        if (mkdir((r + "/tmp").c_str(), 0700) != 0)
            Fail("mkdir tmp");
        setenv("INSTRUMENT_ROOT", r.c_str(), 1);
        return r;
    }();
    return root;
}

std::string Host(const char* instrumentPath)
{
    return Root() + instrumentPath;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0,
          "write input file");
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
