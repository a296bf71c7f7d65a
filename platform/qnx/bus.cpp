// The flash bus on the instrument: the window is the device's uncached
// mapping (mmap_device_memory with PROT_NOCACHE), so a volatile byte access
// is one bus cycle.
#include "platform/platform.h"

namespace {

// The e300 core may perform a load to caching-inhibited memory ahead of an
// earlier store to another address there; eieio keeps the command writes and
// the status reads in program order.
inline void inOrder()
{
#if defined(__PPC__) || defined(__powerpc__)
    __asm__ __volatile__("eieio" : : : "memory");
#else
    __asm__ __volatile__("" : : : "memory");
#endif
}

}  // namespace

uint8_t platform_bus_read8(uintptr_t addr)
{
    const uint8_t value = *reinterpret_cast<const volatile uint8_t*>(addr);
    inOrder();
    return value;
}

void platform_bus_write8(uintptr_t addr, uint8_t value)
{
    *reinterpret_cast<volatile uint8_t*>(addr) = value;
    inOrder();
}
