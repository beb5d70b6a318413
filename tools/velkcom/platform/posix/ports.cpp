// The port list on Linux, read from sysfs without opening any port. Every
// entry of /sys/class/tty that has a `device` link is a port (virtual
// terminals and ptys have none). From the device the link names it walks up:
// past the serial-base port and controller devices that kernels 6.5 and later
// put between an on-board UART's tty and its PNP, platform or PCI device; and
// for USB, from the usb-serial port (FTDI and other adapters) or the interface
// (CDC-ACM boards) to the USB device with the ids and strings. A port whose
// `type` is 0 has no UART behind it (the phantom platform serial8250 ports)
// and is left out. The stable names come from /dev/serial/by-id.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "platform/ports.h"

namespace fs = std::filesystem;

namespace velkcom {

namespace {

// A sysfs attribute without its line end; empty when missing.
std::string readAttr(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return "";
    std::string text;
    char buf[4096];
    in.read(buf, sizeof buf);
    text.assign(buf, static_cast<std::size_t>(in.gcount()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::optional<std::string> optionalAttr(const fs::path& file) {
    std::string v = readAttr(file);
    if (v.empty()) return std::nullopt;
    return v;
}

// The last part of the path a link points at: the name of a device's
// subsystem or driver.
std::string linkName(const fs::path& link) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return "";
    return target.filename().string();
}

// Four hex digits in lower case, as idVendor and idProduct are written.
std::optional<std::string> usbId(const fs::path& file) {
    std::string v = readAttr(file);
    if (v.size() != 4) return std::nullopt;
    for (char& c : v) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return v;
}

// The COM name the library opens a device as by default: /dev/ttyS<n> is
// port n, COM<n+1>, for the ports 0 to 8 it has.
std::optional<std::string> comFor(const std::string& name) {
    if (name.size() != 5 || name.compare(0, 4, "ttyS") != 0) return std::nullopt;
    if (name[4] < '0' || name[4] > '8') return std::nullopt;
    return "COM" + std::to_string(name[4] - '0' + 1);
}

// The /dev/serial/by-id links, by the device path each resolves to. The
// links are relative (../../ttyUSB0), read here as if the folder were
// /dev/serial/by-id; of several links to one device the first by name wins.
std::map<std::string, std::string> byIdLinks(const fs::path& root) {
    std::map<std::string, std::string> links;
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(root / "dev/serial/by-id", ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    const fs::path dir = "/dev/serial/by-id";
    for (const std::string& name : names) {
        fs::path target = fs::read_symlink(root / "dev/serial/by-id" / name, ec);
        if (ec) continue;
        if (target.is_relative()) target = dir / target;
        links.emplace(target.lexically_normal().string(), (dir / name).string());
    }
    return links;
}

void fillUsb(const fs::path& from, PortInfo& info) {
    // usb-serial port -> interface -> device, or interface -> device.
    fs::path p = from;
    for (int up = 0; up < 4; ++up) {
        std::string subsystem = linkName(p / "subsystem");
        if (subsystem != "usb" && subsystem != "usb-serial") return;
        std::string number = readAttr(p / "bInterfaceNumber");
        if (!number.empty() && !info.interface) {
            char* end = nullptr;
            long n = std::strtol(number.c_str(), &end, 16);
            if (*end == '\0' && n >= 0 && n < 256) info.interface = static_cast<int>(n);
        }
        if (fs::exists(p / "idVendor")) {
            info.vid = usbId(p / "idVendor");
            info.pid = usbId(p / "idProduct");
            info.serial = optionalAttr(p / "serial");
            info.manufacturer = optionalAttr(p / "manufacturer");
            info.product = optionalAttr(p / "product");
            return;
        }
        if (!p.has_relative_path()) return;
        p = p.parent_path();
    }
}

}  // namespace

bool listRootSupported() {
    return true;
}

bool listPorts(const std::string& root, std::vector<PortInfo>& out, std::string& error) {
    const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
    const fs::path classDir = base / "sys/class/tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec) {
        error = "cannot read " + classDir.string() + ": " + ec.message();
        return false;
    }
    const std::map<std::string, std::string> links = byIdLinks(base);
    out.clear();
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            error = "cannot read " + classDir.string() + ": " + ec.message();
            return false;
        }
        const fs::path tty = it->path();
        const std::string name = tty.filename().string();
        if (!fs::is_symlink(tty / "device", ec)) continue;  // a virtual terminal, a pty, a console
        fs::path hw = fs::canonical(tty / "device", ec);
        if (ec) continue;
        if (readAttr(tty / "type") == "0") continue;  // no UART at this address
        // Newer kernels: tty -> serial-base port -> serial-base controller -> device.
        for (int up = 0; up < 3 && linkName(hw / "subsystem") == "serial-base" && hw.has_relative_path(); ++up) {
            hw = hw.parent_path();
        }
        PortInfo info;
        std::string devName = name;
        std::string uevent = readAttr(tty / "uevent") + "\n";
        std::size_t at = uevent.find("DEVNAME=");
        if (at != std::string::npos && (at == 0 || uevent[at - 1] == '\n')) {
            std::size_t from = at + 8;
            std::string v = uevent.substr(from, uevent.find('\n', from) - from);
            if (!v.empty()) devName = v;
        }
        info.device = "/dev/" + devName;
        info.com = comFor(devName);
        std::string driver = linkName(hw / "driver");
        std::string subsystem = linkName(hw / "subsystem");
        if (!driver.empty()) info.driver = driver;
        if (!subsystem.empty()) info.subsystem = subsystem;
        if (subsystem == "usb" || subsystem == "usb-serial") fillUsb(hw, info);
        auto link = links.find(info.device);
        if (link != links.end()) info.byId = link->second;
        out.push_back(std::move(info));
    }
    std::sort(out.begin(), out.end(),
              [](const PortInfo& a, const PortInfo& b) { return deviceNameLess(a.device, b.device); });
    return true;
}

}  // namespace velkcom
