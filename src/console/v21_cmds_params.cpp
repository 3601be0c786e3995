// "get params" and "set params": the questions, then the operations of
// v21_ops_params. "set params" walks through the editable fields in their
// order, each showing the stored value; every byte no prompt changed goes
// back exactly as it was read.
#include <cstring>
#include <limits>

#include "cmd_util.h"
#include "v21_cmds.h"
#include "wire.h"

namespace {

constexpr unsigned PARAMS_NAME_MAX = 255;

// Asks one field: its stored value is the default, and it is written back
// only when the answer changed it.
void ask_field(unsigned char *rec, const V21_param_field &f) {
    const char *label = f.label.c_str();
    const size_t off = f.offset;
    switch (f.kind) {
    case V21_param_kind::u8: {
        uint8_t v = rec[off];
        input_uchar_msg(&v, f.low, f.high, label);
        rec[off] = v;
        break;
    }
    // 16-bit unsigned fields are asked as numbers so that the default shows
    // the stored value; the accepted range is the same.
    case V21_param_kind::u16: {
        int v = WireReader(rec, V21_PARAMS_SIZE).u16(off);
        const int before = v;
        input_integer_msg(&v, f.low, f.high, label);
        if (v != before)
            WireWriter(rec, V21_PARAMS_SIZE).u16(off, uint16_t(v));
        break;
    }
    case V21_param_kind::i32: {
        int v = WireReader(rec, V21_PARAMS_SIZE).i32(off);
        const int before = v;
        input_integer_msg(&v, f.low, f.high, label);
        if (v != before)
            WireWriter(rec, V21_PARAMS_SIZE).i32(off, v);
        break;
    }
    // Floats take any number; Enter keeps the stored bytes as they are.
    case V21_param_kind::f32: {
        const uint32_t before = WireReader(rec, V21_PARAMS_SIZE).u32(off);
        float v;
        std::memcpy(&v, &before, sizeof v);
        input_float_msg(&v, -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::infinity(), label);
        uint32_t after;
        std::memcpy(&after, &v, sizeof after);
        if (after != before)
            WireWriter(rec, V21_PARAMS_SIZE).u32(off, after);
        break;
    }
    case V21_param_kind::text: // only the command line sets a text field
        break;
    }
}

} // namespace

int V21_cmd_get_params(char *, int) {
    if (!require_connected())
        return -1;
    unsigned char buf[V21_PARAMS_BUF];
    if (V21_op_get_params(buf, "V21_cmd_get_params") != OP_OK)
        return -1;

    int extended = 0, save = 0;
    input_yesno_msg(&extended, "Extended parameters");
    input_yesno_msg(&save, "Save to file");
    FilePtr file;
    char name[PARAMS_NAME_MAX + 1];
    if (save) {
        V21_cmd_get_serial(nullptr, 0); // a failure only empties the serial
        char serial[sizeof serial_no];
        safe_name_part(serial_no, serial, sizeof serial);
        snprintf(name, sizeof name, "params_%s.txt", serial);
        input_string_msg(name, 0, PARAMS_NAME_MAX, "Enter params file name");
        file = open_file(name, "w");
        if (!file)
            report_write_error(name); // the listing still goes to the console
    }

    print_params(buf, V21_PARAMS_SIZE, extended, file.get());
    if (file)
        close_written(file, name);
    return 0;
}

int V21_cmd_set_params(char *, int) {
    if (!require_connected())
        return -1;
    unsigned char buf[V21_PARAMS_BUF];
    if (V21_op_get_params(buf, "V21_cmd_set_params") != OP_OK)
        return -1;

    int extended = 0;
    input_yesno_msg(&extended, "Extended parameters");
    for (const V21_param_field &f : V21_param_fields())
        if (!f.extended || extended)
            ask_field(buf, f);
    return cmd_result(V21_op_set_params(buf));
}
