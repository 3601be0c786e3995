// Positions of the single readings for map programs: GeoJSON (RFC 7946, a
// FeatureCollection of Points, longitude first, WGS 84) written through
// nlohmann-json, and GPX 1.1 waypoints.
#ifndef EXPORT_GEO_H
#define EXPORT_GEO_H

#include <string>

#include "export_records.h"

// The text before and after the features of readings.geojson; features are
// separated by ",\n".
std::string geojson_begin();
std::string geojson_end();
// Appends one Feature: a Point at the reading's position, its columns as
// properties (numbers as numbers, missing values as null). The fields must
// hold a position.
void geojson_feature(std::string &out, const Field (&f)[READING_COLUMNS]);

// The text before and after the waypoints of readings.gpx.
std::string gpx_begin();
std::string gpx_end();
// Appends one waypoint: position, elevation, time and the name rec_no, and
// the values as its description.
void gpx_waypoint(std::string &out, const Field (&f)[READING_COLUMNS]);

#endif
