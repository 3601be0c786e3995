#include "fw_support.h"

#include "capture.h"
#include "m17_cmds.h"
#include "process.h"

std::string make_container(const std::string &dir, const std::string &bin,
                           bool encrypt, int major, int minor,
                           const std::string &name) {
    const std::string bin_path = dir + "/" + name + ".bin";
    const std::string qfw_path = dir + "/" + name;
    write_file(bin_path, bin);
    OutputCapture quiet;
    M17_create_qfw(bin_path.c_str(), qfw_path.c_str(), major, minor,
                   encrypt ? 1 : 0, "VO-62V2", FW_IMAGE, 10);
    return qfw_path;
}
