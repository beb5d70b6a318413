// `velkcom list` run as a user runs it: on fake sysfs trees that mirror real
// machines (sysfs/: a kernel before 6.5 and one after, see sysfs/README.md)
// against the table and JSON they must give, and on this machine under strace
// to show that it opens no device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "velkcom_process.h"

namespace {

using namespace velkcom_test;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(VelkcomList, FakeTreesGiveTheExpectedTableAndJson) {
    for (const char* tree : {"kernel-5.15", "kernel-6.8"}) {
        const std::string root = std::string(VELKCOM_SYSFS_TREES) + "/" + tree;
        Result json = run({"list", "--root", root, "--json"});
        EXPECT_EQ(json.status, 0) << tree << json.err;
        EXPECT_EQ(json.out, readFile(root + ".json")) << tree;
        EXPECT_TRUE(json.err.empty()) << json.err;
        Result table = run({"list", "--root", root});
        EXPECT_EQ(table.status, 0) << tree << table.err;
        EXPECT_EQ(table.out, readFile(root + ".txt")) << tree;
    }
}

TEST(VelkcomList, ARootWithoutSysfsIsAFailureNamingThePath) {
    Result r = run({"list", "--root", "/nonexistent/root"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("velkcom list: cannot read /nonexistent/root/sys/class/tty: ", 0), 0u) << r.err;
    Result empty = run({"list", "--root", std::string(VELKCOM_SYSFS_TREES) + "/kernel-6.8/sys/class"});
    EXPECT_EQ(empty.status, 1) << "a root with no sys/class/tty below it";
}

TEST(VelkcomList, OnThisMachineItOpensNoDevice) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    char log[] = "/tmp/velkcom-list-strace-XXXXXX";
    int fd = mkstemp(log);
    ASSERT_GE(fd, 0);
    close(fd);
    // LeakSanitizer cannot run under ptrace: off for this run of a sanitized build.
    std::string cmd = std::string("ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -e trace=open,openat,openat2,creat -o ") + log + " " +
                      VELKCOM_EXE + " list --json >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    std::string trace = readFile(log);
    unlink(log);
    if (status != 0 && trace.empty()) GTEST_SKIP() << "strace cannot trace here (no ptrace permission)";
    ASSERT_EQ(status, 0) << trace;
    ASSERT_NE(trace.find("/sys/class/tty"), std::string::npos) << "the trace shows no look at sysfs:\n" << trace;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = line.find("\"/dev/");
        if (at == std::string::npos) continue;
        EXPECT_EQ(line.compare(at, 19, "\"/dev/serial/by-id\""), 0) << "opened a device: " << line;
    }
}

}  // namespace
