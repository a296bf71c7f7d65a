// Power-cut sweeps in one process: an operation runs once on the simulated
// chip with its programs and erases recorded; the image is then set to what a
// cut after any number of them would leave, without running it again.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/host/nor_chip.h"
#include "tests/support/chip_root.h"

namespace quibtest {

class PowerCut {
public:
    // Runs op with the chip recording, then puts the image back as before it.
    template <typename Op>
    PowerCut(const ChipRoot& root, Op op) : before_(root.image())
    {
        fd_ = open(root.host("/flash/nor.img").c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd_, 0);
        norsim::recordInto(&events_);
        op();
        norsim::recordInto(nullptr);
        for (const norsim::Event& e : events_) {
            const uint32_t sector = e.offset / norsim::kSectorSize;
            if (sectors_.empty() || sectors_.back() != sector)
                sectors_.push_back(sector);
        }
        restart();
    }
    ~PowerCut() { close(fd_); }
    PowerCut(const PowerCut&) = delete;
    PowerCut& operator=(const PowerCut&) = delete;

    // Programs and erases of the run: the cut points are 0 to points().
    size_t points() const { return events_.size(); }

    // The image as a cut after the first n events leaves it. Going forward
    // from the last cut costs only the events in between; programs of
    // consecutive bytes go out as one write.
    void cutAfter(size_t n)
    {
        if (n < applied_)
            restart();
        std::string run;
        uint32_t runStart = 0;
        for (; applied_ < n; ++applied_) {
            const norsim::Event& e = events_[applied_];
            if (!run.empty() && (e.erase || e.offset != runStart + run.size())) {
                put(runStart, run);
                run.clear();
            }
            if (e.erase) {
                put(e.offset, std::string(norsim::kSectorSize, '\xFF'));
                continue;
            }
            if (run.empty())
                runStart = e.offset;
            run += static_cast<char>(e.value);
        }
        if (!run.empty())
            put(runStart, run);
    }

    // After the image was changed by other means within the sectors the run
    // touched: puts them back as before the run; the next cut starts over.
    void restart()
    {
        for (uint32_t sector : sectors_)
            put(sector * norsim::kSectorSize, before_.substr(sector * norsim::kSectorSize, norsim::kSectorSize));
        applied_ = 0;
    }

    // len bytes of the image from offset, as the chip holds them now.
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
        ASSERT_EQ(pwrite(fd_, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    }

    std::string before_;
    std::vector<norsim::Event> events_;
    std::vector<uint32_t> sectors_;  // touched by the run, some perhaps more than once
    size_t applied_ = 0;
    int fd_ = -1;
};

}  // namespace quibtest
