// Option parsing, value parsing and error lines for velkcom (see cli.h).
#include "cli.h"

#include <cstdlib>
#include <iostream>

#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

bool Options::parse(const std::vector<std::string>& args, const std::vector<OptionDef>& defs,
                    std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            help_ = true;
            continue;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        std::size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        const OptionDef* option = nullptr;
        for (const OptionDef& s : defs) {
            if (name == s.name) option = &s;
        }
        if (option == nullptr) {
            error = "unknown option '--" + name + "'";
            return false;
        }
        if (values_.count(name) != 0) {
            error = "option '--" + name + "' given twice";
            return false;
        }
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option '--" + name + "' needs a value";
                return false;
            }
            value = args[++i];
        } else if (!option->takesValue && inlineValue) {
            error = "option '--" + name + "' takes no value";
            return false;
        }
        values_[name] = value;
    }
    return true;
}

bool parseInt(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty() || text.size() > 18) return false;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
        if (text.size() == 1) return false;
    }
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative) v = -v;
    if (v < min || v > max) return false;
    out = v;
    return true;
}

bool parseLineFormat(const std::string& text, LineFormat& out) {
    if (text.size() < 3) return false;
    if (text[0] < '5' || text[0] > '8') return false;
    LineFormat f;
    f.dataBits = text[0] - '0';
    switch (text[1]) {
    case 'N': case 'n': f.parity = SIO_NO_PARITY; break;
    case 'O': case 'o': f.parity = SIO_ODD_PARITY; break;
    case 'E': case 'e': f.parity = SIO_EVEN_PARITY; break;
    case 'M': case 'm': f.parity = SIO_MARK_PARITY; break;
    case 'S': case 's': f.parity = SIO_SPACE_PARITY; break;
    default: return false;
    }
    std::string stop = text.substr(2);
    if (stop == "1") {
        f.stopBits = SIO_ONE_STOP_BIT;
    } else if (stop == "1.5") {
        if (f.dataBits != 5) return false;  // one and a half only goes with 5 data bits
        f.stopBits = SIO_ONE5_STOP_BITS;
    } else if (stop == "2") {
        if (f.dataBits == 5) return false;  // 5 data bits take 1 or 1.5
        f.stopBits = SIO_TWO_STOP_BITS;
    } else {
        return false;
    }
    out = f;
    return true;
}

bool parseFlow(const std::string& text, char& out) {
    if (text.size() != 1) return false;
    char c = text[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != SIO_FLOW_NONE && c != SIO_FLOW_HARDWARE && c != SIO_FLOW_SOFTWARE) return false;
    out = c;
    return true;
}

std::string comName(int port) {
    return "COM" + std::to_string(port + 1);
}

std::string describeResult(int rc) {
    switch (rc) {
    case SIO_BAD_PORT: return "SIO_BAD_PORT (port number outside 0 to 8)";
    case SIO_NOT_OPEN: return "SIO_NOT_OPEN (the port is not open)";
    case SIO_NO_DATA: return "SIO_NO_DATA";
    case SIO_BAD_COMMAND: return "SIO_BAD_COMMAND";
    case SIO_WIN_ERROR: {
        int code = SioWinError();
        return "SIO_WIN_ERROR, error " + std::to_string(code) + " (" + errorText(code) + ")";
    }
    case 0: return "success flag 0 (the device refused it)";
    default: return "unexpected result " + std::to_string(rc);
    }
}

int usageError(const char* command, const std::string& why, const char* usage) {
    std::cerr << "velkcom " << command << ": " << why << "\n" << usage;
    return kExitUsage;
}

int parseCommandLine(const char* command, const std::vector<std::string>& args,
                     const std::vector<OptionDef>& defs, const char* usage, Options& opts) {
    std::string error;
    if (!opts.parse(args, defs, error)) return usageError(command, error, usage);
    if (opts.help()) {
        std::cout << usage;
        return kExitOk;
    }
    return -1;
}

void reportFailure(std::ostream& err, const std::string& where, const std::string& call,
                   const std::string& why) {
    err << "velkcom: " << where << ": " << call << " failed: " << why << "\n";
    err.flush();
}

}  // namespace velkcom
