// What differs between the systems the console runs on, in one place: the
// Bluetooth entry of the connection dialog, Ctrl-C, and reading standard
// input when it is a console window.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <string>

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

// The next byte of standard input, as getc(stdin). On Windows, when
// standard input is a console window, a whole line is read with the
// console's own editing (ReadConsoleW) and handed out as UTF-8 with a "\n"
// line end, so that names typed with any letters reach the files as typed.
int platform_getc();
// Whether standard input has ended (or failed), as feof || ferror.
bool platform_input_end();

#ifdef _WIN32
// The console's line reading, shared with the ">" prompt's editing.
// A control character a console read never keeps: the event thread puts it
// into the console's input to end a line being read early (line_edit).
constexpr wchar_t CONSOLE_WAKE_CHAR = 0x1E;
// Whether standard input (or output) is a console window.
bool platform_console_in();
bool platform_console_out();
// Reads what the console gives for one line after initial, which was
// typed before and is on the screen (the console goes on editing it);
// wake_mask: the control characters that end the read early. Answers the
// text as typed, the line end included when Enter ended it; false at the
// end of the input (Ctrl-Z) or when the console fails.
bool platform_read_console(const std::wstring &initial, unsigned long wake_mask,
                           std::wstring *text);
std::string platform_utf8(const std::wstring &text);
#endif

#endif
