// The command table's side of velkcom (see commands.h): looking a command
// up, the program's usage text made from the table, and the port opening the
// commands that hold one port share.
#include "commands.h"

#include <iostream>

#include "cli.h"
#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

const Command* findCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

std::string mainUsage() {
    constexpr std::size_t kNameColumn = 11;  // "  selftest   " puts summaries at column 13
    std::string text =
        "usage: velkcom COMMAND [OPTIONS]\n"
        "\n"
        "A companion to the velk32 serial-port library.\n"
        "\n"
        "commands:\n";
    for (const Command& c : kCommands) {
        std::string name = c.name;
        name.resize(kNameColumn, ' ');
        text += "  " + name;
        for (const char* s = c.summary; *s != '\0'; ++s) {
            text += *s;
            if (*s == '\n') text += std::string(kNameColumn + 2, ' ');
        }
        text += "\n";
    }
    text += "\n`velkcom COMMAND --help` describes each command's options.\n";
    return text;
}

int openPortForCommand(int port, const std::string& device, std::string& where) {
    std::string label = device.empty() ? defaultDeviceName(port) : device;
    where = comName(port) + (label == comName(port) ? "" : " (" + label + ")");
    if (!device.empty()) {
        int rc = mapPort(port, device);
        if (rc != 0) {
            reportFailure(std::cerr, where, "velk_map_port", describeResult(rc));
            return kExitFailed;
        }
    }
    int rc = SioReset(port, 4096, 4096);
    if (rc != 0) {
        reportFailure(std::cerr, where, "SioReset", describeResult(rc));
        SioDone(port);  // a configuration step may have failed after the open
        return kExitFailed;
    }
    return 0;
}

}  // namespace velkcom
