// The last lines of a log that another process appends to while we read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace state {

// The last maxLines complete lines of the file, oldest first, read from at most
// its last maxBytes bytes: a line cut by that window, or one still being written
// (no newline yet), is left out. A missing or unreadable file, or anything but
// a regular file (a FIFO, a link), gives no lines.
std::vector<std::string> tailLines(const std::string& path, size_t maxLines, size_t maxBytes);

}  // namespace state
