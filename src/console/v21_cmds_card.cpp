// Storage card commands: "upload tar" and "download sd" ask their file and
// run the operations of v21_ops_card.
#include "cmd_util.h"
#include "console_progress.h"
#include "v21_cmds.h"

namespace {

constexpr unsigned FILE_NAME_MAX = 255; // longest local file name asked for
constexpr unsigned IMAGE_PERCENT_EVERY = 200; // reads per percentage line

} // namespace

int V21_cmd_upload_tar(char *, int) {
    if (!require_connected())
        return -1;
    char name[FILE_NAME_MAX + 1] = "sd.tar";
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter TAR file name");
    return cmd_result(V21_op_upload_tar(name, no_progress()));
}

int V21_cmd_download_sd(char *, int) {
    if (!require_connected())
        return -1;
    char name[FILE_NAME_MAX + 1] = "sd.img";
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter sd image file name");
    PercentProgress percent(IMAGE_PERCENT_EVERY);
    return cmd_result(V21_op_download_sd(name, percent));
}
