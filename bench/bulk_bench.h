// The figures of the command line's bulk transfers: "card download",
// "card upload" and "log sync", each at the console's piece sizes and at
// bulk sizes in the same run, on a simulated serial line, USB and
// Bluetooth link.
#ifndef BULK_BENCH_H
#define BULK_BENCH_H

#include <string>
#include <vector>

#include "bench_util.h"

// The links by name: "serial" (115,200 baud), "usb" (2 ms a round trip),
// "bt" (115,200 baud and 20 ms a round trip).
const std::vector<std::string> &bulk_link_names();
// The rows of one link; smoke: tiny transfers.
std::vector<bench::Row> bulk_figures(const std::string &link, bool smoke);

#endif
