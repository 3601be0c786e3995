// Device discovery on Windows: serial ports of USB devices through SetupAPI
// (vendor, product and serial number from the device instance id), and
// simulators announced in VO62_SIM_DIR, reached through their TCP port.
#include <windows.h>

#include <initguid.h> // defines the property keys used below

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <cstdlib>
#include <fstream>

#include "comm_internal.h"

namespace comm {

namespace {

constexpr DWORD ID_MAX = 512;

std::string instance_id(DEVINST inst) {
    char id[ID_MAX];
    if (CM_Get_Device_IDA(inst, id, ID_MAX, 0) != CR_SUCCESS)
        return "";
    return id;
}

// The USB product text the device reports, else the driver's description.
std::string product_text(HDEVINFO set, SP_DEVINFO_DATA &info) {
    WCHAR wide[256];
    DEVPROPTYPE type;
    if (SetupDiGetDevicePropertyW(
            set, &info, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
            reinterpret_cast<PBYTE>(wide), sizeof wide, nullptr, 0) &&
        type == DEVPROP_TYPE_STRING) {
        char text[256];
        if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text,
                                nullptr, nullptr) > 0)
            return text;
    }
    char desc[256];
    if (SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_DEVICEDESC, nullptr,
                                          reinterpret_cast<PBYTE>(desc),
                                          sizeof desc, nullptr))
        return desc;
    return "";
}

std::string port_name(HDEVINFO set, SP_DEVINFO_DATA &info) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                    KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return "";
    char name[64];
    DWORD size = sizeof name - 1, type = 0;
    std::string port;
    if (RegQueryValueExA(key, "PortName", nullptr, &type,
                         reinterpret_cast<LPBYTE>(name),
                         &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        name[size] = 0;
        port = name;
    }
    RegCloseKey(key);
    return port.starts_with("COM") ? port : "";
}

} // namespace

std::vector<UsbPort> system_usb_ports() {
    std::vector<UsbPort> ports;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                        DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); i++) {
        UsbPort u;
        if (!parse_usb_instance_id(instance_id(info.DevInst), u))
            continue;
        // A function of a composite device: the serial number is the
        // parent's.
        DEVINST parent;
        UsbPort whole;
        if (u.serial.empty() &&
            CM_Get_Parent(&parent, info.DevInst, 0) == CR_SUCCESS &&
            parse_usb_instance_id(instance_id(parent), whole))
            u.serial = whole.serial;
        u.path = port_name(set, info);
        u.product = product_text(set, info);
        if (!u.path.empty())
            ports.push_back(u);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

bool read_small_file(const std::string &path, std::string &text) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::string buf(ANNOUNCEMENT_MAX_BYTES + 1, '\0');
    f.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    size_t got = static_cast<size_t>(f.gcount());
    if (got > ANNOUNCEMENT_MAX_BYTES)
        return false; // not an announcement
    text.assign(buf, 0, got);
    return true;
}

// The process id is the announcing system's: on Windows the simulator runs
// elsewhere (another machine, or the Linux host of wine), so it cannot be
// asked; a simulator removes its announcement when it ends.
bool process_alive(pid_t) {
    return true;
}

std::string sim_entry(const Announcement &a) {
    if (a.tcp <= 0)
        return ""; // its pseudo-terminal is out of Windows' reach
    return "tcp:127.0.0.1:" + std::to_string(a.tcp) + "," +
           std::to_string(NET_CONNECT_DEFAULT_MS);
}

std::string sim_dir() {
    const char *dir = getenv("VO62_SIM_DIR");
    if (dir && *dir)
        return dir;
    const char *tmp = getenv("TEMP");
    return std::string(tmp && *tmp ? tmp : ".") + "\\vo62-sim";
}

void usb_watch_stop() {}

} // namespace comm

extern "C" {

// Windows announces device changes to windows only; the console does not
// need them, so no watcher is offered.
int comm_usb_register(comm_usb_change_proc, void *) {
    return COMM_ERR_UNSUPPORTED;
}

int comm_usb_deregister(void) {
    return COMM_OK;
}

} // extern "C"
