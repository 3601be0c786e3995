// What the command line does differently on Windows, in one place: whether
// a stream is a terminal (a console window there), Ctrl-C, waiting for a
// line of standard input, the environment and the port names of Windows
// ("-p COM5").
#ifndef CLI_PLATFORM_H
#define CLI_PLATFORM_H

#include <cstdio>
#include <string>

// Whether stream (stdin, stdout or stderr) is a terminal: on Windows a
// console window, never a pipe, a file or NUL.
bool cli_is_terminal(FILE *stream);

// Ctrl-C (on Windows also Ctrl-Break): the first asks the running transfer
// to stop at the next request boundary, a second one ends the program at
// once with status 130. Closing the console window ends it at once too.
void cli_install_interrupt();

// Waits at most ms for a line (Enter) or the end of standard input; true
// when one came. A file or a pipe that holds input answers at once.
bool cli_wait_input(int ms);

// Sets an environment variable for the program and the library.
void cli_set_env(const char *name, const char *value);

// The connection string of a port name the system knows by itself: on
// Windows "COM5" (any letter case) is "com:115200,8N1:5". Anything else,
// and everything on Linux, is returned as it is.
std::string cli_port_alias(const std::string &port);

#endif
