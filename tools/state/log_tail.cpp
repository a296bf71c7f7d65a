#include "tools/state/log_tail.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/regular_file.h"

namespace state {

std::vector<std::string> tailLines(const std::string& path, size_t maxLines, size_t maxBytes)
{
    std::vector<std::string> lines;
    int fd = tool::openRegular(path);
    if (fd < 0)
        return lines;
    struct stat st {};
    if (fstat(fd, &st) != 0 || maxLines == 0) {
        close(fd);
        return lines;
    }
    size_t size = static_cast<size_t>(st.st_size);
    size_t start = size > maxBytes ? size - maxBytes : 0;
    std::string window(size - start, '\0');
    size_t got = 0;
    while (got < window.size()) {
        ssize_t n = pread(fd, window.data() + got, window.size() - got,
                          static_cast<off_t>(start + got));
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    window.resize(got);

    // Only text between two newlines (or from the file's first byte) is a whole line.
    size_t end = window.rfind('\n');
    if (end == std::string::npos)
        return lines;
    size_t begin = 0;
    if (start > 0) {
        size_t first = window.find('\n');
        if (first == end)
            return lines;
        begin = first + 1;
    }
    std::vector<std::string> all;
    while (begin < end) {
        size_t nl = window.find('\n', begin);
        if (nl > begin)
            all.push_back(window.substr(begin, nl - begin));
        begin = nl + 1;
    }
    size_t from = all.size() > maxLines ? all.size() - maxLines : 0;
    lines.assign(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
    return lines;
}

}  // namespace state
