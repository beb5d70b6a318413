// `velkcom list`: the machine's serial ports as the operating system records
// them (platform/*/ports.cpp), as an aligned table or as JSON.
// Nothing is opened.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "cli.h"
#include "commands.h"
#include "platform/ports.h"

namespace velkcom {

namespace {

const char* kListUsage =
    "usage: velkcom list [--json] [--root DIR]\n"
    "\n"
    "Lists the machine's serial ports from the system's own records, without\n"
    "opening any (unlike probe): on Linux from /sys/class/tty and\n"
    "/dev/serial/by-id, on Windows from the registry (SERIALCOMM) and SetupAPI.\n"
    "Shows each port's device, the COM name it opens as by default (/dev/ttyS0\n"
    "is COM1), its driver and, for USB adapters, the vendor and product ids,\n"
    "serial number, manufacturer, product, interface number and stable by-id\n"
    "link. Virtual terminals and ports without a UART behind them are left out.\n"
    "\n"
    "  --json         a JSON array of objects with the keys device, com, driver,\n"
    "                 subsystem, vid, pid, serial, manufacturer, product,\n"
    "                 interface, by_id (null where not known)\n"
    "  --root DIR     (Linux only, for tests) read DIR/sys/... and\n"
    "                 DIR/dev/serial/by-id instead of /sys and /dev: a fake tree\n"
    "                 that mirrors a real machine's; the paths shown are still\n"
    "                 the system's (/dev/ttyUSB0)\n"
    "  --help         this text\n";

// Appends s as a JSON string: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 replaced by U+FFFD.
void jsonString(std::string& out, const std::string& s) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        // A UTF-8 sequence: its length from the lead byte, then continuation
        // bytes, no overlong forms, no surrogates, nothing above U+10FFFF.
        std::size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
        bool ok = len != 0 && c < 0xf5 && i + len <= s.size();
        unsigned long cp = len == 4 ? c & 7u : len == 3 ? c & 15u : c & 31u;
        for (std::size_t k = 1; ok && k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            ok = (d & 0xc0) == 0x80;
            cp = (cp << 6) | (d & 0x3fu);
        }
        if (ok) ok = !(len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) && !(len == 4 && (cp < 0x10000 || cp > 0x10ffff));
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out += '"';
}

void jsonField(std::string& out, const char* key, const std::optional<std::string>& v, bool last = false) {
    out += "    \"";
    out += key;
    out += "\": ";
    if (v) {
        jsonString(out, *v);
    } else {
        out += "null";
    }
    out += last ? "\n" : ",\n";
}

std::string toJson(const std::vector<PortInfo>& ports) {
    if (ports.empty()) return "[]\n";
    std::string out = "[\n";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& p = ports[i];
        out += "  {\n";
        jsonField(out, "device", p.device);
        jsonField(out, "com", p.com);
        jsonField(out, "driver", p.driver);
        jsonField(out, "subsystem", p.subsystem);
        jsonField(out, "vid", p.vid);
        jsonField(out, "pid", p.pid);
        jsonField(out, "serial", p.serial);
        jsonField(out, "manufacturer", p.manufacturer);
        jsonField(out, "product", p.product);
        out += "    \"interface\": " + (p.interface ? std::to_string(*p.interface) : std::string("null")) + ",\n";
        jsonField(out, "by_id", p.byId, true);
        out += i + 1 < ports.size() ? "  },\n" : "  }\n";
    }
    return out + "]\n";
}

// A table cell: "-" when absent, control characters shown as '?'.
std::string cell(const std::optional<std::string>& v) {
    if (!v || v->empty()) return "-";
    std::string s = *v;
    for (char& c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return s;
}

// Characters on screen: UTF-8 continuation bytes take no column.
std::size_t width(const std::string& s) {
    std::size_t n = 0;
    for (char c : s) {
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++n;
    }
    return n;
}

std::string toTable(const std::vector<PortInfo>& ports) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"DEVICE", "COM", "DRIVER", "VID:PID", "SERIAL", "MANUFACTURER", "PRODUCT", "IF", "BY-ID"});
    for (const PortInfo& p : ports) {
        std::string ids = p.vid || p.pid ? cell(p.vid) + ":" + cell(p.pid) : "-";
        rows.push_back({cell(p.device), cell(p.com), cell(p.driver), ids, cell(p.serial), cell(p.manufacturer),
                        cell(p.product), p.interface ? std::to_string(*p.interface) : "-", cell(p.byId)});
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], width(row[c]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - width(row[c]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

}  // namespace

bool deviceNameLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;
}

std::string portDriver(const std::string& root, const std::string& device) {
    std::vector<PortInfo> ports;
    std::string error;
    if (device.empty() || device.find("://") != std::string::npos || !listPorts(root, ports, error)) return "";
    // A link that no by-id name matches (a udev rule's name) is the device it
    // leads to; under a fake root the name is taken as given.
    std::error_code ec;
    std::string real;
    if (root.empty()) real = std::filesystem::canonical(device, ec).string();
    if (ec) real.clear();
    for (const PortInfo& p : ports) {
        if (p.device == device || (p.byId && *p.byId == device) || (!real.empty() && p.device == real)) {
            return p.driver.value_or("");
        }
    }
    return "";
}

int cmdList(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"json", false}};
    if (listRootSupported()) defs.push_back({"root", true});
    Options opts;
    const int parsed = parseCommandLine("list", args, defs, kListUsage, opts);
    if (parsed >= 0) return parsed;
    std::string root;
    if (opts.has("root")) {
        root = opts.value("root");
        if (root.empty()) return usageError("list", "--root needs a folder", kListUsage);
    }
    std::vector<PortInfo> ports;
    std::string error;
    if (!listPorts(root, ports, error)) {
        std::cerr << "velkcom list: " << error << "\n";
        return kExitFailed;
    }
    if (opts.has("json")) {
        std::cout << toJson(ports);
    } else if (ports.empty()) {
        std::cout << "no serial ports found\n";
    } else {
        std::cout << toTable(ports);
    }
    std::cout.flush();
    return std::cout ? kExitOk : kExitFailed;
}

}  // namespace velkcom
