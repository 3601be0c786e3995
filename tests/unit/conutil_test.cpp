// Prompts and the menu, driven through standard input with the console
// output captured.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "capture.h"
#include "conutil.h"

namespace {

TEST(Prompt, EmptyOrBlankLineKeepsEveryKindOfDefault) {
    OutputCapture cap;
    feed_stdin("\n   \t \n\n\n\n\n");
    int i = 7;
    int8_t c = -5;
    uint32_t h = 0xABCD;
    float f = 1.5f;
    char s[16] = "def";
    int yes = 1;
    input_integer_msg(&i, 0, 10, "I");
    input_char_msg(&c, -10, 10, "C");
    input_hex_integer_msg(&h, 0, 0xFFFFFFFF, "H");
    input_float_msg(&f, 0, 2, "F");
    input_string_msg(s, 1, 8, "S");
    input_yesno_msg(&yes, "Y");
    EXPECT_EQ(i, 7);
    EXPECT_EQ(c, -5);
    EXPECT_EQ(h, 0xABCDu);
    EXPECT_EQ(f, 1.5f);
    EXPECT_STREQ(s, "def");
    EXPECT_EQ(yes, 1);
    EXPECT_EQ(cap.out(), "I[7]:C[-5]:H[0x0000abcd]:F[1.500]:S[def]:Y[yes]:");
}

TEST(Prompt, RefusedAnswersAreAskedAgainSilently) {
    OutputCapture cap;
    feed_stdin("5\nabc\n1\n");
    int v = 0;
    input_integer_msg(&v, 0, 1, "Select");
    EXPECT_EQ(v, 1);
    EXPECT_EQ(cap.out(), "Select[0]:Select[0]:Select[0]:");
    EXPECT_EQ(cap.err(), "");
}

TEST(Prompt, NumbersAreReadByTheirLeadingPart) {
    OutputCapture cap;
    feed_stdin("12abc\n1.5\n  -3 x\n");
    int a = 0, b = 0, c = 0;
    input_integer_msg(&a, -100, 100, "A");
    input_integer_msg(&b, -100, 100, "B");
    input_integer_msg(&c, -100, 100, "C");
    EXPECT_EQ(a, 12);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, -3);
}

TEST(Prompt, EightBitBoundsAreCut) {
    OutputCapture cap;
    // High bound 200 becomes -56: nothing is in range, so the answers are
    // refused until the end of input keeps the default.
    feed_stdin("0\n100\n");
    int8_t c = 3;
    input_char_msg(&c, 0, 200, "C");
    EXPECT_EQ(c, 3);
    EXPECT_EQ(cap.out(), "C[3]:C[3]:C[3]:");

    feed_stdin("300\n255\n");
    uint8_t u = 1;
    input_uchar_msg(&u, 0, 255 + 256, "U"); // 511 cuts to 255
    EXPECT_EQ(u, 255);

    feed_stdin("70000\n");
    int16_t s = 0;
    input_short_msg(&s, 0, 100000, "S"); // 16-bit bounds are not cut
    EXPECT_EQ(s, static_cast<int16_t>(70000));
}

TEST(Prompt, HexadecimalWidthsAndBounds) {
    OutputCapture cap;
    feed_stdin("\n\n0x1ff\nff\n");
    uint16_t a = 0x1234, b = 5;
    input_hex_short_msg(&a, 0, 0xFFFF, "A");
    input_hex_short_msg(&b, 0, 0xFFFF, "B");
    uint8_t c = 0x7;
    input_hex_char_msg(&c, 0, 0xFF, "C");
    EXPECT_EQ(cap.out(), "A[0x1234]:B[0x05]:C[0x07]:C[0x07]:");
    EXPECT_EQ(c, 0xFF);

    uint32_t v;
    EXPECT_EQ(input_hex_integer("0xFFFFFFFF", &v, 0, 0xFFFFFFFF), 1);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(input_hex_integer("100000000", &v, 0, 0xFFFFFFFF), 0);
    EXPECT_EQ(input_hex_integer("80000000", &v, 0, 0x7FFFFFFF), 0);
    EXPECT_EQ(input_hex_integer("-1", &v, 0, 0xFFFFFFFF), 0);
}

TEST(Prompt, FloatsWithInfiniteBoundsAcceptEveryNumber) {
    OutputCapture cap;
    feed_stdin("nan\n-1e30\n");
    float f = 0;
    input_float_msg(&f, -INFINITY, INFINITY, "F");
    EXPECT_EQ(f, -1e30f);
    EXPECT_EQ(cap.out(), "F[0.000]:F[0.000]:");
}

TEST(Prompt, StringLengthBoundsAndFirstWordOnly) {
    OutputCapture cap;
    feed_stdin("abc\nabcde\nab cd\nabcd\n");
    char s[5] = "XXXX";
    input_string_msg(s, 4, 4, "Enter serial");
    EXPECT_STREQ(s, "abcd");
    EXPECT_EQ(cap.out(), std::string(4 * 0, ' ') +
                             "Enter serial[XXXX]:Enter serial[XXXX]:"
                             "Enter serial[XXXX]:Enter serial[XXXX]:");

    // A word longer than the buffer never overflows it.
    char small[4] = "ab";
    std::string longword(2000, 'z');
    EXPECT_EQ(input_string(longword.c_str(), small, 0, 3), 0);
    EXPECT_STREQ(small, "zzz");
}

TEST(Prompt, YesNoAnswers) {
    OutputCapture cap;
    feed_stdin("ja\nY\nNO\n");
    int flag = 0;
    input_yesno_msg(&flag, "Save");
    EXPECT_EQ(flag, 1);
    input_yesno_msg(&flag, "Save");
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(cap.out(), "Save[no]:Save[no]:Save[yes]:");
}

TEST(Prompt, CommandLineParameterIsTakenFirstAndCutsTheLine) {
    OutputCapture cap;
    feed_stdin("");
    char line[] = "st 3\n";
    int offset = 0;
    input_integer_msg_cmd(&offset, -12, 12, "Enter offset", line, 1);
    EXPECT_EQ(offset, 3);
    EXPECT_EQ(cap.out(), "");
    EXPECT_STREQ(line, "st"); // the line now reads as the command alone

    feed_stdin("\n");
    char bad[] = "st  13\n";
    offset = 0;
    input_integer_msg_cmd(&offset, -12, 12, "Enter offset", bad, 1);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(cap.out(), "Enter offset[0]:");

    // A tab does not separate parameters.
    char tab[] = "ss\t1234\n";
    char serial[5] = "XXXX";
    feed_stdin("");
    input_string_msg_cmd(serial, 4, 4, "Enter serial", tab, 1);
    EXPECT_STREQ(serial, "XXXX");

    char words[] = "cmd  a b  c\n";
    EXPECT_STREQ(input_param(words, 3), "c\n");
    EXPECT_EQ(input_has_params("ss 1"), 1);
    EXPECT_EQ(input_has_params("ss\t1"), 0);
}

int runs;
std::vector<std::string> seen;

int record_handler(char *cmdline, int arg) {
    runs++;
    EXPECT_EQ(arg, 0);
    char serial[5] = "XXXX";
    input_string_msg_cmd(serial, 4, 4, "Enter serial", cmdline, 1);
    seen.push_back(serial);
    return 0;
}

int other_handler(char *, int) {
    runs += 100;
    return -1;
}

TEST(Menu, LongTextsAreCutAndTerminated) {
    static menu_record menu;
    menu_init(&menu);
    menu_add(&menu, "abcdef", std::string(40, 'n').c_str(),
             std::string(100, 'd').c_str(), nullptr);
    const menu_entry &e = menu.entries[0];
    EXPECT_STREQ(e.key, "abc");
    EXPECT_EQ(std::string(e.name), std::string(15, 'n'));
    EXPECT_EQ(std::string(e.description), std::string(63, 'd'));
    EXPECT_EQ(menu.name_width, 15);
}

TEST(Menu, HelpListAlignsDescriptionsAfterTheLongestName) {
    OutputCapture cap;
    static menu_record menu;
    menu_init(&menu);
    menu_add(&menu, "ve", "version", "shows version", other_handler);
    menu_add(&menu, "ss", "set serial", "sets serial", other_handler);
    menu_add(&menu, "q", "quit", "quits program", nullptr);
    menu_print(&menu);
    EXPECT_EQ(cap.out(), "[ he] help\n"
                         "[ ve] version    - shows version\n"
                         "[ ss] set serial - sets serial\n"
                         "[  q] quit       - quits program\n");
}

TEST(Menu, DispatchRunsEveryMatchingEntryInOrder) {
    OutputCapture cap;
    static menu_record menu;
    menu_init(&menu);
    menu_add(&menu, "ss", "set serial", "sets serial", record_handler);
    menu_add(&menu, "ve", "version", "version", other_handler);
    menu_add(&menu, "ss", "set serial", "sets serial", record_handler);
    menu_add(&menu, "q", "quit", "quits", nullptr);
    runs = 0;
    seen.clear();
    // "set serial" as two words matches nothing; "VERSION" matches by name;
    // "ss 1234" runs both ss entries, the second sees the cut line and asks.
    feed_stdin("set serial\n   \nVERSION\nss 1234\n\nHE\nquit now\nve\n");
    menu_run(&menu);
    EXPECT_EQ(runs, 102);
    EXPECT_EQ(seen, (std::vector<std::string>{"1234", "XXXX"}));
    std::string out = cap.out();
    EXPECT_NE(out.find(">>>>Enter serial[XXXX]:>[ he] help\n"),
              std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 1), ">"); // quit ended the loop
}

TEST(Menu, EndOfInputEndsTheLoopAndTheTailOfALongLineIsDropped) {
    OutputCapture cap;
    static menu_record menu;
    menu_init(&menu);
    menu_add(&menu, "ve", "version", "version", other_handler);
    runs = 0;
    // 254 characters are taken of a line; its tail " ve" never runs as a
    // command of its own. Then the input ends without a quit.
    feed_stdin(std::string(254, 'x') + " ve\nve");
    menu_run(&menu);
    EXPECT_EQ(runs, 100);
    EXPECT_EQ(cap.out(), ">>>");

    // A command word within the first 254 characters runs once, with the
    // line as far as it was taken.
    runs = 0;
    cap.clear();
    feed_stdin("ve" + std::string(300, ' ') + "ve\n");
    menu_run(&menu);
    EXPECT_EQ(runs, 100);
    EXPECT_EQ(cap.out(), ">>");
}

TEST(Prompt, TheTailOfALineLongerThanTheBufferIsNeverAnAnswer) {
    OutputCapture cap;
    // The first 1023 characters are refused as too long; the rest of that
    // line, "abc.txt" (a valid name), is dropped, and the next line answers.
    char name[256] = "d.txt";
    feed_stdin(std::string(1023, 'x') + "abc.txt\nnext.txt\n");
    input_string_msg(name, 0, 255, "Name");
    EXPECT_STREQ(name, "next.txt");
    EXPECT_EQ(cap.out(), "Name[d.txt]:Name[d.txt]:");

    int v = 7;
    std::string spaced = "3";
    spaced.append(2000, ' ');
    feed_stdin(spaced + "5\n");
    input_integer_msg(&v, 0, 9, "N");
    EXPECT_EQ(v, 3);
    EXPECT_EQ(input_eof(), 0); // the line end was read, not the end of input

    // A last line without a line end, and binary bytes, are lines like any.
    feed_stdin(std::string("\x01\xff\x1b[2J\n", 7) + std::string(1, '\0') +
               "4");
    input_integer_msg(&v, 0, 9, "N");
    EXPECT_EQ(v, 3); // refused, then the line starting with a zero byte is
                     // empty and keeps the value
}

} // namespace
