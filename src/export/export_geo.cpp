// GeoJSON and GPX of the readings' positions.
#include "export_geo.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "export_xml.h"
#include "version.h"

namespace {

// Ordered, so a feature's properties stand in the columns' order.
using json = nlohmann::ordered_json;

// A column's value as JSON: the same number the CSV text holds.
json value_of(const Field &f) {
    switch (f.kind) {
    case FieldKind::integer:
        return json(std::strtoll(f.text.c_str(), nullptr, 10));
    case FieldKind::real:
        return json(std::strtod(f.text.c_str(), nullptr));
    case FieldKind::text:
        return json(f.text);
    case FieldKind::empty:
        break;
    }
    return json(nullptr);
}

} // namespace

std::string geojson_begin() {
    return "{\"type\":\"FeatureCollection\",\"features\":[\n";
}

std::string geojson_end() {
    return "\n]}\n";
}

void geojson_feature(std::string &out, const Field (&f)[READING_COLUMNS]) {
    json props = json::object();
    for (int i = 0; i < READING_COLUMNS; i++)
        props[READING_COLUMN_NAMES[i]] = value_of(f[i]);
    json feature = {
        {"type", "Feature"},
        {"geometry",
         {{"type", "Point"},
          {"coordinates",
           {value_of(f[COL_LONGITUDE]), value_of(f[COL_LATITUDE])}}}},
        {"properties", std::move(props)}};
    out += feature.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string gpx_begin() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<gpx version=\"1.1\" creator=\"ra62d2ide " RA62_VERSION "\" "
           "xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
}

std::string gpx_end() {
    return "</gpx>\n";
}

void gpx_waypoint(std::string &out, const Field (&f)[READING_COLUMNS]) {
    // GPX 1.1 orders a waypoint's elements: ele, time, ..., name, cmt, desc.
    // The time is the instrument's local time; it carries no zone.
    out += "<wpt lat=\"";
    xml_append(out, f[COL_LATITUDE].text);
    out += "\" lon=\"";
    xml_append(out, f[COL_LONGITUDE].text);
    out += "\"><ele>";
    xml_append(out, f[COL_ALTITUDE].text);
    out += "</ele><time>";
    xml_append(out, f[COL_TIME].text);
    out += "</time><name>";
    xml_append(out, f[COL_REC_NO].text);
    out += "</name><desc>";
    xml_append(out, "Susceptibility " + f[COL_SUSC].text + " " +
                        f[COL_SUSC_UNIT].text + ", conductivity " +
                        f[COL_COND].text + " " + f[COL_COND_UNIT].text);
    out += "</desc></wpt>\n";
}
