// The simulated NOR flash chip that stands behind the host's
// mmap_device_memory and platform_bus_read8/write8. Host only: tests,
// benchmarks and tools include this header, the product code never does.
//
// The chip is a byte-wide JEDEC (AMD-compatible) device at the top of the
// 32-bit physical space. Its array is $INSTRUMENT_ROOT/flash/nor.img, mapped
// shared, and its settings are $INSTRUMENT_ROOT/flash/nor.conf (README.md,
// "The simulated flash chip", lists the keys).
#pragma once

#include <cstdint>
#include <vector>

namespace norsim {

constexpr uint64_t kPhysTop = 0x100000000ull;
constexpr uint32_t kSectorSize = 0x10000;
constexpr uint32_t kSize2MiB = 0x200000;
constexpr uint32_t kSize4MiB = 0x400000;

// 0xC8 is the 2 MiB part; every other code (0x93, 0xA3, 0x53, or an unknown
// one used to test identification failure) is a 4 MiB part.
constexpr uint32_t chipSize(unsigned code) { return code == 0xC8 ? kSize2MiB : kSize4MiB; }
// Physical address of the chip's first byte: the chip ends at 4 GiB.
constexpr uint64_t chipBase(unsigned code) { return kPhysTop - chipSize(code); }

struct Counters {
    uint64_t reads = 0;     // bus reads that went to a device mapping
    uint64_t writes = 0;    // bus writes that went to a device mapping
    uint64_t programs = 0;  // program operations the chip started (good or failed)
    uint64_t erases = 0;    // sector erases the chip started
};
Counters counters();
void resetCounters();

// What one program or sector erase left in the array, in the chip's order.
struct Event {
    uint32_t offset;  // the byte programmed, or the erased sector's first byte
    uint8_t value;    // what the byte holds afterwards (0xFF for an erase)
    bool erase;
};
// Appends every completed program and erase to *journal from now on; nullptr
// stops. Writing the first n events over the image as it stood before gives
// the image a power cut after the n-th would leave: one run, every cut point.
void recordInto(std::vector<Event>* journal);

// What a cut inside an operation leaves (power_cut_mode=torn). A program from
// old towards data has cleared those of its bits that kept names.
constexpr uint8_t tornProgram(uint8_t old, uint8_t data, uint8_t kept)
{
    return static_cast<uint8_t>(old & ~(old & ~data & kept));
}
// Leaves the sector of the current root's chip as an erase cut part-way does:
// each 0 bit has risen with probability progress/256, drawn from seed, and the
// weak bytes in it (nor.conf weak_bytes) read their formerly 0 bits either way
// until the sector's next full erase (kept in flash/nor.weak). 0, or -1.
int tearErase(uint32_t sector, uint32_t seed, unsigned progress);
// Forgets every unstable weak byte, as if each sector had been fully erased:
// for a test that puts an image back as it was before a torn erase.
void settleWeakBytes();

// Reads nor.conf again now, re-arming the one-shot program faults and
// restarting the power-cut count. Attaching (mmap_device_memory) re-reads it
// by itself only when its text or the image changed. Returns 0, or -1 when
// the file holds a key or value the chip does not know.
int reloadConfig();

// The physical address behind a host address inside a device mapping, or 0
// when the address lies in none.
uint64_t physicalAddress(uintptr_t hostAddr);

// Creates ROOT/flash/ (and ROOT) when missing, an erased ROOT/flash/nor.img
// of the code's size (every byte 0xFF) and ROOT/flash/nor.conf holding only
// "code=0x..". Returns 0, or -1 with errno set.
int createErasedChip(const char* root, unsigned code);

}  // namespace norsim
