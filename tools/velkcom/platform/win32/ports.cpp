// The port list on Windows, read without opening any port: every value of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM is a port (its data the COM name), and
// where SetupAPI has the port among the Ports class devices (matched by the
// PortName of its device key) it adds the friendly name, the driver's
// service and manufacturer and, from the USB device above it, the ids,
// interface and serial number. Wine fills SERIALCOMM from its own port
// mappings but has no Ports devices, so there the list is the COM names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// GUID_DEVCLASS_PORTS is defined (not only declared) in this file.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cwctype>

#include "platform/ports.h"

namespace velkcom {

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// A string read from the registry or SetupAPI: up to the first NUL.
std::wstring fromBuffer(const wchar_t* p, std::size_t maxChars) {
    std::size_t n = 0;
    while (n < maxChars && p[n] != L'\0') ++n;
    return std::wstring(p, n);
}

std::optional<std::string> comFor(const std::wstring& name) {
    if (name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"com") == 0) &&
        name[3] >= L'1' && name[3] <= L'9') {
        return "COM" + std::string(1, static_cast<char>(name[3]));
    }
    return std::nullopt;
}

std::optional<std::string> property(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD prop) {
    wchar_t buf[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, prop, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - 2,
                                           nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return std::nullopt;
    }
    buf[sizeof buf / sizeof buf[0] - 1] = L'\0';
    std::string s = utf8(fromBuffer(buf, sizeof buf / sizeof buf[0]));
    if (s.empty()) return std::nullopt;
    return s;
}

// "XXXX" after a tag such as "VID_" in a device id, in lower case.
std::optional<std::string> hexAfter(const std::wstring& id, const wchar_t* tag, std::size_t digits) {
    std::size_t at = id.find(tag);
    if (at == std::wstring::npos) return std::nullopt;
    at += wcslen(tag);
    if (id.size() < at + digits) return std::nullopt;
    std::string v;
    for (std::size_t i = 0; i < digits; ++i) {
        wchar_t c = id[at + i];
        if (!std::iswxdigit(c)) return std::nullopt;
        v += static_cast<char>(std::towlower(c));
    }
    return v;
}

// Walks from the port's device node up to the USB device: USB\VID_v&PID_p
// (with &MI_nn for one interface of a composite device, whose parent is the
// device itself) and an instance part that is the serial number unless it
// holds '&' (then Windows made it up).
void fillUsb(DEVINST inst, PortInfo& info) {
    for (int up = 0; up < 4; ++up) {
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {0};
        if (CM_Get_Device_IDW(inst, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return;
        std::wstring s = fromBuffer(id, MAX_DEVICE_ID_LEN);
        std::wstring upper = s;
        for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
        if (upper.compare(0, 8, L"USB\\VID_") == 0) {
            if (!info.vid) info.vid = hexAfter(upper, L"VID_", 4);
            if (!info.pid) info.pid = hexAfter(upper, L"PID_", 4);
            std::optional<std::string> mi = hexAfter(upper, L"&MI_", 2);
            if (mi) {
                if (!info.interface) info.interface = std::stoi(*mi, nullptr, 16);
            } else {
                std::size_t slash = s.rfind(L'\\');
                std::wstring instance = slash == std::wstring::npos ? L"" : s.substr(slash + 1);
                if (!instance.empty() && instance.find(L'&') == std::wstring::npos) info.serial = utf8(instance);
                return;
            }
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, inst, 0) != CR_SUCCESS) return;
        inst = parent;
    }
}

// Adds what SetupAPI knows of the ports in the list.
void addSetupApiDetails(std::vector<PortInfo>& ports) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA dev;
    for (DWORD i = 0;; ++i) {
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(set, i, &dev)) break;
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t name[64] = {0};
        DWORD type = 0, size = sizeof name - 2;
        LONG rc = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        std::string portName = utf8(fromBuffer(name, sizeof name / sizeof name[0]));
        for (PortInfo& info : ports) {
            if (_stricmp(info.device.c_str(), portName.c_str()) != 0) continue;
            info.product = property(set, dev, SPDRP_FRIENDLYNAME);
            info.manufacturer = property(set, dev, SPDRP_MFG);
            info.driver = property(set, dev, SPDRP_SERVICE);
            info.subsystem = property(set, dev, SPDRP_ENUMERATOR_NAME);
            fillUsb(dev.DevInst, info);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

bool listRootSupported() {
    return false;
}

bool listPorts(const std::string&, std::vector<PortInfo>& out, std::string& error) {
    out.clear();
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;  // no serial port at all
    if (rc != ERROR_SUCCESS) {
        error = "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: error " + std::to_string(rc);
        return false;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[256];
        DWORD nameLen = sizeof name / sizeof name[0];
        DWORD dataLen = sizeof data - 2;
        DWORD type = 0;
        rc = RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA) continue;  // not a COM name
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            error = "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: error " + std::to_string(rc);
            return false;
        }
        if (type != REG_SZ) continue;
        std::wstring com = fromBuffer(data, dataLen / sizeof(wchar_t));
        if (com.empty()) continue;
        PortInfo info;
        info.device = utf8(com);
        info.com = comFor(com);
        out.push_back(std::move(info));
    }
    RegCloseKey(key);
    addSetupApiDetails(out);
    std::sort(out.begin(), out.end(),
              [](const PortInfo& a, const PortInfo& b) { return deviceNameLess(a.device, b.device); });
    return true;
}

}  // namespace velkcom
