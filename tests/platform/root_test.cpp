#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/temp_root.h"

TEST(InstrumentRoot, ResolvesBelowRootAndStaysLiteralWithoutOne)
{
    struct Case { const char* root; const char* path; const char* want; };
    const Case cases[] = {
        {nullptr, "/tmp/info", "/tmp/info"},
        {"", "/tmp/info", "/tmp/info"},
        {"/", "/tmp/info", "/tmp/info"},
        {"/r", "/tmp/info", "/r/tmp/info"},
        {"/r/", "/NANDdrive/firm/", "/r/NANDdrive/firm/"},
    };
    for (const auto& c : cases) {
        if (c.root)
            setenv("INSTRUMENT_ROOT", c.root, 1);
        else
            unsetenv("INSTRUMENT_ROOT");
        char out[64];
        ASSERT_NE(platform_path(c.path, out, sizeof out), nullptr) << c.path;
        EXPECT_STREQ(out, c.want);
    }
    setenv("INSTRUMENT_ROOT", "/a/long/root", 1);
    char small[8];
    EXPECT_EQ(platform_path("/tmp/x", small, sizeof small), nullptr);
    EXPECT_STREQ(small, "");
    unsetenv("INSTRUMENT_ROOT");
}

TEST(InstrumentRoot, PrivateTempFileIsOwnerOnly)
{
    quibtest::TempRoot root;
    umask(0);
    char path[1024];
    ASSERT_EQ(platform_make_private_temp("/tmp/quibXXXXXX", path, sizeof path), 0);
    EXPECT_EQ(std::string(path).rfind(root.path() + "/tmp/quib", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    unlink(path);

    setenv("INSTRUMENT_ROOT", (root.path() + "/missing").c_str(), 1);
    EXPECT_EQ(platform_make_private_temp("/tmp/quibXXXXXX", path, sizeof path), -1);
}

TEST(InstrumentRoot, RunsProgramWithoutShellAppendingOutput)
{
    quibtest::TempRoot root;
    root.write("/proc/boot/tool", "#!/bin/sh\necho \"$1\"\n");
    chmod(root.host("/proc/boot/tool").c_str(), 0755);
    root.write("/tmp/out", "old\n");
    // A shell would expand this; without one it arrives as it stands.
    const char* argv[] = {"tool", "$(echo hi);x", nullptr};
    EXPECT_EQ(platform_run_append_output("/proc/boot/tool", argv, "/tmp/out"), 0);
    EXPECT_EQ(root.read("/tmp/out"), "old\n$(echo hi);x\n");
    EXPECT_EQ(platform_run_append_output("/proc/boot/missing", argv, "/tmp/out"), -1);
}
