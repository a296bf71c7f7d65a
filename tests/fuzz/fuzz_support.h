// What the fuzz targets share: a private instrument root for the whole run,
// the check that a request leaves no temporary file, and a failure that
// libFuzzer records as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quibfuzz {

// Makes a fresh root with its tmp/ once per process and points
// INSTRUMENT_ROOT at it; returns the root's path.
const std::string& Root();

// Host path of an instrument path below Root().
std::string Host(const char* instrumentPath);

// Replaces the file at a host path with these bytes.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// Number of entries in the root's tmp/ (uploads and scratch files).
int TmpFileCount();

// A wrong result: print it and abort, which libFuzzer reports with the input.
[[noreturn]] void Fail(const char* what);

inline void Check(bool ok, const char* what)
{
    if (!ok)
        Fail(what);
}

// Consumes the input front to back: one byte, or text up to a separator.
struct Input {
    const uint8_t* data;
    size_t size;

    int Byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    // The bytes up to the first sep (dropped), or all that is left.
    std::string Until(uint8_t sep)
    {
        size_t n = 0;
        while (n < size && data[n] != sep)
            ++n;
        std::string s(reinterpret_cast<const char*>(data), n);
        const size_t used = n < size ? n + 1 : n;
        data += used;
        size -= used;
        return s;
    }
    std::string Rest()
    {
        std::string s(reinterpret_cast<const char*>(data), size);
        data += size;
        size = 0;
        return s;
    }
};

}  // namespace quibfuzz
