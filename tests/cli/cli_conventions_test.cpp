// What every command shares, against vo62-sim: a failure is one line with
// the system's reason and, with --json, one object that repeats it; a
// device that is not the instrument is named; -v shows the trace; RA62_PORT
// chooses the instrument; each command's help shows what it takes, and the
// completion script knows every command.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "cli_e2e.h"

namespace {

using namespace cli_e2e;

// The message --json repeats: standard error's lines without the prefix.
std::string message_of(const std::string &err) {
    std::string m =
        std::regex_replace(err, std::regex("(^|\n)ra62d2ide: "), "$1");
    if (!m.empty() && m.back() == '\n')
        m.pop_back();
    return m;
}

TEST_F(CliEndToEnd, FailuresNameTheirReasonAndRepeatItAsJson) {
    SimProcess sim({"--seed", "9"});
    ASSERT_TRUE(sim.started());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"lut", "get", "2"}, 1, "table 2 could not be read"},
        {{"screen", "no/such/s.bmp"},
         4,
         "cannot write no/such/s.bmp: No such file or directory"},
        {{"screen", "/dev/full"},
         4,
         "cannot write /dev/full: No space left on device"},
        {{"lut", "get", "1", "/dev/null/t.dat"},
         4,
         "cannot write /dev/null/t.dat: Not a directory"},
        {{"params", "get", "--out", "/dev/full"},
         4,
         "cannot write /dev/full: No space left on device"},
        {{"card", "download", "no/such/img"},
         4,
         "cannot write no/such/img: No such file or directory"},
        {{"log", "delete", "0"}, 2, "without --yes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        ProcessResult r = cli(sim, c.args, b_dir());
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult j = cli(sim, args, b_dir());
        EXPECT_EQ(j.exit_code, c.status);
        EXPECT_EQ(count_of(j.out, "\n"), 1u) << j.out;
        EXPECT_EQ(parse(j)["error"]["status"], c.status);
        EXPECT_EQ(parse(j)["error"]["message"], message_of(j.err)) << j.err;
    }

    // -v: the requests and replies as the trace shows them, on standard
    // error; the result as ever.
    ProcessResult r = cli(sim, {"-v", "time", "get"}, b_dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "\n"), 1u);
    EXPECT_NE(r.err.find(" TX 0000: 44 45 56 4f"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" RX 0000: 44 45 56 4f"), std::string::npos);

    // RA62_PORT stands for -p; -p wins over it.
    const std::string serial = sim.serial();
    for (const std::string &port :
         {std::string("serial=") + serial, sim.pty(), std::string("auto")}) {
        r = cli(sim, {"time", "get"}, b_dir(), "", {{"RA62_PORT", port}});
        EXPECT_EQ(r.exit_code, 0) << port << ": " << r.err;
    }
    r = cli(sim, {"time", "get"}, b_dir(), "", {{"RA62_PORT", "bt:zz"}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("RA62_PORT 'bt:zz' is not a connection string"),
              std::string::npos);
    r = cli(sim, {"-p", "auto", "time", "get"}, b_dir(), "",
            {{"RA62_PORT", "bt:zz"}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(CliEndToEnd, ADeviceThatIsNotTheInstrumentIsNamed) {
    SimProcess sim({"--serial", "B0001234"});
    ASSERT_TRUE(sim.started());
    ProcessResult r = cli(sim, {"info"}, b_dir());
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("answered with serial 'B0001234': not a VO-62 V2"),
              std::string::npos)
        << r.err;
}

// Every command's help, found through the completion script's table:
// placeholders name what they take, the global options the command honours
// are listed, and "help COMMAND" shows the same text.
TEST_F(CliEndToEnd, EachCommandsHelpShowsWhatItTakes) {
    auto run = [&](const std::vector<std::string> &args) {
        std::vector<std::string> argv = {console_binary_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, "", {}, kRunMs, false, b_dir());
    };
    const ProcessResult completion = run({"help", "--bash-completion"});
    ASSERT_EQ(completion.exit_code, 0);
    const std::regex entry("\n    \"([a-z ]+)\"\\) subs=\"\" ");
    std::vector<std::string> commands;
    for (std::sregex_iterator
             i(completion.out.begin(), completion.out.end(), entry),
         end;
         i != end; ++i)
        commands.push_back((*i)[1]);
    ASSERT_GE(commands.size(), 30u);
    for (const std::string &command : commands) {
        SCOPED_TRACE(command);
        std::vector<std::string> words;
        std::istringstream split(command);
        for (std::string w; split >> w;)
            words.push_back(w);
        std::vector<std::string> args = words;
        args.push_back("--help");
        const ProcessResult help = run(args);
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_NE(help.out.find("usage: ra62d2ide " + command),
                  std::string::npos)
            << help.out;
        for (const char *bare : {" TEXT", " INT", " UINT", " FLOAT"})
            EXPECT_EQ(help.out.find(bare), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("--json"), std::string::npos);
        const bool device = command != "list" && command != "export" &&
                            command != "help" && command != "fw create";
        EXPECT_EQ(help.out.find("-p,--port CONN") != std::string::npos, device);
        const bool asks = command == "log delete" || command == "log clear" ||
                          command == "log purge" || command == "card download";
        EXPECT_EQ(help.out.find("-y,--yes") != std::string::npos, asks);
        args = words;
        args.insert(args.begin(), "help");
        EXPECT_EQ(run(args).out, help.out);
    }
    const std::string main_help = run({"--help"}).out;
    for (const char *form :
         {"serial:115200,8N1:/dev/ttyUSB0", "bt:00:11:22", "tcp:127.0.0.1:5000",
          "serial=A0001234", "RA62_PORT"})
        EXPECT_NE(main_help.find(form), std::string::npos) << form;
    const std::string create = run({"fw", "create", "--help"}).out;
    EXPECT_NE(create.find("--fw-version MAJOR.MINOR"), std::string::npos);
    EXPECT_EQ(create.find("  --version"), std::string::npos) << create;

    // The completion script completes commands, subcommands and options.
    ASSERT_TRUE(write_file(b("completion.bash"), completion.out));
    const ProcessResult bash = run_process(
        {"/bin/bash", "-c",
         "source completion.bash\n"
         "COMP_WORDS=(ra62d2ide -q lo); COMP_CWORD=2; _ra62d2ide\n"
         "echo \"${COMPREPLY[*]}\"\n"
         "COMP_WORDS=(ra62d2ide log l); COMP_CWORD=2; _ra62d2ide\n"
         "echo \"${COMPREPLY[*]}\"\n"
         "COMP_WORDS=(ra62d2ide --trace t card download --r); COMP_CWORD=5\n"
         "_ra62d2ide; echo \"${COMPREPLY[*]}\""},
        "", {}, kRunMs, false, b_dir());
    EXPECT_EQ(bash.out, "log\nlist\n--resume\n") << bash.err;
}

} // namespace
