// Test helpers for code that talks to the console: capture what the log
// functions print, and feed text to standard input.
#ifndef TEST_CAPTURE_H
#define TEST_CAPTURE_H

#include <cstdio>
#include <string>

// Redirects log_write/log_append (out) and log_error (err) into memory for
// its lifetime.
class OutputCapture {
  public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    std::string out() const;
    std::string err() const;
    void clear();

  private:
    FILE *out_;
    FILE *err_;
};

// Makes standard input read the given text (then end of input).
void feed_stdin(const std::string &text);

// How often what occurs in text.
size_t count_of(const std::string &text, const std::string &what);

#endif
