// A temporary instrument root holding an erased simulated NOR chip (in quib_platform, which users link).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/host/nor_chip.h"
#include "tests/support/temp_root.h"

namespace quibtest {

class ChipRoot : public TempRoot {
public:
    explicit ChipRoot(unsigned code = 0x93, const std::string& settings = "") : code_(code)
    {
        EXPECT_EQ(norsim::createErasedChip(path().c_str(), code), 0);
        if (!settings.empty())
            setSettings(settings);
    }

    // nor.conf becomes the code plus these lines ("power_cut_after=3\n"), read by the chip at once.
    void setSettings(const std::string& settings) const
    {
        write("/flash/nor.conf", "code=" + std::to_string(code_) + "\n" + settings);
        EXPECT_EQ(norsim::reloadConfig(), 0);
    }

    std::string image() const { return read("/flash/nor.img"); }

private:
    unsigned code_;
};

}  // namespace quibtest
