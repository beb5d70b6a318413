// velkcom's commands. Each takes the words after its name, handles
// --help and bad options itself (usage on standard error, exit status 2) and
// returns the process exit status.
#ifndef VELKCOM_COMMANDS_H
#define VELKCOM_COMMANDS_H

#include <string>
#include <vector>

namespace velkcom {

int cmdSelftest(const std::vector<std::string>& args);
int cmdTerm(const std::vector<std::string>& args);
int cmdProbe(const std::vector<std::string>& args);
int cmdList(const std::vector<std::string>& args);
int cmdMonitor(const std::vector<std::string>& args);

// For the commands that hold one port open: maps PORT to DEVICE when one is
// given, then opens the port with 4 KiB queues. Returns 0 and sets WHERE to
// the port's label for messages ("COM1 (/dev/ttyUSB0)"); on failure says on
// standard error which call failed, gives the port back and returns the exit
// status for it.
int openPortForCommand(int port, const std::string& device, std::string& where);

// The usage text of the program (no command given, or --help).
const char* mainUsage();

}  // namespace velkcom

#endif  // VELKCOM_COMMANDS_H
