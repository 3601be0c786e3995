// XML and HTML text.
#include "export_xml.h"

#include <cstdint>

namespace {

constexpr const char *REPLACEMENT = "\xEF\xBF\xBD"; // U+FFFD

// Length of the well-formed UTF-8 sequence of a character other than a
// control character at the start of s, or 0.
size_t utf8_length(std::string_view s) {
    const unsigned char c = static_cast<unsigned char>(s[0]);
    if (c < 0x80)
        return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (size_t i = 1; i < n; i++) {
        const unsigned char d = static_cast<unsigned char>(s[i]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates, beyond Unicode, the C1 controls and the
    // two non-characters XML excludes.
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF ||
        (cp >= 0x80 && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return n;
}

} // namespace

void xml_append(std::string &out, std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t n = utf8_length(text.substr(i));
        if (n == 0) {
            out += REPLACEMENT;
            i++;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        switch (text[i]) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += text[i];
        }
        i++;
    }
}
