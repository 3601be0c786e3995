// A realistic measurement log for a new card: single readings in
// statistics groups, sample series with marks, a borehole header with core
// readings, records with curve numbers and unit bits, a record of another
// type, valid and invalid GPS fixes, voice notes and auxiliary data, keys
// ascending in time but not in slot order, one key with bit 31 set, and
// empty slots between.
#ifndef VO62SIM_DEMO_LOG_H
#define VO62SIM_DEMO_LOG_H

#include "card.h"
#include "records.h"

#include <cstdint>
#include <string>

namespace vo62sim {

// Log slot file names.
std::string slot_meas_name(int slot);
std::string slot_uid_name(int slot);
std::string slot_note_name(int slot);
std::string slot_aux_name(int slot);
constexpr const char *kLastMeasName = "meas/last.dat";

// Writes the demo log into the card's slots 0 to slots-1 (at least 40 slots
// are needed; fewer get a shorter log) plus "meas/last.dat" and one
// concentration table. Returns 0 or a negative CardResult.
int write_demo_log(Card &card, uint64_t seed, int slots);

// Fills slots 0 to records-1 (at most 65,536) with generated records, fast:
// single readings in groups of five and every hundredth a sample series,
// 30 s apart, keys and record numbers 1 to records in slot order, the last
// also as "meas/last.dat". Returns 0 or a negative CardResult.
int write_generated_log(Card &card, uint64_t seed, int records);

} // namespace vo62sim

#endif
