// Reading files of an instrument root, where another process may have put a
// FIFO, a device or a link in place of the file the tools expect.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

// A descriptor open for reading on the regular file at path, or -1 for
// anything else. The open never waits (a FIFO without a writer would block a
// plain open for ever) and never follows a link at the last component.
int openRegular(const std::string& path);

// At most maxBytes of the regular file at path into out; false when there is
// no regular file there or a read fails.
bool readRegular(const std::string& path, size_t maxBytes, std::string& out);

}  // namespace tool
