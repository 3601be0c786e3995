// Console prompts and the command menu.
//
// A prompt shows a label and the current value in brackets; Enter keeps the
// value, an answer that does not parse or lies outside the bounds is asked
// again. At end of input every prompt keeps its value, and menu_run ends as
// if the quit entry had been chosen, so piped input never loops forever.
#ifndef CONUTIL_H
#define CONUTIL_H

#include <cstdint>

constexpr int INPUT_LINE_SIZE = 1024; // line buffer of every prompt
constexpr int MENU_LINE_SIZE = 255;   // line buffer of the menu
constexpr int MENU_MAX_ENTRIES = 255;
constexpr int MENU_KEY_SIZE = 4;
constexpr int MENU_NAME_SIZE = 16;
constexpr int MENU_DESC_SIZE = 64;

// A command handler: the command line as typed (writable) and an integer the
// menu passes as 0; returns 0 on success, -1 on failure.
typedef int (*cmd_handler)(char *cmdline, int arg);

struct menu_entry {
    char key[MENU_KEY_SIZE];
    char name[MENU_NAME_SIZE];
    char description[MENU_DESC_SIZE];
    cmd_handler handler; // null marks the entry that ends menu_run
};

struct menu_record {
    int count;
    int name_width;
    menu_entry entries[MENU_MAX_ENTRIES];
};

// Primitives.
// Reads one line (at most size - 1 characters are kept, with the line end
// when it fits; the rest of a longer line is read and dropped).
int input_get(char *buf, int size);
// 1 once standard input has reached its end (a read found nothing more).
int input_eof();
int input_empty(const char *text);
int input_equal(const char *text, const char *name1, const char *name2);
int input_integer(const char *text, int *out, int low, int high);
int input_hex_integer(const char *text, uint32_t *out, uint32_t low,
                      uint32_t high);
int input_hex_char(const char *text, uint8_t *out, uint8_t low, uint8_t high);
int input_hex_short(const char *text, uint16_t *out, uint16_t low,
                    uint16_t high);
int input_float(const char *text, float *out, float low, float high);
int input_string(const char *text, char *out, unsigned min_len,
                 unsigned max_len);
// Cuts cmdline at blanks and returns word pos (0 = the command), or null.
char *input_param(char *cmdline, int pos);

// Prompts: variable, bounds, label.
int input_integer_msg(int *value, int low, int high, const char *label);
int input_char_msg(int8_t *value, int low, int high, const char *label);
int input_uchar_msg(uint8_t *value, int low, int high, const char *label);
int input_short_msg(int16_t *value, int low, int high, const char *label);
int input_hex_integer_msg(uint32_t *value, uint32_t low, uint32_t high,
                          const char *label);
int input_hex_char_msg(uint8_t *value, uint8_t low, uint8_t high,
                       const char *label);
int input_hex_short_msg(uint16_t *value, uint16_t low, uint16_t high,
                        const char *label);
int input_float_msg(float *value, float low, float high, const char *label);
// value holds max_len + 1 bytes and its current text is the default.
int input_string_msg(char *value, unsigned min_len, unsigned max_len,
                     const char *label);
int input_yesno_msg(int *flag, const char *label);
// The same, but the word at pos of cmdline (1 = first after the command) is
// taken first when it parses and lies within the bounds.
int input_integer_msg_cmd(int *value, int low, int high, const char *label,
                          char *cmdline, int pos);
int input_string_msg_cmd(char *value, unsigned min_len, unsigned max_len,
                         const char *label, char *cmdline, int pos);

int input_wait_enter();
int input_has_params(const char *line);

// The menu.
menu_record *menu_init(menu_record *menu);
menu_record *menu_add(menu_record *menu, const char *key, const char *name,
                      const char *description, cmd_handler handler);
void menu_print(const menu_record *menu);
void menu_run(const menu_record *menu);

#endif
