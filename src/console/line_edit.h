// Line editing and a history for the console's ">" prompt, when standard
// input and output are terminals (libedit). Anywhere else the console reads
// its lines exactly as before.
//
// Output of the event thread (live data, a lost link) that arrives while a
// line is being typed is printed above it: the line is cleared, the text
// printed, and the prompt and the typed text are drawn again below it.
#ifndef LINE_EDIT_H
#define LINE_EDIT_H

// Lines of history kept, in the file "history" of $XDG_STATE_HOME/ra62d2ide
// (or ~/.local/state/ra62d2ide).
constexpr int LINE_EDIT_HISTORY_MAX = 1000;

// True when the prompt is edited: standard input and output are terminals.
bool line_edit_available();
// Reads one line after prompt into buf (size bytes, cut to fit, no line
// end). False at the end of the input (Ctrl-D on an empty line).
bool line_edit_read(const char *prompt, char *buf, int size);
// Prints text of the event thread: at once, or above the line being typed.
void line_edit_print(const char *text);

#endif
