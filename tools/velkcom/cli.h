// Command-line plumbing shared by velkcom's commands: a small option parser
// (--name VALUE or --name=VALUE, --help), the parsers for the values the
// commands take (numbers, a line format such as 8N1, a flow-control letter),
// and the one-line error messages every failure is reported with.
#ifndef VELKCOM_CLI_H
#define VELKCOM_CLI_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace velkcom {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a check failed or a library call failed
constexpr int kExitUsage = 2;   // the command line was not understood

struct OptionDef {
    const char* name;  // without the leading "--"
    bool takesValue;
};

// The options of one command line. --help (or -h) is always known.
class Options {
public:
    // Parses args (the words after the command). On failure returns false and
    // says why in error.
    bool parse(const std::vector<std::string>& args, const std::vector<OptionDef>& defs,
               std::string& error);
    bool help() const { return help_; }
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    const std::string& value(const std::string& name) const { return values_.at(name); }

private:
    bool help_ = false;
    std::map<std::string, std::string> values_;
};

// A decimal integer in [min, max], nothing else in the text.
bool parseInt(const std::string& text, long long min, long long max, long long& out);

// A character format as data bits, parity letter and stop bits: "8N1",
// "7E2", "5N1.5". Parity letters N, O, E, M, S (either case). Gives the
// library's codes for SioParms.
struct LineFormat {
    int dataBits = 8;
    int parity = 0;    // SIO_*_PARITY
    int stopBits = 0;  // SIO_*_STOP_BIT(S)
};
bool parseLineFormat(const std::string& text, LineFormat& out);

// N, H or S (either case): the SioFlow letter.
bool parseFlow(const std::string& text, char& out);

// "COM1" for port 0.
std::string comName(int port);

// A library result in words: the result code's name, and for SIO_WIN_ERROR
// the code from SioWinError with its meaning. Call it right after the failing
// call, before any other library call can change SioWinError.
std::string describeResult(int rc);

// Reports a command line that was not understood: "velkcom COMMAND: why" and
// the command's usage text on standard error. Returns kExitUsage.
int usageError(const char* command, const std::string& why, const char* usage);

// The start a command shares: reads args as defs say into opts. Returns -1
// when the command goes on; otherwise the exit status to end with, after
// usageError (kExitUsage) or after --help's usage text on standard output
// (kExitOk).
int parseCommandLine(const char* command, const std::vector<std::string>& args,
                     const std::vector<OptionDef>& defs, const char* usage, Options& opts);

// Writes the one line that reports a failed library call:
// "velkcom: COM1 (/dev/ttyS0): SioReset failed: SIO_WIN_ERROR, error 2 (No such file or directory)".
void reportFailure(std::ostream& err, const std::string& where, const std::string& call,
                   const std::string& why);

}  // namespace velkcom

#endif  // VELKCOM_CLI_H
