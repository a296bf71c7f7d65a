// Power-cut sweeps in one process: what a cut after any number of an operation's programs and erases leaves.
#pragma once

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/chip_root.h"

namespace quibtest {

class PowerCut {
public:
    // Runs op once with its programs and erases recorded, then puts the image back as before.
    template <typename Op>
    PowerCut(const ChipRoot& root, Op op)
        : before_(root.image()), fd_(open(root.host("/flash/nor.img").c_str(), O_RDWR))
    {
        norsim::recordInto(&events_);
        op();
        norsim::recordInto(nullptr);
        for (const norsim::Event& e : events_)
            if (sectors_.empty() || sectors_.back() != e.offset / norsim::kSectorSize)
                sectors_.push_back(e.offset / norsim::kSectorSize);
        restart();
    }
    ~PowerCut() { close(fd_); }
    PowerCut(const PowerCut&) = delete;

    size_t points() const { return events_.size(); }  // the cut points are 0 to points()

    // The image a cut after the first n events leaves; going forward costs only the events in between.
    void cutAfter(size_t n)
    {
        if (n < applied_)
            restart();
        std::string run;
        uint32_t start = 0;
        for (; applied_ < n; ++applied_) {
            const norsim::Event& e = events_[applied_];
            if (e.erase || e.offset != start + run.size()) {
                put(start, run);
                run.clear();
                start = e.offset;
            }
            run += e.erase ? std::string(norsim::kSectorSize, '\xFF') : std::string(1, static_cast<char>(e.value));
        }
        put(start, run);
    }

    // Puts the sectors the run touched back as before it; the next cut starts over.
    void restart()
    {
        for (uint32_t s : sectors_)
            put(s * norsim::kSectorSize, before_.substr(s * norsim::kSectorSize, norsim::kSectorSize));
        applied_ = 0;
    }

    std::string bytes(uint32_t offset, uint32_t len) const
    {
        std::string out(len, '\0');
        EXPECT_EQ(pread(fd_, out.data(), len, offset), static_cast<ssize_t>(len));
        return out;
    }

private:
    // The chip maps the file shared: what is written here is in the chip at once.
    void put(uint32_t offset, const std::string& bytes) const
    {
        EXPECT_EQ(pwrite(fd_, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    }

    std::string before_;
    int fd_;
    std::vector<norsim::Event> events_;
    std::vector<uint32_t> sectors_;  // touched by the run
    size_t applied_ = 0;
};

}  // namespace quibtest
