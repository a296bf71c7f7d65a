#!/usr/bin/env python3
"""The mutation score of the unit tests: applies each fault of FAULTS to the
product's sources, one at a time, rebuilds build-mutants/ incrementally, runs
the unit test programs that link the faulty subsystem, and restores the source.

A fault is killed when a test fails, crashes, or outlasts its time limit; it
survives when every test passes. A fault whose text is not in its file
exactly once is "stale" (the code moved on): it counts neither way and is
listed, so the list is kept up to date rather than shrinking silently. A
fault that does not compile is reported as such and counts neither way.

Usage: tools/mutants/mutants.py [--build DIR] [--jobs N] [--only SUBSTRING] [--check]
"""
import argparse
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The unit test programs (tests/<dir>/) that link each subsystem. The
# end-to-end, state, browser and install tests are left out: they start
# programs and servers, and each fault would cost minutes.
TESTS_OF = {
    "platform": ["platform_tests", "flash_tests", "loader_tests", "upgrade_tests", "cgi_tests"],
    "cgi": ["cgi_tests", "upgrade_tests"],
    "flash": ["flash_tests", "loader_tests", "upgrade_tests"],
    "loader": ["loader_tests", "upgrade_tests"],
    "upgrade": ["upgrade_tests"],
}
TIME_LIMIT_S = 60  # per test program, which takes seconds: a fault that hangs it is killed

# (file, text that must occur exactly once, replacement, what the fault is)
FAULTS = [
    # ---- flash/Flash_Drv.cpp: the driver ----
    ("flash/Flash_Drv.cpp", "bool F_FlashDrv_InWindow(uintptr_t addr) { return addr - FLASH_ADD_DEBUT < FLASH_Size; }",
     "bool F_FlashDrv_InWindow(uintptr_t addr) { return addr - FLASH_ADD_DEBUT <= FLASH_Size; }", "window end inclusive"),
    ("flash/Flash_Drv.cpp", "        return offset > 0;", "        return true;", "empty range at the first byte"),
    ("flash/Flash_Drv.cpp", "    return len - 1 < FLASH_Size - offset;", "    return len < FLASH_Size - offset;", "range end off by one"),
    ("flash/Flash_Drv.cpp", "const uint32_t kCmd1 = 0xAAA;", "const uint32_t kCmd1 = 0xAAB;", "unlock address off by one"),
    ("flash/Flash_Drv.cpp", "    busWrite(kCmd2, 0x55);", "    busWrite(kCmd2, 0x56);", "second unlock cycle value"),
    ("flash/Flash_Drv.cpp", "        FLASH_Size = 0x200000;", "        FLASH_Size = 0x400000;", "2 MiB part sized as 4 MiB"),
    ("flash/Flash_Drv.cpp", "    if (id == 0 || id == 1) {", "    if (id == 0) {", "continuation byte 1 ignored"),
    ("flash/Flash_Drv.cpp", "bool bit7Matches(uint8_t read, uint8_t data) { return ((read ^ data) & 0x80) == 0; }",
     "bool bit7Matches(uint8_t read, uint8_t data) { return ((read ^ data) & 0x40) == 0; }", "DQ6 polled for DQ7"),
    ("flash/Flash_Drv.cpp", "        if ((status & 0x20) == 0)", "        if ((status & 0x10) == 0)", "timeout bit DQ4 for DQ5"),
    ("flash/Flash_Drv.cpp", "    for (int attempt = 0; attempt < 2; ++attempt) {", "    for (int attempt = 0; attempt < 1; ++attempt) {", "no program retry"),
    ("flash/Flash_Drv.cpp", "    return -3;\n}", "    return 0;\n}", "failed byte program reported as done"),
    ("flash/Flash_Drv.cpp", "    ++*cursor;\n    if (rc < 0)", "    if (rc < 0)", "ReadByte does not move on a failure"),
    ("flash/Flash_Drv.cpp", "            leaveBypass();\n            return -3;", "            leaveBypass();\n            return 0;", "failed block program reported as done"),
    ("flash/Flash_Drv.cpp", "    platform_bus_write8(sector, 0x30);", "    platform_bus_write8(sector, 0x10);", "chip erase for sector erase"),
    ("flash/Flash_Drv.cpp", "    if (!F_FlashDrv_InWindow(sector))\n        return 0;", "    if (false)\n        return 0;", "erase outside the window"),
    ("flash/Flash_Drv.cpp", "    F_FlashDrv_Close();\n    ThreadCtl", "    ThreadCtl", "second Init keeps the first window"),
    ("flash/Flash_Drv.cpp", "    const int rc = munmap_device_memory(reinterpret_cast<void*>(FLASH_ADD_DEBUT), FLASH_Size);\n    clearMap();",
     "    const int rc = munmap_device_memory(reinterpret_cast<void*>(FLASH_ADD_DEBUT), FLASH_Size);", "Close keeps the map"),
    # ---- flash/Flash_Pack.cpp: the record chain ----
    ("flash/Flash_Pack.cpp", "        fits = fits && (a[i] & b[i]) == b[i];", "        fits = fits && (a[i] | b[i]) == b[i];", "header fit by setting bits"),
    ("flash/Flash_Pack.cpp", "    bool fits = there.ucStatus == FLASHPACK_STATUS_FREE;", "    bool fits = true;", "fit ignores the status"),
    ("flash/Flash_Pack.cpp", "    if (len > 0xFFFF ||", "    if (len > 0x10000 ||", "pack length limit off by one"),
    ("flash/Flash_Pack.cpp", "    if (h.ucStatus == FLASHPACK_STATUS_VALID && h.ucId == retire->id) {",
     "    if (h.ucStatus == FLASHPACK_STATUS_VALID && h.ucId >= retire->id) {", "higher ids obsoleted too"),
    ("flash/Flash_Pack.cpp", "        count = size < 0 ? 0 : size;", "        count = size < 0 ? 0 : size + 1;", "read count off by one"),
    ("flash/Flash_Pack.cpp", "    const uint8_t value = static_cast<uint8_t>(0xFF << (c % 8 + 1));", "    const uint8_t value = static_cast<uint8_t>(0xFF << (c % 8));", "counter bit off by one"),
    ("flash/Flash_Pack.cpp", "    if (c < 0 || c / 8 >= F_FlashPack_HeadLength(h))", "    if (c < 0 || c / 8 > F_FlashPack_HeadLength(h))", "counter past its pack"),
    ("flash/Flash_Pack.cpp", "    while (addr != 0 && addr <= limit && limit - addr >= FLASHPACK_HEAD_SIZE) {",
     "    while (addr != 0 && addr <= limit && limit - addr > FLASHPACK_HEAD_SIZE) {", "walk stops a header early"),
    # ---- flash/flh2Product.cpp, flh2ConfigIP.cpp, EEProm_Prod.cpp ----
    ("flash/flh2Product.cpp", "    return platform_get_be32(p);",
     "    return __builtin_bswap32(platform_get_be32(p));", "product word read little-endian"),
    ("platform/bigendian.h", "    p[0] = static_cast<uint8_t>(value >> 24);", "    p[0] = static_cast<uint8_t>(value >> 16);", "a packed word's high byte"),
    ("flash/flh2ConfigIP.cpp", "    {{0, 0, 0, 1}, \"if_up -p en0\"},", "    {{1, 0, 0, 0}, \"if_up -p en0\"},", "IP flag byte order"),
    ("flash/flh2ConfigIP.cpp", "            ConfigIP_Tab_Cmd.rows[r].acText[CONFIGIP_TEXT_SIZE - 1] = '\\0';",
     "            (void)0;", "IP text without its NUL"),
    ("flash/EEProm_Prod.cpp", "        useDefaults = P_Prod_LoadPack(FLASHPACK_ID_PRODUCT) <= 0 ? 1 : 0;",
     "        useDefaults = P_Prod_LoadPack(FLASHPACK_ID_PRODUCT) < 0 ? 1 : 0;", "empty product pack loaded"),
    # ---- loader/LoaderCommun.cpp ----
    ("loader/LoaderCommun.cpp", "    if (needleLen == 0 || hayLen < needleLen)", "    if (needleLen == 0 || hayLen <= needleLen)", "needle filling the haystack"),
    ("loader/LoaderCommun.cpp", "platform_get_be32(sizeWord)",
     "__builtin_bswap32(platform_get_be32(sizeWord))", "loader size read little-endian"),
    ("loader/LoaderCommun.cpp", "    if (remaining > LOADER_IMAGE_MAX)", "    if (remaining > LOADER_IMAGE_MAX + 1)", "loader limit off by one"),
    ("loader/LoaderCommun.cpp", "            S_EtatLoader.cintLoaderVersion = 4;", "            S_EtatLoader.cintLoaderVersion = 3;", "10-sector loader's generation"),
    ("loader/LoaderCommun.cpp", "    if (useForcedVersion != 0 && S_EtatLoader.forcedLoaderVersion != 0)", "    if (useForcedVersion != 0)", "forced version 0 used"),
    ("loader/LoaderCommun.cpp", "            if (name[0] == '.' && namePrefix[0] != '.')", "            if (false)", "hidden files listed"),
    ("loader/LoaderCommun.cpp", "            if (!found || strcmp(name, last) > 0) {", "            if (!found || strcmp(name, last) < 0) {", "oldest name for newest"),
    ("loader/LoaderCommun.cpp", "    if (dirLen >= sizeof dirInstrument)", "    if (dirLen > sizeof dirInstrument)", "directory length check"),
    # ---- cgi/ ----
    ("cgi/cgiUrlEncoded.cpp", "                s[len++] = c == '+' ? ' ' : static_cast<char>(c);", "                s[len++] = static_cast<char>(c);", "plus not a space"),
    ("cgi/cgiUrlEncoded.cpp", "    if (cgiContentLength < 0 || cgiContentLength > cgiMaxUrlEncodedLength)",
     "    if (cgiContentLength < 0 || cgiContentLength > cgiMaxUrlEncodedLength + 1)", "body limit off by one"),
    ("cgi/cgiUrlEncoded.cpp", "            return cgiParseSuccess;  // a trailing segment without '=' is dropped",
     "            return cgiParseIO;  // a trailing segment without '=' is dropped", "segment without = fails"),
    ("cgi/cgiUrlEncoded.cpp", "    if (got < cgiContentLength) {", "    if (got < cgiContentLength - 1) {", "short body by one byte accepted"),
    ("cgi/cgiEscape.cpp", "        case '<': ok = emit(\"&lt;\"); break;", "        case '<': ok = emit(\"<\"); break;", "< not escaped"),
    ("cgi/cgiEscape.cpp", "        case '&': ok = emit(\"&amp;\"); break;", "        case '&': ok = emit(\"&\"); break;", "& not escaped"),
    ("cgi/cgiTypedAccessors.cpp", "    if (*result < min) {", "    if (*result <= min) {", "bound at min constrained"),
    ("cgi/cgiTypedAccessors.cpp", "    if (*result > max) {", "    if (*result >= max) {", "bound at max constrained"),
    ("cgi/cgiTypedAccessors.cpp", "    if (e->value[0] == '\\0')\n        return cgiFormEmpty;", "    if (false)\n        return cgiFormEmpty;", "empty not reported"),
    ("cgi/cgiEnvironment.cpp", "    if (n > sizeof cgiContentTypeData - 1)", "    if (n > sizeof cgiContentTypeData)", "content type cut too late"),
    ("cgi/cgiEnvironment.cpp", "    return a == b;\n", "    return true;\n", "any non-letters equal"),
    ("cgi/cgiMultipart.cpp", "            if (d == boundary[M] && ++M == L) {", "            if (d == boundary[M] && ++M == L - 1) {", "boundary matched a byte short"),
    ("cgi/cgiMultipart.cpp", "    for (int q = 1, k = 0; q < L; ++q) {", "    for (int q = 2, k = 0; q < L; ++q) {", "failure table skips a byte"),
    ("cgi/cgiMultipart.cpp", "        while (k > 0 && boundary[q] != boundary[k])", "        while (k > 1 && boundary[q] != boundary[k])", "failure table fallback"),
    ("cgi/cgiMultipart.cpp", "    if (two[0] == '-')", "    if (two[0] == '+')", "closing delimiter missed"),
    ("cgi/cgiMultipart.cpp", "enum { fieldSpace = 1024, boundarySpace = 1024 };",
     "enum { fieldSpace = 16, boundarySpace = 1024 };", "field names cut short"),
    ("cgi/cgiMultipart.cpp", "            store(name, sizeof name, nameLen, *p);", "            store(name, 4, nameLen, *p);", "parameter names cut"),
    # ---- platform/host/ ----
    ("platform/host/message.cpp", "    uint32_t word = static_cast<uint32_t>(status[0]) | static_cast<uint32_t>(status[1]) << 8 |",
     "    uint32_t word = static_cast<uint32_t>(status[1]) | static_cast<uint32_t>(status[0]) << 8 |", "status bytes swapped"),
    ("platform/host/message.cpp", "        if (n < static_cast<ssize_t>(sizeof status))  // closed, failed or short packet",
     "        if (n < 0)  // closed, failed or short packet", "short status packet accepted"),
    ("platform/host/message.cpp", "    if (*end != '\\0' || v <= 0)", "    if (*end != '\\0' || v < 0)", "timeout of 0 accepted"),
    ("platform/host/message.cpp", "    if (std::strlen(name) >= sizeof addr.sun_path) {", "    if (std::strlen(name) > sizeof addr.sun_path) {", "name length check"),
    ("platform/host/root.cpp", "    if (root == nullptr || root[0] == '\\0' || std::strcmp(root, \"/\") == 0)",
     "    if (root == nullptr || root[0] == '\\0')", "root / doubled"),
    # ---- upgrade/ ----
    ("upgrade/nor_region.cpp", "    platform_put_be32(be, v);",
     "    platform_put_be32(be, __builtin_bswap32(v));", "header word byte order"),
    ("upgrade/upload.cpp", "    if (maxSize > 0 && record->size > maxSize)", "    if (maxSize > 0 && record->size > maxSize + 1)", "max size off by one"),
    ("upgrade/upload.cpp", "    if (minSize > 0 && record->size < minSize)", "    if (minSize > 0 && record->size <= minSize)", "min size refused"),
    ("upgrade/nor_region.cpp", "        static_cast<uint64_t>(firstSector + count) * kSector > FLASH_Size)",
     "        static_cast<uint64_t>(firstSector + count - 1) * kSector > FLASH_Size)", "erase past the chip"),
    ("upgrade/nor_region.cpp", "        if (F_FlashDrv_EraseSector(SectorAddress(firstSector + i)) != 1)",
     "        if (F_FlashDrv_EraseSector(SectorAddress(firstSector + i)) < 0)", "failed erase ignored"),
    ("upgrade/nor_region.cpp", "        if (F_FlashDrv_Read(&at, back, n) != 0 || memcmp(back, want + done, n) != 0)",
     "        if (F_FlashDrv_Read(&at, back, n) != 0 || memcmp(back, want + done, 1) != 0)",
     "verify checks one byte a chunk"),
    ("upgrade/upload.cpp", "    if (!whole || total.size > INT32_MAX)", "    if (!whole)", "unread upload accepted"),
    ("upgrade/nor_region.cpp", "    if (sectors == 0 && S_EtatLoader.boardVersion != 2)", "    if (sectors == 0)", "board 2 without firmware sectors"),
    ("upgrade/dispatch.cpp", "    if (F_InitEEProm() != 0)\n        return UPG_ERR_WRITE;", "    F_InitEEProm();", "EEPROM start failure ignored"),
    ("upgrade/dispatch.cpp", "    return UPG_ERR_KIND;\n}", "    return UPG_ERR_NAME;\n}", "unknown kind's code"),
    ("upgrade/nor_region.cpp", "    if (S_EtatLoader.boardVersion == 2) {", "    if (S_EtatLoader.boardVersion == 1) {", "NAND route on the wrong board"),
    ("upgrade/Message_Channel.cpp", "const int kStatusAccepted = 4;", "const int kStatusAccepted = 3;", "accepted status"),
    ("upgrade/Message_Channel.cpp", "    if (status == kStatusDspRefused)\n        return -1;", "    if (status == kStatusDspRefused)\n        return -2;", "refusal's code"),
    ("upgrade/Message_Channel.cpp", "    if (textLen < 0 || static_cast<size_t>(textLen) >= sizeof text_msg) {",
     "    if (textLen < 0 || static_cast<size_t>(textLen) > sizeof text_msg) {", "message fills its buffer"),
    ("upgrade/Message_Channel.cpp", "    memset(dsp_reply, 0xFF, sizeof dsp_reply);", "    memset(dsp_reply, 0x00, sizeof dsp_reply);", "reply word preset to accepted"),
    ("upgrade/Restore_Settings.cpp", "    if (!Contains(inter, len, \"IHM\") && !Contains(inter, len, \"MMI\"))",
     "    if (!Contains(inter, len, \"IHM\"))", "MMI mark refused"),
    ("upgrade/Restore_Settings.cpp", "    if (n <= 0)", "    if (n < 0)", "empty backup read"),
    ("upgrade/file_store.cpp", "    if (!EndsWithTxt(baseName) || S_EtatLoader.boardVersion != 2)", "    if (!EndsWithTxt(baseName))", "GPS on board 1"),
    ("upgrade/dispatch.cpp", "    if (restoreKind == RESTORE_SETTINGS && Begins(baseName, \"gps_\"))", "    if (restoreKind == RESTORE_MODELS && Begins(baseName, \"gps_\"))", "GPS route's key"),
    ("upgrade/dispatch.cpp", "        if (*p == '/' || *p == '\\\\')", "        if (*p == '/')", "backslash path kept"),
    ("upgrade/dispatch.cpp", "    if (outcome > 100) {", "    if (outcome >= 100) {", "outcome page threshold"),
]


def subsystem(path):
    top = path.split("/")[0]
    return "platform" if top == "platform" else top


current = []  # the child running now, stopped with the script


def run(cmd, cwd, limit):
    """Exit status of cmd, or None when it outlasted limit (its group is killed)."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    current[:] = [p]
    try:
        return p.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        return None
    finally:
        current.clear()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build-mutants"))
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--only", default="")
    ap.add_argument("--check", action="store_true", help="list the stale faults and stop")
    args = ap.parse_args()
    if args.check:
        for rel, old, _new, what in FAULTS:
            with open(os.path.join(ROOT, rel)) as f:
                if f.read().count(old) != 1:
                    print("stale: %s: %s" % (rel, what))
        print("%d faults" % len(FAULTS))
        return

    targets = sorted({t for ts in TESTS_OF.values() for t in ts})
    # No optimisation and no debug information: a fault's compile and links
    # are most of what it costs, the unit tests take seconds either way.
    if run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=", "-DCMAKE_CXX_FLAGS=-O0"], ROOT, 600) != 0:
        sys.exit("mutants: configuring %s failed" % args.build)
    if run(["cmake", "--build", args.build, "-j", args.jobs, "--target"] + targets, ROOT, 3600) != 0:
        sys.exit("mutants: the unmodified tree does not build")

    # The source under mutation, restored on every way out (Ctrl-C included).
    pending = {}

    def restore():
        for path, text in list(pending.items()):
            with open(path, "w") as f:
                f.write(text)
            del pending[path]

    def on_signal(signum, _frame):
        for p in current:
            os.killpg(p.pid, signal.SIGKILL)
        restore()
        sys.exit("mutants: stopped, sources restored")

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    killed, survived, stale, broken = [], [], [], []
    faults = [f for f in FAULTS if args.only in f[0] + " " + f[3]]
    try:
        for n, (rel, old, new, what) in enumerate(faults, 1):
            path = os.path.join(ROOT, rel)
            label = "%2d %s: %s" % (n, rel, what)
            with open(path) as f:
                text = f.read()
            if text.count(old) != 1:
                stale.append(label)
                print("stale    " + label, flush=True)
                continue
            pending[path] = text
            with open(path, "w") as f:
                f.write(text.replace(old, new))
            # The mutated file must look newer than its object even within the
            # file system's timestamp resolution.
            os.utime(path, (time.time() + 2, time.time() + 2))
            # One program at a time, built only when the one before passed:
            # most faults die in the first, and a link costs more than its run.
            verdict = "survived"
            for prog in TESTS_OF[subsystem(rel)]:
                if run(["cmake", "--build", args.build, "-j", args.jobs, "--target", prog], ROOT, 1800) != 0:
                    verdict = "nobuild"
                    break
                if run([os.path.join(args.build, "tests", prog), "--gtest_fail_fast"], args.build,
                       TIME_LIMIT_S) != 0:
                    verdict = "killed"
                    break
            restore()
            os.utime(path, (time.time() + 2, time.time() + 2))
            {"killed": killed, "survived": survived, "nobuild": broken}[verdict].append(label)
            print("%-8s %s" % (verdict, label), flush=True)
    finally:
        restore()

    scored = len(killed) + len(survived)
    print()
    print("killed %d, survived %d, stale %d, not building %d" % (len(killed), len(survived), len(stale), len(broken)))
    if scored:
        print("score: %d/%d = %.1f%%" % (len(killed), scored, 100.0 * len(killed) / scored))
    for label in survived:
        print("survivor: " + label)
    for label in stale:
        print("stale: " + label)
    for label in broken:
        print("not building: " + label)


if __name__ == "__main__":
    main()
