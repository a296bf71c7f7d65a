// The simulated NOR chip and the host's device-memory calls.
//
// mmap_device_memory reserves an inaccessible address range and records which
// physical range it stands for; platform_bus_read8/write8 turn an address in
// such a range into a bus cycle of the chip. Addresses that lie in no device
// mapping are plain memory, as they are on the instrument.
#include "platform/host/nor_chip.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"

namespace {

using norsim::kSectorSize;

struct Config {
    unsigned code = 0x93;
    std::vector<uint32_t> failOnce;    // chip offsets whose next program fails
    std::vector<uint32_t> failAlways;  // chip offsets whose programs always fail
    std::vector<uint32_t> silentError; // chip offsets whose bit 0 never clears, unreported
    std::vector<uint32_t> failSectors; // sector numbers whose erase fails
    uint32_t eraseBusyReads = 0;       // status reads that still see the erase running
    int idOffset1 = -1;                // 0 or 1: read at offset 1, code moves to offset 2
    int64_t powerCutAfter = -1;        // programs and erases allowed before the power goes
    bool tornCut = false;              // the cut lands inside the next operation, not before it
    uint32_t cutSeed = 1;              // draws the bits a torn operation leaves, and weak reads
    std::vector<uint32_t> weakBytes;   // chip offsets that a torn erase leaves unstable
};

// A weak byte that a torn erase left unstable: these bits read either way.
struct Unstable {
    uint32_t offset;
    uint8_t bits;
};

enum class Mode { Read, Autoselect, Bypass, Busy, Failed };

struct Chip {
    // The image behind the array; the descriptor stays open so that a
    // removed image (a test root that went away) is noticed and not reused.
    int fd = -1;
    uint8_t* array = nullptr;
    uint32_t size = 0;
    uint64_t base = 0;
    std::string imagePath;
    std::string confText;
    bool confValid = false;
    Config cfg;
    std::vector<uint32_t> onceLeft;
    uint64_t operations = 0;           // programs and erases started since the faults were armed
    std::vector<Unstable> unstable;    // kept in flash/nor.weak: a cell stays weak across processes
    uint32_t rng = 1;

    // Command decoder.
    Mode mode = Mode::Read;
    bool bypass = false;       // in unlock bypass: where a reset returns to
    int cycle = 0;             // position in an unlock sequence
    bool programNext = false;  // the next write is the data of a program
    bool bypassExitNext = false;
    uint8_t failedData = 0;
    uint32_t busyLeft = 0;
    uint32_t busySector = 0;
    uint8_t toggle = 0;
};

struct Mapping {
    uintptr_t host;
    size_t len;
    uint64_t phys;
};

std::mutex g_lock;
Chip g_chip;
std::vector<Mapping> g_maps;
norsim::Counters g_counters;
std::vector<norsim::Event>* g_journal = nullptr;

bool contains(const std::vector<uint32_t>& v, uint32_t x)
{
    for (uint32_t e : v)
        if (e == x)
            return true;
    return false;
}

bool parseNumber(const std::string& s, uint64_t max, uint64_t& out)
{
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-' || v > max)
        return false;
    out = v;
    return true;
}

bool parseList(const std::string& s, uint64_t max, std::vector<uint32_t>& out)
{
    size_t pos = 0;
    while (true) {
        size_t comma = s.find(',', pos);
        uint64_t v = 0;
        if (!parseNumber(s.substr(pos, comma == std::string::npos ? comma : comma - pos), max, v))
            return false;
        out.push_back(static_cast<uint32_t>(v));
        if (comma == std::string::npos)
            return true;
        pos = comma + 1;
    }
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A typo in a fault setting must not pass for "no fault": unknown keys and
// bad values refuse the whole file.
bool parseConfig(const std::string& text, Config& cfg)
{
    cfg = Config{};
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = trim(text.substr(pos, nl == std::string::npos ? nl : nl - pos));
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? line : trim(line.substr(0, eq));
        std::string val = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
        uint64_t v = 0;
        bool ok = true;
        if (eq == std::string::npos) {
            ok = false;
        } else if (key == "code") {
            ok = parseNumber(val, 0xFF, v);
            cfg.code = static_cast<unsigned>(v);
        } else if (key == "program_fail_once") {
            ok = parseList(val, norsim::kSize4MiB - 1, cfg.failOnce);
        } else if (key == "program_fail_always") {
            ok = parseList(val, norsim::kSize4MiB - 1, cfg.failAlways);
        } else if (key == "silent_program_error") {
            ok = parseList(val, norsim::kSize4MiB - 1, cfg.silentError);
        } else if (key == "erase_fail_sector") {
            ok = parseList(val, norsim::kSize4MiB / kSectorSize - 1, cfg.failSectors);
        } else if (key == "erase_busy_reads") {
            ok = parseNumber(val, 1000000, v);
            cfg.eraseBusyReads = static_cast<uint32_t>(v);
        } else if (key == "id_offset1") {
            ok = parseNumber(val, 1, v);
            cfg.idOffset1 = static_cast<int>(v);
        } else if (key == "power_cut_after") {
            ok = parseNumber(val, UINT32_MAX, v);
            cfg.powerCutAfter = static_cast<int64_t>(v);
        } else if (key == "power_cut_mode") {
            ok = val == "whole" || val == "torn";
            cfg.tornCut = val == "torn";
        } else if (key == "power_cut_seed") {
            ok = parseNumber(val, UINT32_MAX, v);
            cfg.cutSeed = static_cast<uint32_t>(v);
        } else if (key == "weak_bytes") {
            ok = parseList(val, norsim::kSize4MiB - 1, cfg.weakBytes);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "nor.conf:%d: unknown setting or bad value: %s\n", lineNo,
                         line.c_str());
            return false;
        }
    }
    return true;
}

bool readFile(const char* path, std::string& out)
{
    out.clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;  // no nor.conf: the defaults
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

void rearm(Chip& c)
{
    c.onceLeft = c.cfg.failOnce;
    c.operations = 0;
    c.rng = c.cfg.cutSeed;
}

// ---- Weak bytes: unstable cells a torn erase leaves, until their sector's next full erase ----

std::string weakPath()
{
    char path[PATH_MAX];
    return platform_path("/flash/nor.weak", path, sizeof path) == nullptr ? std::string() : path;
}

// nor.weak holds one "offset bits" line per unstable byte; no file, none.
void loadUnstable(Chip& c)
{
    c.unstable.clear();
    std::string text;
    const std::string path = weakPath();
    if (path.empty() || !readFile(path.c_str(), text))
        return;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        unsigned long off = 0, bits = 0;
        if (std::sscanf(line.c_str(), "%lx %lx", &off, &bits) == 2 && off < c.size && bits != 0 && bits <= 0xFF)
            c.unstable.push_back({static_cast<uint32_t>(off), static_cast<uint8_t>(bits)});
    }
}

void saveUnstable(const Chip& c)
{
    const std::string path = weakPath();
    if (path.empty())
        return;
    if (c.unstable.empty()) {
        unlink(path.c_str());
        return;
    }
    std::string text;
    char line[32];
    for (const Unstable& u : c.unstable) {
        std::snprintf(line, sizeof line, "0x%06X 0x%02X\n", u.offset, u.bits);
        text += line;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "nor.weak: cannot write %s\n", path.c_str());
    close(fd);
}

Unstable* findUnstable(Chip& c, uint32_t off)
{
    for (Unstable& u : c.unstable)
        if (u.offset == off)
            return &u;
    return nullptr;
}

// A full erase leaves every cell of the sector solidly erased.
void settleSector(Chip& c, uint32_t sector)
{
    const size_t before = c.unstable.size();
    for (size_t i = c.unstable.size(); i-- > 0;)
        if (c.unstable[i].offset / kSectorSize == sector)
            c.unstable.erase(c.unstable.begin() + static_cast<long>(i));
    if (c.unstable.size() != before)
        saveUnstable(c);
}

// ---- Torn operations ----

// xorshift32: the same draws from the same seed on every host.
uint32_t nextRandom(uint32_t& state)
{
    uint32_t x = state != 0 ? state : 0x9E3779B9u;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    state = x;
    return x;
}

uint32_t mixSeed(uint32_t seed, uint32_t salt)
{
    uint32_t s = seed * 0x9E3779B1u ^ salt * 0x85EBCA77u;
    return nextRandom(s);
}

// A cut erase raises each 0 bit with probability progress/256; the weak bytes
// of the sector then read their formerly 0 bits either way.
void partErase(Chip& c, uint32_t sector, uint32_t seed, unsigned progress)
{
    uint32_t state = mixSeed(seed, sector);
    uint8_t* p = c.array + static_cast<size_t>(sector) * kSectorSize;
    for (uint32_t i = 0; i < kSectorSize; ++i) {
        const uint8_t before = p[i];
        if (before == 0xFF)
            continue;
        uint8_t rise = 0;
        for (int b = 0; b < 8; ++b)
            if ((nextRandom(state) & 0xFF) < progress)
                rise = static_cast<uint8_t>(rise | (1u << b));
        p[i] = static_cast<uint8_t>(before | rise);
        const uint32_t off = sector * kSectorSize + i;
        if (contains(c.cfg.weakBytes, off)) {
            Unstable* u = findUnstable(c, off);
            if (u != nullptr)
                u->bits = static_cast<uint8_t>(u->bits | ~before);
            else
                c.unstable.push_back({off, static_cast<uint8_t>(~before)});
        }
    }
    saveUnstable(c);
}

// Loads nor.conf when forced or when its text changed.
bool loadConfig(Chip& c, bool force)
{
    char path[PATH_MAX];
    std::string text;
    if (platform_path("/flash/nor.conf", path, sizeof path) == nullptr || !readFile(path, text)) {
        errno = EIO;
        return false;
    }
    if (!force && c.confValid && text == c.confText)
        return true;
    Config cfg;
    if (!parseConfig(text, cfg)) {
        c.confValid = false;
        errno = EINVAL;
        return false;
    }
    c.cfg = cfg;
    c.confText = text;
    c.confValid = true;
    rearm(c);
    return true;
}

void detach(Chip& c)
{
    if (c.array != nullptr)
        munmap(c.array, c.size);
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.array = nullptr;
    c.size = 0;
    c.imagePath.clear();
}

bool sameImage(const Chip& c, const char* path)
{
    if (c.array == nullptr || c.imagePath != path)
        return false;
    struct stat mine {}, named {};
    if (fstat(c.fd, &mine) != 0 || mine.st_nlink == 0 || stat(path, &named) != 0)
        return false;
    return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// Connects the chip to the image of the current root. A new image is a new
// chip: its decoder starts in read mode and its faults are armed afresh.
bool attach(Chip& c)
{
    char path[PATH_MAX];
    if (platform_path("/flash/nor.img", path, sizeof path) == nullptr) {
        errno = ENAMETOOLONG;
        return false;
    }
    bool same = sameImage(c, path);
    if (!loadConfig(c, !same))
        return false;
    uint32_t size = norsim::chipSize(c.cfg.code);
    if (same && c.size == size)
        return true;

    detach(c);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(size)) {
        std::fprintf(stderr, "nor.img: %lld bytes, the chip with code 0x%02X has %u\n",
                     static_cast<long long>(st.st_size), c.cfg.code, size);
        close(fd);
        errno = EINVAL;
        return false;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return false;
    }
    c.fd = fd;
    c.array = static_cast<uint8_t*>(p);
    c.size = size;
    c.base = norsim::chipBase(c.cfg.code);
    c.imagePath = path;
    loadUnstable(c);
    c.mode = Mode::Read;
    c.bypass = false;
    c.cycle = 0;
    c.programNext = false;
    c.bypassExitNext = false;
    return true;
}

Mode restMode(const Chip& c) { return c.bypass ? Mode::Bypass : Mode::Read; }

bool cutNow(Chip& c)
{
    return c.cfg.powerCutAfter >= 0 && c.operations++ >= static_cast<uint64_t>(c.cfg.powerCutAfter);
}

// The power goes: the image keeps what the array holds (it is the shared mapping).
[[noreturn]] void powerOff()
{
    kill(getpid(), SIGKILL);
    _exit(137);
}

void program(Chip& c, uint32_t off, uint8_t data)
{
    ++g_counters.programs;
    if (cutNow(c)) {
        // Whole: before the byte reaches the array. Torn: with a drawn subset
        // of the bits it was clearing.
        if (c.cfg.tornCut)
            c.array[off] = norsim::tornProgram(c.array[off], data,
                                               static_cast<uint8_t>(mixSeed(c.cfg.cutSeed, off)));
        powerOff();
    }
    bool fault = contains(c.cfg.failAlways, off);
    for (size_t i = 0; !fault && i < c.onceLeft.size(); ++i) {
        if (c.onceLeft[i] == off) {
            c.onceLeft.erase(c.onceLeft.begin() + static_cast<long>(i));
            fault = true;
        }
    }
    uint8_t old = c.array[off];
    if (!fault) {
        // Programming only ever clears bits; a weak cell keeps its bit 0 up
        // while the chip reports the byte done.
        const bool weak = contains(c.cfg.silentError, off);
        c.array[off] = old & (weak ? (data | 0x01) : data);
        // A bit programmed to 0 is firmly 0, whatever a torn erase left.
        Unstable* u = c.unstable.empty() ? nullptr : findUnstable(c, off);
        if (u != nullptr && (u->bits & ~data) != 0) {
            u->bits = static_cast<uint8_t>(u->bits & data);
            if (u->bits == 0)
                c.unstable.erase(c.unstable.begin() + (u - c.unstable.data()));
            saveUnstable(c);
        }
        if (g_journal != nullptr)
            g_journal->push_back({off, c.array[off], false});
    }
    if (fault || (data & ~old) != 0) {
        // A bit that had to rise never does: the chip times out with DQ5 set
        // and DQ7 never shows the data.
        c.mode = Mode::Failed;
        c.failedData = data;
    }
}

void finishErase(Chip& c)
{
    std::memset(c.array + static_cast<size_t>(c.busySector) * kSectorSize, 0xFF, kSectorSize);
    settleSector(c, c.busySector);
    c.mode = Mode::Read;
    if (g_journal != nullptr)
        g_journal->push_back({c.busySector * kSectorSize, 0xFF, true});
}

void eraseSector(Chip& c, uint32_t sector)
{
    ++g_counters.erases;
    if (cutNow(c)) {
        // Torn: the erase had got some way, drawn from the seed (never none, never all).
        if (c.cfg.tornCut)
            partErase(c, sector, c.cfg.cutSeed, 1 + mixSeed(c.cfg.cutSeed, ~sector) % 255);
        powerOff();
    }
    c.bypass = false;
    if (contains(c.cfg.failSectors, sector)) {
        c.mode = Mode::Failed;
        c.failedData = 0xFF;
        return;
    }
    c.busySector = sector;
    c.busyLeft = c.cfg.eraseBusyReads;
    if (c.busyLeft == 0)
        finishErase(c);
    else
        c.mode = Mode::Busy;
}

uint8_t chipRead(Chip& c, uint32_t off)
{
    switch (c.mode) {
    case Mode::Busy:
        // Erase status: DQ7 0 (erased data reads 1), DQ6 toggling, DQ3 the erase timer.
        c.toggle ^= 0x40;
        if (--c.busyLeft == 0)
            finishErase(c);
        return static_cast<uint8_t>(0x08 | c.toggle);
    case Mode::Failed:
        c.toggle ^= 0x40;
        return static_cast<uint8_t>((~c.failedData & 0x80) | 0x20 | c.toggle);
    case Mode::Autoselect:
        switch (off & 0xFF) {
        case 0: return 0x01;  // manufacturer
        case 1: return c.cfg.idOffset1 >= 0 ? static_cast<uint8_t>(c.cfg.idOffset1)
                                            : static_cast<uint8_t>(c.cfg.code);
        case 2: return c.cfg.idOffset1 >= 0 ? static_cast<uint8_t>(c.cfg.code) : 0x00;
        default: return 0x00;
        }
    default:
        if (!c.unstable.empty()) {
            const Unstable* u = findUnstable(c, off);
            if (u != nullptr)
                return static_cast<uint8_t>(c.array[off] ^ (nextRandom(c.rng) & u->bits));
        }
        return c.array[off];
    }
}

void chipWrite(Chip& c, uint32_t off, uint8_t v)
{
    if (c.mode == Mode::Busy)
        return;  // an embedded erase ignores the bus until it ends
    if (c.mode == Mode::Failed) {
        if (v == 0xF0) {
            c.mode = restMode(c);
            c.cycle = 0;
        }
        return;
    }
    if (c.programNext) {
        c.programNext = false;
        program(c, off, v);
        return;
    }
    if (c.mode == Mode::Bypass) {
        if (c.bypassExitNext) {
            c.bypassExitNext = false;
            if (v == 0x00) {
                c.bypass = false;
                c.mode = Mode::Read;
            }
        } else if (v == 0xA0) {
            c.programNext = true;
        } else if (v == 0x90) {
            c.bypassExitNext = true;
        }
        return;
    }
    if (v == 0xF0 && c.cycle < 3) {
        c.mode = Mode::Read;
        c.cycle = 0;
        return;
    }
    // Only the low address lines take part in the unlock cycles, so the
    // commands reach the chip through any 4 KiB-aligned view of it.
    const uint32_t a = off & 0xFFF;
    switch (c.cycle) {
    case 0: c.cycle = (a == 0xAAA && v == 0xAA) ? 1 : 0; return;
    case 1: c.cycle = (a == 0x555 && v == 0x55) ? 2 : 0; return;
    case 2:
        c.cycle = 0;
        if (a != 0xAAA)
            return;
        if (v == 0x90) {
            c.mode = Mode::Autoselect;
        } else if (v == 0xA0) {
            c.mode = Mode::Read;
            c.programNext = true;
        } else if (v == 0x20) {
            c.mode = Mode::Bypass;
            c.bypass = true;
        } else if (v == 0x80) {
            c.mode = Mode::Read;
            c.cycle = 3;
        }
        return;
    case 3: c.cycle = (a == 0xAAA && v == 0xAA) ? 4 : 0; return;
    case 4: c.cycle = (a == 0x555 && v == 0x55) ? 5 : 0; return;
    default:
        c.cycle = 0;
        if (v == 0x30)
            eraseSector(c, off / kSectorSize);
        return;
    }
}

const Mapping* findMapping(uintptr_t addr)
{
    static size_t last = 0;
    if (last < g_maps.size() && addr - g_maps[last].host < g_maps[last].len)
        return &g_maps[last];
    for (size_t i = 0; i < g_maps.size(); ++i) {
        if (addr - g_maps[i].host < g_maps[i].len) {
            last = i;
            return &g_maps[i];
        }
    }
    return nullptr;
}

// The chip offset behind a mapped address, or false for open bus.
bool chipOffset(const Mapping& m, uintptr_t addr, uint32_t& off)
{
    uint64_t phys = m.phys + (addr - m.host);
    if (g_chip.array == nullptr || phys < g_chip.base || phys - g_chip.base >= g_chip.size)
        return false;
    off = static_cast<uint32_t>(phys - g_chip.base);
    return true;
}

}  // namespace

extern "C" int ThreadCtl(int, void*)
{
    return 0;  // I/O privilege needs nothing on the host
}

extern "C" void* mmap_device_memory(void*, size_t len, int, int, uint64_t physical)
{
    if (len == 0 || physical >= norsim::kPhysTop || len > norsim::kPhysTop - physical) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!attach(g_chip))
        return MAP_FAILED;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t lead = static_cast<size_t>(physical % page);
    const size_t span = (lead + len + page - 1) / page * page;
    // The range only has to be an address nobody else owns: every access
    // goes through the bus primitives, a stray dereference faults.
    void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return MAP_FAILED;
    g_maps.push_back({reinterpret_cast<uintptr_t>(p), span, physical - lead});
    return static_cast<uint8_t*>(p) + lead;
}

extern "C" int munmap_device_memory(void* addr, size_t)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    for (size_t i = 0; i < g_maps.size(); ++i) {
        if (a - g_maps[i].host < g_maps[i].len) {
            munmap(reinterpret_cast<void*>(g_maps[i].host), g_maps[i].len);
            g_maps.erase(g_maps.begin() + static_cast<long>(i));
            return 0;
        }
    }
    errno = EINVAL;
    return -1;
}

uint8_t platform_bus_read8(uintptr_t addr)
{
    std::unique_lock<std::mutex> guard(g_lock);
    const Mapping* m = findMapping(addr);
    if (m == nullptr) {
        guard.unlock();
        return *reinterpret_cast<const volatile uint8_t*>(addr);
    }
    ++g_counters.reads;
    uint32_t off = 0;
    if (!chipOffset(*m, addr, off))
        return 0xFF;  // nothing drives the bus there
    return chipRead(g_chip, off);
}

void platform_bus_write8(uintptr_t addr, uint8_t value)
{
    std::unique_lock<std::mutex> guard(g_lock);
    const Mapping* m = findMapping(addr);
    if (m == nullptr) {
        guard.unlock();
        *reinterpret_cast<volatile uint8_t*>(addr) = value;
        return;
    }
    ++g_counters.writes;
    uint32_t off = 0;
    if (chipOffset(*m, addr, off))
        chipWrite(g_chip, off, value);
}

namespace norsim {

Counters counters()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_counters;
}

void resetCounters()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_counters = Counters{};
}

int reloadConfig()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!loadConfig(g_chip, true))
        return -1;
    // A code of another size needs a new mapping of the image: the next attach makes it.
    if (g_chip.array != nullptr && chipSize(g_chip.cfg.code) != g_chip.size)
        detach(g_chip);
    return 0;
}

int tearErase(uint32_t sector, uint32_t seed, unsigned progress)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!attach(g_chip) || sector >= g_chip.size / kSectorSize || progress > 256)
        return -1;
    partErase(g_chip, sector, seed, progress);
    return 0;
}

void settleWeakBytes()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_chip.unstable.empty())
        return;
    g_chip.unstable.clear();
    saveUnstable(g_chip);
}

void recordInto(std::vector<Event>* journal)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_journal = journal;
}

uint64_t physicalAddress(uintptr_t hostAddr)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const Mapping* m = findMapping(hostAddr);
    return m == nullptr ? 0 : m->phys + (hostAddr - m->host);
}

int createErasedChip(const char* root, unsigned code)
{
    std::string dir = std::string(root) + "/flash";
    for (const std::string& d : {std::string(root), dir})
        if (mkdir(d.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    unlink((dir + "/nor.weak").c_str());  // a new chip has no weak cells left unstable
    std::string img = dir + "/nor.img";
    int fd = open(img.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    static uint8_t erased[kSectorSize];
    std::memset(erased, 0xFF, sizeof erased);
    for (uint32_t done = 0; done < chipSize(code); done += kSectorSize) {
        if (write(fd, erased, sizeof erased) != static_cast<ssize_t>(sizeof erased)) {
            int e = errno;
            close(fd);
            errno = e ? e : EIO;
            return -1;
        }
    }
    if (close(fd) != 0)
        return -1;
    std::string conf = dir + "/nor.conf";
    FILE* f = std::fopen(conf.c_str(), "w");
    if (f == nullptr)
        return -1;
    std::fprintf(f, "code=0x%02X\n", code);
    return std::fclose(f) == 0 ? 0 : -1;
}

}  // namespace norsim
