// `velkcom list` run as a user runs it: on fake sysfs trees that mirror real
// machines (sysfs/: a kernel before 6.5 and one after, see sysfs/README.md)
// against the table and JSON they must give, on copies of a tree with one
// thing added (a port, a by-id link, a USB string with bad bytes), and on
// this machine under strace to show that it opens no device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "velkcom_process.h"

namespace {

using namespace velkcom_test;
namespace fs = std::filesystem;

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

// A copy of a fake tree in a folder of the test's own, to change one thing of.
struct TreeCopy {
    explicit TreeCopy(const char* tree) {
        char dir[] = "/tmp/velkcom-tree-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        root = dir;
        fs::copy(fs::path(VELKCOM_SYSFS_TREES) / tree, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    ~TreeCopy() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void write(const std::string& file, const std::string& text) { std::ofstream(root / file, std::ios::binary) << text; }
    // Another port of kernel-6.8's PCI card, wired as its ttyS10 is.
    void addCardPort(int n) {
        const fs::path card = "sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0/0000:03:00.0:0";
        const std::string name = "ttyS" + std::to_string(n);
        const fs::path port = card / ("0000:03:00.0:0." + std::to_string(n));
        fs::copy(root / card / "0000:03:00.0:0.10", root / port, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::rename(root / port / "tty/ttyS10", root / port / "tty" / name);
        write((port / "tty" / name / "uevent").string(), "MAJOR=4\nMINOR=" + std::to_string(64 + n) + "\nDEVNAME=" + name + "\n");
        fs::create_symlink("../.." / port.lexically_relative("sys") / "tty" / name, root / "sys/class/tty" / name);
    }
    // The object `velkcom list --json` gives for device.
    std::string json(const std::string& device) {
        Result r = run({"list", "--root", root.string(), "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::size_t at = r.out.find("\"device\": \"" + device + "\"");
        return at == std::string::npos ? "" : r.out.substr(at, r.out.find('}', at) - at);
    }
    fs::path root;
};

TEST(VelkcomList, OnlyTtyS0ToTtyS8HaveAComName) {
    TreeCopy tree("kernel-6.8");
    tree.addCardPort(8);
    tree.addCardPort(9);
    for (const auto& port : {std::make_pair("/dev/ttyS8", "\"COM9\""), std::make_pair("/dev/ttyS9", "null"),
                             std::make_pair("/dev/ttyS10", "null")}) {
        const std::string json = tree.json(port.first);
        EXPECT_NE(json.find(std::string("\"com\": ") + port.second + ",\n    \"driver\": \"serial\""), std::string::npos)
            << json;
    }
}

// Several by-id links to one device: the list shows the first by name,
// the same one on every run.
TEST(VelkcomList, OfTwoByIdLinksToOneDeviceTheFirstByNameIsShown) {
    TreeCopy tree("kernel-6.8");
    const std::string name = "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-";
    fs::create_symlink("../../ttyUSB1", tree.root / "dev/serial/by-id" / (name + "if00"));
    fs::create_symlink("../../ttyUSB1", tree.root / "dev/serial/by-id" / (name + "port0"));
    const std::string json = tree.json("/dev/ttyUSB1");
    EXPECT_NE(json.find("\"by_id\": \"/dev/serial/by-id/" + name + "if00\"\n"), std::string::npos) << json;
}

// A USB string is whatever bytes the adapter's firmware gave: overlong forms,
// a surrogate and a code point above U+10FFFF come out as U+FFFD, one for
// each byte, so that the JSON stays valid; good UTF-8 passes as it is.
TEST(VelkcomList, BadBytesInAUsbStringBecomeReplacementCharactersInTheJson) {
    TreeCopy tree("kernel-6.8");
    tree.write("sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/product",
               "A\xC0\xAF" "B\xE0\x80\xAF" "C\xF0\x80\x80\xAF" "D\xED\xA0\x80" "E\xF4\x90\x80\x80" "F\xC3\xBC\n");
    const std::string r = "\\ufffd";
    const std::string json = tree.json("/dev/ttyUSB1");
    EXPECT_NE(json.find("\"product\": \"A" + r + r + "B" + r + r + r + "C" + r + r + r + r + "D" + r + r + r + "E" + r + r + r + r +
                        "F\xC3\xBC\",\n"),
              std::string::npos)
        << json;
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
