// A temporary instrument root holding an erased simulated NOR chip, for the
// tests of everything that reaches the flash. Header only: test programs that
// include it link quib_platform, which holds the chip.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/host/nor_chip.h"
#include "tests/support/temp_root.h"

namespace quibtest {

class ChipRoot : public TempRoot {
public:
    // settings: extra nor.conf lines ("power_cut_after=3\n"), see README.md.
    explicit ChipRoot(unsigned code = 0x93, const std::string& settings = "") : code_(code)
    {
        EXPECT_EQ(norsim::createErasedChip(path().c_str(), code), 0);
        if (!settings.empty())
            setSettings(settings);
    }

    // Rewrites nor.conf as the code plus these lines and makes the chip read it now.
    void setSettings(const std::string& settings) const
    {
        char code[16];
        std::snprintf(code, sizeof code, "code=0x%02X\n", code_);
        write("/flash/nor.conf", code + settings);
        EXPECT_EQ(norsim::reloadConfig(), 0);
    }

    std::string image() const { return read("/flash/nor.img"); }

private:
    unsigned code_;
};

}  // namespace quibtest
