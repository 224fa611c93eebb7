// ninerx and ninetx_addrb as child processes on a pseudo-terminal with the
// serial test double preloaded. The double supplies what a pty cannot: the
// marked bytes a UART with space parity and PARMRK delivers, the UART's
// error counters, an RS-485 record that a driver rounds, and a driver with
// or without nine-bit addressing. What the double does not show: real
// parity on the wire, real ninth-bit filtering by a UART, real timing (the
// character rate is only checked for presence here).
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace {

// "A01 D02 B00 DFF" (address, data, break) as the marked bytes a UART delivers.
std::string marked(const std::string& characters) {
    std::istringstream in(characters);
    std::string hex;
    for (std::string word; in >> word;) {
        const std::string value = word.substr(1);
        if (word[0] == 'A') hex += "ff00" + value;
        if (word[0] == 'B') hex += "ff0000";
        if (word[0] == 'D') hex += value == "ff" || value == "FF" ? "ffff" : value;
    }
    return hex;
}

const std::string F = "A01 D02 D03 D04 D05 D06 ";

std::string repeat(const std::string& a, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += a;
    return out;
}

std::vector<std::string> names(const std::vector<DoubleEvent>& events) {
    return event_names(events);
}

void expect_same_settings(const DoubleEvent& a, const DoubleEvent& b) {
    for (const char* key : {"iflag", "oflag", "cflag", "lflag", "line", "cc", "ispeed", "ospeed"}) {
        EXPECT_EQ(a.field(key), b.field(key)) << key;
    }
}

// The run ended by putting back what it found: the RS-485 record as
// TIOCGRS485 returned it (off), then the line settings TCGETS2 returned.
void expect_put_back(const ToolRun& r) {
    ASSERT_GE(r.events.size(), 2u);
    const DoubleEvent& rs485 = r.events[r.events.size() - 2];
    EXPECT_EQ(rs485.name, "TIOCSRS485");
    EXPECT_EQ(rs485.field("flags"), "0x0");
    EXPECT_EQ(rs485.field("before"), "0");
    const DoubleEvent& line = r.events.back();
    EXPECT_EQ(line.name, "TCSETS2");
    expect_same_settings(line, events_named(r.events, "TCGETS2").at(0));
}

class Ninerx : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(open_pty_line(&line)); }
    void TearDown() override { close_pty_line(&line); }
    ToolRun run(const std::vector<std::string>& args, std::vector<std::string> env,
                Interrupt interrupt = Interrupt::NONE, int signal_number = SIGINT) {
        ToolRunOptions options;
        options.double_env = env;
        options.interrupt = interrupt;
        options.signal = signal_number;
        std::vector<std::string> argv = {line.slave_path, "9600"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_tool(NINERX_PRELOADABLE_PATH, argv, options, &line);
    }
    PtyLine line;
};

TEST_F(Ninerx, VerifiesTheMarkedStreamAndTheCountersEndToEnd) {
    // Every address byte is a parity error to space parity; none else counted.
    const std::string quiet_counters = "SERIAL_DOUBLE_ICOUNT=5:0:0:0:0:0 26:0:0:0:0:0";
    const struct {
        const char* what;
        std::string input;
        std::vector<std::string> args;
        std::string counters;
        std::vector<std::string> env;
        int status;
        std::vector<std::string> json;  // parts of the one JSON line
    } cases[] = {
        {"intact, started mid-frame",
         "D05 D06 " + repeat(F, 3),
         {"--frames", "3"},
         "SERIAL_DOUBLE_ICOUNT=5:0:0:0:0:0 26:0:3:0:0:0",
         {},
         0,
         {"\"stopped_by\":\"frames\",\"frames\":3,\"good_frames\":3,",
          "\"address\":{\"missing\":0,\"extra\":0,\"misclassified\":0},"
          "\"data\":{\"missing\":0,\"extra\":0,\"misclassified\":0},\"ambiguous\":0,"
          "\"malformed\":0,\"skipped_at_start\":2,\"skipped\":0,\"first_error_at\":null,"
          "\"resyncs\":0,\"resync_at\":[],\"characters\":20,\"marked\":3,",
          "\"counters\":{\"rx\":21,\"frame\":0,\"parity\":3,\"overrun\":0,\"brk\":0,"
          "\"buf_overrun\":0}",
          "\"intact\":true}"}},
        {"lost data byte",
         F + "A01 D02 D04 D05 D06 " + F,
         {"--frames", "3"},
         quiet_counters,
         {},
         1,
         {"\"frames\":3,\"good_frames\":2,",
          "\"data\":{\"missing\":1,\"extra\":0,\"misclassified\":0},", "\"first_error_at\":8,",
          "\"intact\":false}"}},
        {"lost address",
         F + "D02 D03 D04 D05 D06 " + F,
         {"--frames", "3"},
         quiet_counters,
         {},
         1,
         {"\"frames\":3,\"good_frames\":2,",
          "\"address\":{\"missing\":1,\"extra\":0,\"misclassified\":0},"}},
        {"break, resynchronised at the next address",
         F + "A01 D02 B00 D05 D06 " + F,
         {"--frames", "3"},
         quiet_counters,
         {},
         1,
         {"\"frames\":3,\"good_frames\":2,", "\"ambiguous\":1,", "\"skipped\":2,",
          "\"resyncs\":1,\"resync_at\":[{\"character\":11,\"frame\":2}],"}},
        {"literal FF data byte",
         repeat("A01 DFF D03 ", 2),
         {"--frames", "2", "--frame", "01ff 03"},
         quiet_counters,
         {},
         0,
         {"\"frame\":\"01 ff 03\",", "\"frames\":2,\"good_frames\":2,", "\"intact\":true}"}},
        {"error counters rising under an intact stream",
         repeat(F, 2),
         {"--frames", "2"},
         "SERIAL_DOUBLE_ICOUNT=0:0:0:0:0:0 14:1:3:2:1:1",
         {},
         1,
         {"\"good_frames\":2,",
          "\"counters\":{\"rx\":14,\"frame\":1,\"parity\":3,\"overrun\":2,\"brk\":1,"
          "\"buf_overrun\":1}",
          "\"intact\":false}"}},
        {"driver rounding a delay",
         repeat(F, 2),
         {"--frames", "2", "--delay-before", "3", "--delay-after", "20"},
         quiet_counters,
         {"SERIAL_DOUBLE_RS485_ROUND=10"},
         0,
         {"{\"setting\":\"rs485.delay_rts_before_send\",\"asked\":3,\"applied\":10}],"
          "\"intact\":true}"}},
        {"counters the driver does not keep",
         repeat(F, 2),
         {"--frames", "2"},
         "",
         {},
         0,
         {"\"counters\":null,", "\"intact\":true}"}},
        {"addresses filtered by the driver (--addrb)",
         "D03 D04 D05 D06 " + repeat("D02 D03 D04 D05 D06 ", 2),
         {"--frames", "2", "--addrb", "0x01"},
         quiet_counters,
         {},
         0,
         {"\"addrb\":1,", "\"frames\":2,\"good_frames\":2,", "\"skipped_at_start\":4,",
          "\"intact\":true}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> env = c.env;
        env.push_back("SERIAL_DOUBLE_INPUT=" + marked(c.input));
        env.push_back("SERIAL_DOUBLE_READ_CHUNK=4");  // marks split across reads
        if (!c.counters.empty()) env.push_back(c.counters);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const ToolRun r = run(args, env);
        EXPECT_TRUE(r.outcome.exited);
        EXPECT_EQ(r.outcome.exit_code, c.status) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        for (const std::string& part : c.json) {
            EXPECT_NE(r.out.find(part), std::string::npos) << part << "\nnot in\n" << r.out;
        }
        if (c.env.empty()) {
            EXPECT_EQ(r.out.find("\"setting\":\"rs485."), std::string::npos) << "applied as asked";
        }
        expect_put_back(r);
    }
}

TEST_F(Ninerx, SetsUpTheReceiverAndReadsBackWhatWasApplied) {
    const ToolRun r = run({"--frames", "1"}, {"SERIAL_DOUBLE_INPUT=" + marked(F)});
    ASSERT_EQ(r.outcome.exit_code, 0) << r.err;
    const std::vector<std::string> all = names(r.events);
    const std::vector<std::string> setup = {
        "open",    "fcntl_getfl", "fcntl_setfl", "TCGETS2",    "TIOCGRS485", "tcflush",
        "TCSETS2", "TIOCSRS485",  "TCGETS2",     "TIOCGRS485", "TIOCGICOUNT"};
    ASSERT_GT(all.size(), setup.size());
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + setup.size()), setup);
    const DoubleEvent asked = events_named(r.events, "TCSETS2").at(0);
    const DoubleEvent found = events_named(r.events, "TCGETS2").at(0);
    EXPECT_EQ(asked.field("iflag"), "0x00000018");  // INPCK | PARMRK
    EXPECT_EQ(asked.field("oflag"), "0x00000000");
    EXPECT_EQ(asked.field("cflag"), "0x400019b0");  // CMSPAR PARENB CREAD BOTHER CLOCAL CS8
    EXPECT_EQ(asked.field("lflag"), "0x00000000");
    EXPECT_EQ(asked.field("ispeed"), "9600");
    EXPECT_EQ(asked.field("ospeed"), "9600");
    std::string cc = found.field("cc");
    cc.replace(10, 4, "0100");  // VTIME 1, VMIN 0; the rest as found
    EXPECT_EQ(asked.field("cc"), cc);
    const DoubleEvent rs485 = events_named(r.events, "TIOCSRS485").at(0);
    EXPECT_EQ(rs485.field("flags"), "0x3");
    EXPECT_EQ(rs485.field("addr_recv"), "0");
    expect_put_back(r);
}

TEST_F(Ninerx, AddrbAsksForTheKernelsAddressFilter) {
    const ToolRun r =
        run({"--frames", "1", "--addrb", "42", "--frame", "01 02"}, {"SERIAL_DOUBLE_INPUT=02"});
    ASSERT_EQ(r.outcome.exit_code, 0) << r.err;
    const DoubleEvent asked = events_named(r.events, "TCSETS2").at(0);
    EXPECT_EQ(asked.field("cflag"), "0x200018b0");  // ADDRB, no parity
    const DoubleEvent rs485 = events_named(r.events, "TIOCSRS485").at(0);
    EXPECT_EQ(rs485.field("flags"), "0xc3");  // ADDRB | ADDR_RECV | RTS_ON_SEND | ENABLED
    EXPECT_EQ(rs485.field("addr_recv"), "42");
    expect_put_back(r);
}

TEST_F(Ninerx, EndsAfterSecondsOrAStopSignalAndReportsInText) {
    // No input at all: nothing arrived, which is a loss.
    const ToolRun timed = run({"--seconds", "0.3"}, {"SERIAL_DOUBLE_INPUT="});
    EXPECT_EQ(timed.outcome.exit_code, 1);
    EXPECT_NE(timed.out.find("frames: 0 received, 0 good (stopped by seconds)\n"),
              std::string::npos)
        << timed.out;
    EXPECT_NE(timed.out.find("\nresult: damaged\n"), std::string::npos);
    expect_put_back(timed);

    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        const ToolRun r = run({},
                              {"SERIAL_DOUBLE_INPUT=" + marked(repeat(F, 2)),
                               "SERIAL_DOUBLE_READ_CHUNK=6", "SERIAL_DOUBLE_HOLD=read#5"},
                              Interrupt::ON_HOLD, signal_number);
        EXPECT_TRUE(r.interrupted);
        EXPECT_EQ(r.outcome.exit_code, 0) << signal_number << r.err;
        EXPECT_NE(r.out.find("frames: 2 received, 2 good (stopped by signal)\n"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nresult: intact\n"), std::string::npos);
        expect_put_back(r);
    }
}

TEST_F(Ninerx, BadOptionsAreUsageErrorsNamingTheOptionBeforeTheDeviceIsOpened) {
    const struct {
        std::vector<std::string> args;
        const char* named;  // what the message names
    } bad[] = {
        {{"--frames", "0"}, "--frames"},
        {{"--frames", "4294967296"}, "--frames"},
        {{"--frames", "1x"}, "--frames"},
        {{"--frames", "-1"}, "--frames"},
        {{"--frames"}, "--frames"},
        {{"--seconds", "0"}, "--seconds"},
        {{"--seconds", "1e3"}, "--seconds"},
        {{"--seconds", "1000001"}, "--seconds"},
        {{"--seconds", ".5"}, "--seconds"},
        {{"--frame", ""}, "--frame"},
        {{"--frame", "0g"}, "--frame"},
        {{"--frame", "012"}, "--frame"},
        {{"--frame", std::string(130, '0')}, "--frame"},
        {{"--addrb", "256"}, "--addrb"},
        {{"--addrb", "0x100"}, "--addrb"},
        {{"--addrb", "x"}, "--addrb"},
        {{"--addrb", "1", "--frame", "01"}, "--frame"},
        {{"--delay-before", "1001"}, "--delay-before"},
        {{"--delay-after", "-1"}, "--delay-after"},
        {{"--json=maybe"}, "--json"},
        {{"--unknown"}, "--unknown"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.args[0]);
        const ToolRun r = run(c.args, {});
        EXPECT_EQ(r.outcome.exit_code, 2);
        const std::string prefix = std::string(NINERX_PRELOADABLE_PATH) + ": ";
        EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.events.empty()) << "the device was touched";
    }
    const std::vector<std::vector<std::string>> bad_positional = {
        {}, {"only-device"}, {"dev", "96O0"}, {"dev", "0"}};
    for (const auto& argv : bad_positional) {
        ToolRunOptions options;
        const ToolRun r = run_tool(NINERX_PRELOADABLE_PATH, argv, options, &line);
        EXPECT_EQ(r.outcome.exit_code, 2);
        EXPECT_NE(r.err.find(argv.size() < 2 ? " is required" : "BAUD: invalid value"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(Ninerx, DeviceFailuresAre255WithTheLineSettingsPutBack) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string message;  // the start of standard error
        bool put_back;
    } cases[] = {
        {"missing device", {}, {"SERIAL_DOUBLE_FAIL=open"}, "could not open ", false},
        {"settings unreadable", {}, {"SERIAL_DOUBLE_FAIL=TCGETS2"}, "tcgetattr() failed: ", false},
        {"no RS-485", {}, {"SERIAL_DOUBLE_FAIL=TIOCSRS485#1"}, "ioctl() failed: ", true},
        {"addressing cleared",
         {"--addrb", "5"},
         {"SERIAL_DOUBLE_ADDRB=clear"},
         "nine-bit addressing refused by the driver: ADDRB cleared in the applied settings",
         true},
        {"addressing refused",
         {"--addrb", "5"},
         {"SERIAL_DOUBLE_ADDRB=fail"},
         std::string("nine-bit addressing refused by the driver: ") + std::strerror(EINVAL),
         true},
        {"read failing",
         {},
         {"SERIAL_DOUBLE_INPUT=01", "SERIAL_DOUBLE_FAIL=read"},
         std::string("read() failed: ") + std::strerror(EIO),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = run(c.args, c.env);
        EXPECT_EQ(r.outcome.exit_code, 255) << r.err;
        EXPECT_EQ(r.err.compare(0, c.message.size(), c.message), 0) << r.err;
        EXPECT_EQ(r.out, "");
        const std::vector<DoubleEvent> restores = events_named(r.events, "TCSETS2");
        if (c.put_back) {
            ASSERT_EQ(restores.size(), 2u);
            expect_same_settings(restores.back(), events_named(r.events, "TCGETS2").at(0));
            EXPECT_EQ(r.events.back().name, "TCSETS2");
        } else {
            EXPECT_TRUE(restores.empty());
        }
    }
    // Not a terminal at all, and a path that does not exist, without the double.
    ToolRunOptions plain;
    plain.preload_double = false;
    const ToolRun not_tty = run_tool(NINERX_PATH, {"/dev/null", "9600"}, plain, nullptr);
    EXPECT_EQ(not_tty.outcome.exit_code, 255);
    EXPECT_EQ(not_tty.err.rfind("tcgetattr() failed: ", 0), 0u) << not_tty.err;
    const ToolRun missing = run_tool(NINERX_PATH, {"/nonexistent/tty", "9600"}, plain, nullptr);
    EXPECT_EQ(missing.outcome.exit_code, 255);
    EXPECT_EQ(missing.err, "could not open /nonexistent/tty\n");
}

// ---- ninetx_addrb -------------------------------------------------------

class NinetxAddrb : public Ninerx {};

TEST_F(NinetxAddrb, SendsDataBytesAfterReArmingTheDestinationAddressEachFrame) {
    ToolRunOptions options;
    options.double_env = {"SERIAL_DOUBLE_HOLD=nanosleep#2"};
    options.interrupt = Interrupt::ON_HOLD;
    const ToolRun r =
        run_tool(NINETX_ADDRB_PRELOADABLE_PATH, {line.slave_path, "9600", "0x2a"}, options, &line);
    ASSERT_EQ(r.outcome.exit_code, 0) << r.err;
    std::vector<std::string> calls;
    for (const DoubleEvent& e : r.events) {
        std::string call = e.name;
        if (e.name == "TCSETS2" || e.name == "TCSETSW2") call += " " + e.field("cflag");
        if (e.name == "TIOCSRS485") call += " " + e.field("flags") + " " + e.field("addr_dest");
        if (e.name == "write") call += " " + e.field("bytes");
        calls.push_back(call);
    }
    // 0x143: SER_RS485_ADDR_DEST | SER_RS485_ADDRB | RTS_ON_SEND | ENABLED
    const std::vector<std::string> cycle = {"TCSETSW2 0x20001830", "TIOCSRS485 0x143 42",
                                            "write 0203040506", "nanosleep"};
    std::vector<std::string> expected = {
        "open",    "fcntl_getfl",        "fcntl_setfl",      "TCGETS2",
        "tcflush", "TCSETS2 0x00001830", "TIOCSRS485 0x3 0", "TCSETS2 0x20001830",
        "TCGETS2", "TIOCSRS485 0x143 42"};
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    expected.insert(expected.end(), cycle.begin(), cycle.end() - 1);
    expected.push_back("hold");
    expected.push_back("nanosleep");
    calls.pop_back();  // the put-back
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(r.wire, repeat("\x02\x03\x04\x05\x06", 2));
    EXPECT_EQ(r.events.back().name, "TCSETSW2");
    expect_same_settings(r.events.back(), events_named(r.events, "TCGETS2").at(0));
}

TEST_F(NinetxAddrb, DriverWithoutAddressingIsRefusedWithTheSettingsPutBack) {
    const struct {
        const char* mode;
        std::string reason;
    } cases[] = {{"clear", "ADDRB cleared in the applied settings"},
                 {"fail", std::strerror(EINVAL)}};
    for (const auto& c : cases) {
        ToolRunOptions options;
        options.double_env = {std::string("SERIAL_DOUBLE_ADDRB=") + c.mode};
        const ToolRun r =
            run_tool(NINETX_ADDRB_PRELOADABLE_PATH, {line.slave_path, "9600", "7"}, options, &line);
        EXPECT_EQ(r.outcome.exit_code, 255) << c.mode;
        EXPECT_EQ(r.err, "nine-bit addressing refused by the driver: " + c.reason +
                             " (it needs Linux 6.0 or later and a UART with an address mode)\n");
        EXPECT_EQ(r.wire, "");
        ASSERT_FALSE(r.events.empty());
        EXPECT_EQ(r.events.back().name, "TCSETS2");
        expect_same_settings(r.events.back(), events_named(r.events, "TCGETS2").at(0));
    }
}

}  // namespace
