// velkcom's commands and the table of them: main() dispatches through the
// table and the program's usage text lists it, so a command added here is
// both runnable and described. Each command is one file (list.cpp,
// monitor.cpp, probe.cpp, selftest.cpp, term.cpp); it takes the words after
// its name, handles --help and bad options itself (usage on standard error,
// exit status 2) and returns the process exit status.
#ifndef VELKCOM_COMMANDS_H
#define VELKCOM_COMMANDS_H

#include <string>
#include <vector>

namespace velkcom {

int cmdSelftest(const std::vector<std::string>& args);
int cmdTerm(const std::vector<std::string>& args);
int cmdList(const std::vector<std::string>& args);
int cmdMonitor(const std::vector<std::string>& args);
int cmdProbe(const std::vector<std::string>& args);

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
    // One line in the usage text; a '\n' continues it on the next line,
    // indented under the first.
    const char* summary;
};

// The commands, in the order the usage text lists them.
inline constexpr Command kCommands[] = {
    {"selftest", cmdSelftest,
     "check a port with a loopback plug (by default the built-in\n"
     "loop:// plug, where the library has one)"},
    {"term", cmdTerm,
     "a terminal: standard input to the port, the port to\n"
     "standard output; Ctrl-] quits"},
    {"list", cmdList, "list the machine's serial ports and USB adapters, opening none"},
    {"monitor", cmdMonitor, "show a port's lines, errors and traffic live"},
    {"probe", cmdProbe, "open COM1 to COM9 in turn and say which open, and why not"},
};

// The command of that name, or null.
const Command* findCommand(const std::string& name);

// The usage text of the program (no command given, or --help).
std::string mainUsage();

// For the commands that hold one port open: maps PORT to DEVICE when one is
// given, then opens the port with 4 KiB queues. Returns 0 and sets WHERE to
// the port's label for messages ("COM1 (/dev/ttyUSB0)"); on failure says on
// standard error which call failed, gives the port back and returns the exit
// status for it.
int openPortForCommand(int port, const std::string& device, std::string& where);

}  // namespace velkcom

#endif  // VELKCOM_COMMANDS_H
