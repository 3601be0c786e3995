// What differs between the systems the console runs on, in one place: the
// Bluetooth entry of the connection dialog and the console's interrupt.
#ifndef PLATFORM_H
#define PLATFORM_H

#ifdef _WIN32
// Windows pairs the instrument itself and gives it a virtual COM port; the
// dialog's Bluetooth entry says so instead of searching.
inline constexpr const char *BT_COM_PORT_NOTE =
    "On Windows a paired instrument is connected through the COM port "
    "Windows gave it: choose 3. COM port and that number (Bluetooth "
    "settings, More Bluetooth options, COM Ports).";
#else
inline constexpr const char *BT_COM_PORT_NOTE = nullptr;
#endif

// Makes Ctrl-C (and Ctrl-Break, closing the console window) end the program
// at once, as SIGINT does on POSIX systems, where nothing is installed.
void platform_console_init();

#endif
