// velkcom's commands run in-process: the command table against the usage
// text that lists it (and the manual page made from that list), and
// `velkcom monitor` on the simulated device, where a peer can send more than
// the port's receive queue holds, as neither a pty nor loop:// can.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "device/testing/proxy_device.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

TEST(VelkcomCommands, TheUsageListsEveryCommandOfTheTableAndEachAnswersHelp) {
    const std::string usage = velkcom::mainUsage();
    // The indented first words after "commands:", as the manual page reads
    // them, and the column each line's summary text starts at.
    std::vector<std::string> listed;
    std::istringstream lines(usage.substr(usage.find("\ncommands:\n") + 11));
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        std::size_t text = line.find_first_not_of(' ');
        if (text == 2 && line[2] >= 'a' && line[2] <= 'z') {
            listed.push_back(line.substr(2, line.find(' ', 2) - 2));
            text = line.find_first_not_of(' ', 2 + listed.back().size());
        }
        EXPECT_EQ(text, 13u) << "summaries line up: " << line;
    }
    std::vector<std::string> table;
    for (const velkcom::Command& c : velkcom::kCommands) {
        table.push_back(c.name);
        EXPECT_EQ(velkcom::findCommand(c.name), &c);
        std::istringstream summary(c.summary);
        for (std::string part; std::getline(summary, part);) EXPECT_NE(usage.find(part + "\n"), std::string::npos) << part;
        testing::internal::CaptureStdout();
        const int status = c.run({"--help"});
        const std::string help = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, velkcom::kExitOk) << c.name;
        EXPECT_EQ(help.rfind("usage: velkcom " + std::string(c.name) + " ", 0), 0u) << help;
    }
    EXPECT_EQ(listed, table) << usage;
    EXPECT_EQ(velkcom::findCommand("frobnicate"), nullptr);
}

// A peer that sends 5000 bytes at once, more than the port's 4 KiB receive
// queue holds, when the monitor first reads: the bytes beyond the queue are
// lost, as the driver reports with CE_RXOVER.
class BurstOnFirstRead : public ProxyDevice {
public:
    BurstOnFirstRead(DeviceApi& next, SimDevice& sim) : ProxyDevice(next), sim_(sim) {}
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override {
        if (!sent_) {
            sent_ = true;
            const std::string burst(5000, 'x');
            sim_.injectReceived(0, burst.data(), burst.size());
        }
        return inner().ReadFile(h, buf, n, got);
    }

private:
    SimDevice& sim_;
    bool sent_ = false;
};

using VelkcomMonitorOnSim = SimTest;

TEST_F(VelkcomMonitorOnSim, BytesLostToAFullReceiveQueueCountAsAnOverrun) {
    sim.setUnplugged(0);
    BurstOnFirstRead peer(shim, sim);
    setDevice(&peer);
    testing::internal::CaptureStdout();
    const int status = velkcom::cmdMonitor({"--port", "0", "--count", "2"});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, velkcom::kExitOk);
    // The burst came with the first read; the next look at the line errors
    // finds the overflow, and the last line shows it.
    const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    EXPECT_NE(last.find("  ovr 1 par 0 frm 0 brk 0  rx 4096 B "), std::string::npos) << out;
    EXPECT_FALSE(sim.snapshot(0).open) << "the port must be closed at the end";
}

}  // namespace
}  // namespace velk
