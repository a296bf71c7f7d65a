// `show` section: the image files on the NAND drive and the stored GPS
// configurations, each with its size (and for images, the byte sum that the
// NOR region header would carry).
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/common/regular_file.h"
#include "tools/instrument/instrument.h"

namespace tool {
namespace {

namespace fs = std::filesystem;

struct FileInfo {
    std::string name;
    uint64_t size = 0;
    uint32_t sum = 0;
};

// Size and byte sum of the regular file at p; false for anything else (a FIFO
// or a link put in the directory is not a stored file, and must not hang us).
bool measure(const fs::path& p, FileInfo& f)
{
    const int fd = openRegular(p.string());
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        f.size += static_cast<uint64_t>(n);
        for (ssize_t i = 0; i < n; ++i)
            f.sum += static_cast<unsigned char>(buf[i]);
    }
    close(fd);
    return n == 0;
}

// Regular files directly in dir, by name; a missing directory has none.
std::vector<FileInfo> listFiles(const fs::path& dir)
{
    std::vector<FileInfo> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        FileInfo f;
        f.name = e.path().filename().string();
        if (measure(e.path(), f))
            files.push_back(std::move(f));
    }
    std::sort(files.begin(), files.end(),
              [](const FileInfo& a, const FileInfo& b) { return a.name < b.name; });
    return files;
}

void report(ShowContext& ctx, const char* title, const char* dir, const char* key, bool withSum)
{
    const auto files = listFiles(fs::path(ctx.root + dir));
    if (ctx.json) {
        Json arr = Json::array();
        for (const auto& f : files) {
            Json o = Json::object();
            o["name"] = f.name;
            o["size"] = static_cast<unsigned long long>(f.size);
            if (withSum)
                o["byteSum"] = static_cast<unsigned long long>(f.sum);
            arr.push_back(std::move(o));
        }
        ctx.doc[key] = std::move(arr);
        return;
    }
    std::fprintf(ctx.out, "%s (%s): %zu file%s\n", title, dir, files.size(),
                 files.size() == 1 ? "" : "s");
    for (const auto& f : files) {
        if (withSum)
            std::fprintf(ctx.out, "  %-40s %10llu bytes  byte sum 0x%08X\n", f.name.c_str(),
                         static_cast<unsigned long long>(f.size), f.sum);
        else
            std::fprintf(ctx.out, "  %-40s %10llu bytes\n", f.name.c_str(),
                         static_cast<unsigned long long>(f.size));
    }
}

}  // namespace

int showFiles(ShowContext& ctx)
{
    report(ctx, "NAND drive images", "/NANDdrive/firm/", "nandFiles", true);
    report(ctx, "GPS configurations", "/www/system/conf/", "gpsConfigurations", false);
    return 0;
}

}  // namespace tool
