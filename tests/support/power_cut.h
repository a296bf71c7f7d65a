// Power-cut sweeps in one process: what a cut after any number of an operation's programs and erases
// leaves, and in torn mode also what a cut inside each of them leaves.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "tests/support/chip_root.h"

namespace quibtest {

// nor.conf's power_cut_mode: whole operations only, or cut inside one as well.
enum class CutMode { Whole, Torn };

class PowerCut {
public:
    // Runs op once with its programs and erases recorded, then puts the image back as before.
    template <typename Op>
    PowerCut(const ChipRoot& root, Op op, CutMode mode = CutMode::Whole, unsigned eraseTears = 4)
        : before_(root.image()), mode_(mode), eraseTears_(eraseTears)
    {
        // The chip maps the file shared: what is written through this mapping is in the chip at once.
        const int fd = open(root.host("/flash/nor.img").c_str(), O_RDWR);
        void* p = mmap(nullptr, before_.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        EXPECT_NE(p, MAP_FAILED);
        image_ = static_cast<char*>(p);
        norsim::recordInto(&events_);
        op();
        norsim::recordInto(nullptr);
        std::map<uint32_t, uint8_t> now;  // what the run had left where, before each event
        for (const norsim::Event& e : events_) {
            const uint32_t sector = e.offset / norsim::kSectorSize;
            if (sectors_.empty() || sectors_.back() != sector)
                sectors_.push_back(sector);
            if (e.erase) {
                now.erase(now.lower_bound(e.offset), now.lower_bound(e.offset + norsim::kSectorSize));
                erased_.push_back(sector);
                olds_.push_back(0xFF);
                continue;
            }
            const auto at = now.find(e.offset);
            const bool wiped = std::find(erased_.begin(), erased_.end(), sector) != erased_.end();
            olds_.push_back(at != now.end() ? at->second : wiped ? 0xFF : static_cast<uint8_t>(before_[e.offset]));
            now[e.offset] = e.value;
        }
        restart();
    }
    ~PowerCut() { munmap(image_, before_.size()); }
    PowerCut(const PowerCut&) = delete;

    size_t points() const { return events_.size(); }  // the cut points are 0 to points()
    bool erases(size_t n) const { return n < events_.size() && events_[n].erase; }  // event n is an erase

    // Ways to cut at point n: 1, after n whole events; in torn mode also inside event n: a program
    // with all its cleared bits but one (each) and two seeded subsets, an erase barely started, some
    // way, half or nearly done (eraseTears of them, seeded).
    size_t ways(size_t n) const
    {
        if (mode_ == CutMode::Whole || n >= events_.size())
            return 1;
        if (events_[n].erase)
            return 1 + eraseTears_;
        const int k = __builtin_popcount(cleared(n));
        return 1 + (k < 2 ? 0 : k + (k > 2 ? kRandomTears : 0));
    }

    // The image cut way w at point n leaves (w from 0 to ways(n) - 1); going forward costs only the events
    // in between.
    void cut(size_t n, size_t w = 0)
    {
        if (!undo_.empty()) {
            put(undoAt_, undo_);
            undo_.clear();
            norsim::settleWeakBytes();
        }
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
        if (w > 0)
            tear(n, w);
    }
    void cutAfter(size_t n) { cut(n, 0); }

    // What cut way w at point n is, for a failure's message.
    std::string describe(size_t n, size_t w) const
    {
        std::string s = "cut after " + std::to_string(n) + " of " + std::to_string(points());
        if (w == 0)
            return s;
        const norsim::Event& e = events_[n];
        char buf[96];
        if (e.erase)
            std::snprintf(buf, sizeof buf, ", inside the erase of sector %u (%u%% of the way, seed %zu)",
                          e.offset / norsim::kSectorSize, progress(w) * 100 / 256, w);
        else
            std::snprintf(buf, sizeof buf, ", inside the program of 0x%06X from 0x%02X to 0x%02X: 0x%02X", e.offset,
                          olds_[n], e.value, norsim::tornProgram(olds_[n], e.value, kept(n, w)));
        return s + buf;
    }

    // Puts the sectors the run touched back as before it; the next cut starts over.
    void restart()
    {
        for (uint32_t s : sectors_)
            put(s * norsim::kSectorSize, std::string_view(before_).substr(s * norsim::kSectorSize, norsim::kSectorSize));
        norsim::settleWeakBytes();
        undo_.clear();
        applied_ = 0;
    }

    std::string bytes(uint32_t offset, uint32_t len) const { return std::string(view(offset, len)); }
    std::string_view view(uint32_t offset, uint32_t len) const { return std::string_view(image_ + offset, len); }

private:
    static constexpr size_t kRandomTears = 2;

    uint8_t cleared(size_t n) const { return static_cast<uint8_t>(olds_[n] & ~events_[n].value); }
    // How far a torn erase had got, out of 256: barely started, some way, half, nearly done.
    static unsigned progress(size_t w)
    {
        static const unsigned kProgress[] = {2, 16, 128, 240};
        return kProgress[(w - 1) % 4];
    }

    // The cleared bits that landed in tear w of program n: all but one, then seeded subsets (neither none nor all).
    uint8_t kept(size_t n, size_t w) const
    {
        const uint8_t all = cleared(n);
        std::vector<uint8_t> bits;
        for (int b = 0; b < 8; ++b)
            if (all & (1 << b))
                bits.push_back(static_cast<uint8_t>(1 << b));
        if (w <= bits.size())
            return static_cast<uint8_t>(all & ~bits[w - 1]);
        uint32_t x = static_cast<uint32_t>(n * 2654435761u + w);
        for (;;) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            const uint8_t some = static_cast<uint8_t>(x & all);
            if (some != 0 && some != all)
                return some;
        }
    }

    void tear(size_t n, size_t w)
    {
        const norsim::Event& e = events_[n];
        if (e.erase) {
            undoAt_ = e.offset;
            undo_ = bytes(e.offset, norsim::kSectorSize);
            EXPECT_EQ(norsim::tearErase(e.offset / norsim::kSectorSize, static_cast<uint32_t>(w), progress(w)), 0);
            return;
        }
        undoAt_ = e.offset;
        undo_ = std::string(1, static_cast<char>(olds_[n]));
        put(e.offset, std::string(1, static_cast<char>(norsim::tornProgram(olds_[n], e.value, kept(n, w)))));
    }

    void put(uint32_t offset, std::string_view bytes) const { std::copy(bytes.begin(), bytes.end(), image_ + offset); }

    std::string before_;
    char* image_;
    CutMode mode_;
    unsigned eraseTears_;
    std::vector<norsim::Event> events_;
    std::vector<uint8_t> olds_;      // each program's byte before it
    std::vector<uint32_t> sectors_;  // touched by the run
    std::vector<uint32_t> erased_;   // erased by the run
    size_t applied_ = 0;
    uint32_t undoAt_ = 0;
    std::string undo_;  // what the last tear overwrote
};

// A sweep's cuts counted per outcome; printed with the sweep's time when it ends.
class CutCounts {
public:
    CutCounts(const std::string& sweep, CutMode mode)
        : name_(sweep + (mode == CutMode::Torn ? ", torn" : ", whole")), start_(std::chrono::steady_clock::now())
    {
    }
    ~CutCounts()
    {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string line;
        int total = 0;
        for (const auto& [outcome, n] : counts_) {
            line += (line.empty() ? "" : ", ") + outcome + " " + std::to_string(n);
            total += n;
        }
        std::string also;
        for (const auto& [note, n] : notes_)
            also += (also.empty() ? "; " : ", ") + note + " " + std::to_string(n);
        std::printf("[ sweep    ] %s: %d cuts in %.2f s: %s%s\n", name_.c_str(), total, s, line.c_str(), also.c_str());
    }
    CutCounts(const CutCounts&) = delete;
    void add(const std::string& outcome) { ++counts_[outcome]; }
    void note(const std::string& what) { ++notes_[what]; }  // counted beside the outcomes
    int operator[](const std::string& outcome) const
    {
        const auto it = counts_.find(outcome);
        return it == counts_.end() ? 0 : it->second;
    }

private:
    std::string name_;
    std::chrono::steady_clock::time_point start_;
    std::map<std::string, int> counts_;
    std::map<std::string, int> notes_;
};

}  // namespace quibtest
