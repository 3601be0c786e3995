// Text inside XML (GPX, SVG) and HTML, escaped in this one place.
#ifndef EXPORT_XML_H
#define EXPORT_XML_H

#include <string>
#include <string_view>

// Appends text as XML character data or an attribute value: &, <, >, " and
// ' as references; a byte that is not part of UTF-8, and a control
// character other than tab and line end (which XML 1.0 does not allow), as
// U+FFFD. Text from the instrument or a file name can then never end an
// element or make the file ill-formed.
void xml_append(std::string &out, std::string_view text);
inline std::string xml_escape(std::string_view text) {
    std::string out;
    xml_append(out, text);
    return out;
}

#endif
