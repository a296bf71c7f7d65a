// The instrument root: paths below INSTRUMENT_ROOT, private temporary files, programs run without a shell.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/temp_root.h"

TEST(InstrumentRoot, PathsResolveBelowTheRootOrNotAtAll)
{
    using Row = std::tuple<const char*, const char*, const char*>;  // root (nullptr: unset), path, result
    for (const auto& [root, path, want] :
         {Row{nullptr, "/tmp/info", "/tmp/info"}, {"", "/tmp/info", "/tmp/info"}, {"/", "/tmp/info", "/tmp/info"},
          {"/r", "/tmp/info", "/r/tmp/info"}, {"/r/", "/NANDdrive/firm/", "/r/NANDdrive/firm/"},
          {"/a/longer/root", "/tmp/x", ""}}) {
        root ? setenv("INSTRUMENT_ROOT", root, 1) : unsetenv("INSTRUMENT_ROOT");
        char out[20];
        EXPECT_EQ(platform_path(path, out, sizeof out) == nullptr, want[0] == '\0') << root;
        EXPECT_STREQ(out, want);
    }
}

// The program's output goes to the file the caller made and holds open, read back through the same descriptor.
TEST(InstrumentRoot, PrivateTempFilesAndProgramsWithoutAShell)
{
    quibtest::TempRoot root;
    umask(0);
    char path[1024];
    const int fd = platform_open_private_temp("/tmp/quibXXXXXX", path, sizeof path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(path).rfind(root.path() + "/tmp/quib", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    root.write("/proc/boot/tool", "#!/bin/sh\necho \"$1\"\n");
    chmod(root.host("/proc/boot/tool").c_str(), 0755);
    ASSERT_EQ(write(fd, "old\n", 4), 4);
    const char* argv[] = {"tool", "$(echo hi);x", nullptr};
    EXPECT_EQ(platform_run_output_to("/proc/boot/tool", argv, fd), 0);
    EXPECT_EQ(root.read(std::string(path).substr(root.path().size())), "old\n$(echo hi);x\n")
        << "after what was there, not expanded by a shell";
    EXPECT_EQ(platform_run_output_to("/proc/boot/missing", argv, fd), -1);
    close(fd);

    setenv("INSTRUMENT_ROOT", (root.path() + "/missing").c_str(), 1);
    EXPECT_EQ(platform_open_private_temp("/tmp/quibXXXXXX", path, sizeof path), -1);
}
