// base/: what every layer of the program may use and that itself uses
// nothing of the program: the little-endian readers and writers of wire
// records and files (wire.h), the tar reader of the card upload
// (tar_reader.h) and the version. Its headers include only the standard
// library.
#ifndef VERSION_H
#define VERSION_H

// The program's version: the console's banner, --version, and (read by
// CMake) the simulator, the man pages and the package.
#define RA62_VERSION "0.12.0"

#endif
