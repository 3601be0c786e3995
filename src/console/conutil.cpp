// Console prompts and the command menu.
#include "conutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "libcomm.h"
#include "line_edit.h"
#include "platform.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
           c == '\f';
}

// The first word of text: its start and length (0 when there is none).
const char *first_word(const char *text, size_t *len) {
    while (*text && is_blank(*text))
        text++;
    const char *end = text;
    while (*end && !is_blank(*end))
        end++;
    *len = static_cast<size_t>(end - text);
    return text;
}

bool parse_hex(const char *text, uint32_t *out) {
    size_t len;
    const char *word = first_word(text, &len);
    if (len == 0 || *word == '-' || *word == '+')
        return false;
    errno = 0;
    char *end;
    unsigned long long v = strtoull(word, &end, 16);
    if (end == word || errno == ERANGE || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

int input_get(char *buf, int size) {
    if (size <= 0)
        return 0;
    buf[0] = 0;
    if (size == 1)
        return 0;
    // One whole line is consumed. What does not fit the buffer is dropped:
    // the tail of an overlong line must never be taken as the next answer
    // or, at the menu, run as a command nobody typed.
    const size_t keep = static_cast<size_t>(size) - 1;
    size_t n = 0;
    for (;;) {
        const int c = platform_getc();
        if (c == EOF) {
            if (ferror(stdin) && errno == EINTR) {
                clearerr(stdin);
                continue;
            }
            break;
        }
        if (n < keep)
            buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = 0;
    return 0;
}

int input_eof() {
    return platform_input_end() ? 1 : 0;
}

int input_empty(const char *text) {
    size_t len;
    first_word(text, &len);
    return len == 0 ? 1 : 0;
}

int input_equal(const char *text, const char *name1, const char *name2) {
    size_t len;
    const char *word = first_word(text, &len);
    if (len == 0)
        return 0;
    for (const char *name : {name1, name2}) {
        if (name && strlen(name) == len && strncasecmp(word, name, len) == 0)
            return 1;
    }
    return 0;
}

int input_integer(const char *text, int *out, int low, int high) {
    errno = 0;
    char *end;
    long long v = strtoll(text, &end, 10);
    if (end == text)
        return 0;
    if (v > INT32_MAX || v < INT32_MIN || errno == ERANGE) {
        *out = v < 0 ? INT32_MIN : INT32_MAX;
        return 0;
    }
    *out = static_cast<int>(v);
    return v >= low && v <= high ? 1 : 0;
}

int input_hex_integer(const char *text, uint32_t *out, uint32_t low,
                      uint32_t high) {
    uint32_t v;
    if (!parse_hex(text, &v))
        return 0;
    *out = v;
    return v >= low && v <= high ? 1 : 0;
}

int input_hex_char(const char *text, uint8_t *out, uint8_t low, uint8_t high) {
    uint32_t v;
    if (!parse_hex(text, &v) || v < low || v > high)
        return 0;
    *out = static_cast<uint8_t>(v);
    return 1;
}

int input_hex_short(const char *text, uint16_t *out, uint16_t low,
                    uint16_t high) {
    uint32_t v;
    if (!parse_hex(text, &v) || v < low || v > high)
        return 0;
    *out = static_cast<uint16_t>(v);
    return 1;
}

int input_float(const char *text, float *out, float low, float high) {
    char *end;
    float v = strtof(text, &end);
    if (end == text)
        return 0;
    *out = v;
    return v >= low && v <= high ? 1 : 0;
}

int input_string(const char *text, char *out, unsigned min_len,
                 unsigned max_len) {
    size_t len;
    const char *word = first_word(text, &len);
    // Never copy more than the caller's buffer holds (max_len + 1).
    size_t copy = len < max_len ? len : max_len;
    memcpy(out, word, copy);
    out[copy] = 0;
    return len >= min_len && len <= max_len ? 1 : 0;
}

char *input_param(char *cmdline, int pos) {
    char *p = cmdline;
    for (int word = 0;; word++) {
        while (*p == ' ')
            p++;
        if (*p == 0)
            return nullptr;
        char *start = p;
        while (*p && *p != ' ')
            p++;
        if (*p)
            *p++ = 0;
        if (word == pos)
            return start;
    }
}

namespace {

// The prompt loop: show() prints the label and the current value, parse()
// stores an accepted answer. An empty line keeps the value, a refused answer
// is asked again. At end of input the line reads empty, so the loop ends.
template <typename Show, typename Parse> int prompt(Show show, Parse parse) {
    char line[INPUT_LINE_SIZE];
    for (;;) {
        show();
        input_get(line, sizeof line);
        if (input_empty(line) || parse(line))
            return 0;
    }
}

// Prompts for an int between lo and hi; the accepted answer is stored cut
// to the width of T.
template <typename T>
int prompt_int(T *value, int lo, int hi, const char *label) {
    return prompt([&] { log_write("MAIN", "%s[%d]:", label, int(*value)); },
                  [&](const char *line) {
                      int v;
                      if (!input_integer(line, &v, lo, hi))
                          return false;
                      *value = static_cast<T>(v);
                      return true;
                  });
}

} // namespace

int input_integer_msg(int *value, int low, int high, const char *label) {
    return prompt_int(value, low, high, label);
}

int input_char_msg(int8_t *value, int low, int high, const char *label) {
    // The bounds are cut to 8 bits and taken as signed.
    return prompt_int(value, static_cast<int8_t>(low),
                      static_cast<int8_t>(high), label);
}

int input_uchar_msg(uint8_t *value, int low, int high, const char *label) {
    return prompt_int(value, static_cast<uint8_t>(low),
                      static_cast<uint8_t>(high), label);
}

int input_short_msg(int16_t *value, int low, int high, const char *label) {
    return prompt_int(value, low, high, label);
}

int input_hex_integer_msg(uint32_t *value, uint32_t low, uint32_t high,
                          const char *label) {
    return prompt(
        [&] { log_write("MAIN", "%s[0x%.8x]:", label, unsigned(*value)); },
        [&](const char *line) {
            uint32_t v;
            if (!input_hex_integer(line, &v, low, high))
                return false;
            *value = v;
            return true;
        });
}

int input_hex_char_msg(uint8_t *value, uint8_t low, uint8_t high,
                       const char *label) {
    return prompt(
        [&] { log_write("MAIN", "%s[0x%.2x]:", label, unsigned(*value)); },
        [&](const char *line) {
            return input_hex_char(line, value, low, high) == 1;
        });
}

int input_hex_short_msg(uint16_t *value, uint16_t low, uint16_t high,
                        const char *label) {
    return prompt(
        [&] { log_write("MAIN", "%s[0x%.2x]:", label, unsigned(*value)); },
        [&](const char *line) {
            return input_hex_short(line, value, low, high) == 1;
        });
}

int input_float_msg(float *value, float low, float high, const char *label) {
    return prompt(
        [&] { log_write("MAIN", "%s[%.3f]:", label, double(*value)); },
        [&](const char *line) {
            float v;
            if (!input_float(line, &v, low, high))
                return false;
            *value = v;
            return true;
        });
}

namespace {

// Takes the first word of text into value when its length is within the
// bounds; value holds max_len + 1 bytes.
bool take_string(const char *text, char *value, unsigned min_len,
                 unsigned max_len) {
    char word[INPUT_LINE_SIZE];
    unsigned max =
        max_len < INPUT_LINE_SIZE - 1 ? max_len : INPUT_LINE_SIZE - 1;
    if (!input_string(text, word, min_len, max))
        return false;
    memcpy(value, word, strlen(word) + 1);
    return true;
}

} // namespace

int input_string_msg(char *value, unsigned min_len, unsigned max_len,
                     const char *label) {
    return prompt([&] { log_write("MAIN", "%s[%s]:", label, value); },
                  [&](const char *line) {
                      return take_string(line, value, min_len, max_len);
                  });
}

int input_yesno_msg(int *flag, const char *label) {
    return prompt(
        [&] { log_write("MAIN", "%s[%s]:", label, *flag ? "yes" : "no"); },
        [&](const char *line) {
            if (input_equal(line, "yes", "y"))
                *flag = 1;
            else if (input_equal(line, "no", "n"))
                *flag = 0;
            else
                return false;
            return true;
        });
}

int input_integer_msg_cmd(int *value, int low, int high, const char *label,
                          char *cmdline, int pos) {
    const char *word = cmdline ? input_param(cmdline, pos) : nullptr;
    int v;
    if (word && input_integer(word, &v, low, high)) {
        *value = v;
        return 0;
    }
    return input_integer_msg(value, low, high, label);
}

int input_string_msg_cmd(char *value, unsigned min_len, unsigned max_len,
                         const char *label, char *cmdline, int pos) {
    const char *word = cmdline ? input_param(cmdline, pos) : nullptr;
    if (word && !input_empty(word) &&
        take_string(word, value, min_len, max_len))
        return 0;
    return input_string_msg(value, min_len, max_len, label);
}

int input_wait_enter() {
    char line[INPUT_LINE_SIZE];
    input_get(line, sizeof line);
    return 0;
}

int input_has_params(const char *line) {
    return strchr(line, ' ') ? 1 : 0;
}

namespace {

// Copies text into a field of size bytes, cut one short so it always ends
// with a terminator.
void copy_field(char *field, size_t size, const char *text) {
    size_t len = text ? strnlen(text, size - 1) : 0;
    memcpy(field, text ? text : "", len);
    memset(field + len, 0, size - len);
}

} // namespace

menu_record *menu_init(menu_record *menu) {
    memset(static_cast<void *>(menu), 0, sizeof *menu);
    return menu;
}

menu_record *menu_add(menu_record *menu, const char *key, const char *name,
                      const char *description, cmd_handler handler) {
    if (menu->count >= MENU_MAX_ENTRIES)
        return menu;
    menu_entry &e = menu->entries[menu->count++];
    copy_field(e.key, sizeof e.key, key);
    copy_field(e.name, sizeof e.name, name);
    copy_field(e.description, sizeof e.description, description);
    e.handler = handler;
    int width = static_cast<int>(strlen(e.name));
    if (menu->name_width < width)
        menu->name_width = width;
    return menu;
}

void menu_print(const menu_record *menu) {
    log_write("MAIN", "[ he] help\n");
    for (int i = 0; i < menu->count; i++) {
        const menu_entry &e = menu->entries[i];
        log_write("MAIN", "[%3s] %s", e.key, e.name);
        int pad = menu->name_width - static_cast<int>(strlen(e.name));
        if (pad > 0)
            log_append("MAIN", "%*s", pad, "");
        log_append("MAIN", " - %s\n", e.description);
    }
}

void menu_run(const menu_record *menu) {
    char line[MENU_LINE_SIZE];
    for (;;) {
        if (line_edit_available()) {
            if (!line_edit_read(">", line, sizeof line))
                return; // end of input: as if quit were chosen
        } else {
            log_write("MAIN", ">");
            input_get(line, sizeof line);
            if (line[0] == 0 && input_eof())
                return; // end of input: as if quit were chosen
        }
        if (input_equal(line, "help", "he"))
            menu_print(menu);
        for (int i = 0; i < menu->count; i++) {
            const menu_entry &e = menu->entries[i];
            if (!input_equal(line, e.name, e.key))
                continue;
            if (!e.handler)
                return;
            e.handler(line, 0);
        }
    }
}
