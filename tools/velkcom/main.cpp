// velkcom: the command-line companion of the velk32 serial-port library.
// Picks the command from the table (commands.h) and hands it the rest of the
// command line; everything it does with a port goes through the library's
// public functions.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "velk32.h"
#include "velk32_version.h"

int main(int argc, char** argv) {
    using namespace velkcom;
    if (argc < 2) {
        std::cerr << mainUsage();
        return kExitUsage;
    }
    std::string command = argv[1];
    if (const Command* c = findCommand(command)) return c->run(std::vector<std::string>(argv + 2, argv + argc));
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << mainUsage();
        return kExitOk;
    }
    if (command == "--version") {
        // The program's own version (built with the library), then the
        // version of the library it has loaded, which may be another build.
        int v = SioInfo(SIO_INFO_VERSION);
        std::cout << "velkcom " VELK_VERSION_STRING ", velk32 " << (v >> 4) << "." << (v & 15) << "\n";
        return kExitOk;
    }
    std::cerr << "velkcom: unknown command '" << command << "'\n" << mainUsage();
    return kExitUsage;
}
