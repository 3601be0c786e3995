// Hand-made measurement records: the fields a test names, laid out at their
// offsets in the 4,063 bytes of a record file.
#ifndef RECORD_BUILDER_H
#define RECORD_BUILDER_H

#include <cstdint>
#include <vector>

#include "v21_records.h"

struct RecordSpec {
    int32_t rec_no = 1;
    int32_t group_no = 0;
    uint16_t year = 2025;
    uint8_t month = 3, day = 4, hour = 5, minute = 6, second = 7;
    int type = 1;
    int curve_s = 0, curve_c = 0;
    uint8_t kind = 0;
    uint8_t pin = 0, error = 0, dia = 0;
    uint32_t gps_flags = 0, lat = 0, lon = 0;
    int32_t alt = 0;
    uint8_t meas_mode = 0;
    float susc = 0, cond = 0;
    int32_t counter = 0, num_samples = 0;
    std::vector<int> marked;  // samples whose mark bit is set
    float sample_step = 0.5f; // sample i: susc i*step, cond 100-i*step*10
    // Borehole block.
    int32_t bh_id = 0;
    const char *desc = "";
    uint8_t units_ft = 0;
    float depth_from = 0, depth_to = 0, core_length = 0, depth_int = 0;
    int32_t cores_per_box = 0, core_num = 0;
    uint32_t discrete = 0;
    float core_depth = 0;

    std::vector<unsigned char> bytes() const;
    meas_record decoded() const;
};

#endif
