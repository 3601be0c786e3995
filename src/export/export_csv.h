// The exported tables as CSV (RFC 4180): a header row, fields separated by
// commas, every row ended by CR LF, a field that holds a comma, a quote, CR
// or LF quoted with its quotes doubled; UTF-8, a dot as the decimal mark.
#ifndef EXPORT_CSV_H
#define EXPORT_CSV_H

#include <string>
#include <string_view>

#include "export_records.h"

// Appends one field to a row, with the comma before it unless it is the
// row's first. The only place CSV text is quoted.
void csv_field(std::string &row, std::string_view text, bool first = false);
inline void csv_end_row(std::string &row) {
    row += "\r\n";
}

// The header rows of readings.csv, series.csv and groups.csv.
std::string csv_readings_header();
std::string csv_series_header();
std::string csv_groups_header();

// Appends the row of a single reading.
void csv_reading_row(std::string &out, const Field (&f)[READING_COLUMNS]);
// Appends one row per sample of a series; answers the rows.
int csv_series_rows(std::string &out, const meas_record &rec);
// Appends the row of a statistics group with at least one reading.
void csv_group_row(std::string &out, const GroupStats &g);

#endif
