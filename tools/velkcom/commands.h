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

// The usage text of the program (no command given, or --help).
const char* mainUsage();

}  // namespace velkcom

#endif  // VELKCOM_COMMANDS_H
