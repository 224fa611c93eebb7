// Runs a ninetx tool as a real child process (under the emulator when cross
// built), optionally with the serial test double preloaded, on a pty; sends
// stop signals for real and gathers output, exit status, the double's log and
// the bytes that reached the pty master. Every wait is bounded.
#ifndef TESTS_NINETX_TOOL_RUNNER_H
#define TESTS_NINETX_TOOL_RUNNER_H

#include <signal.h>

#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "pty_line.h"

// One record of the double's log: the call's name and its key=value fields.
struct DoubleEvent {
    std::string name;
    std::map<std::string, std::string> fields;
    std::string field(const std::string& key) const;
};

enum class Interrupt {
    NONE,         // the tool ends by itself (or is killed at the deadline)
    ON_HOLD,      // the signal once the double logs "hold"
    AFTER_BYTES,  // the signal once interrupt_after_bytes have reached the master
    // The master is never read: the signal once the double's log has stopped
    // growing for half a second (the tool is blocked on output), then
    // second_signal half a second later if the tool still runs (both scaled).
    TWICE_WHEN_STALLED,
};

struct ToolRunOptions {
    bool preload_double = true;
    std::vector<std::string> double_env;  // e.g. "SERIAL_DOUBLE_FAIL=TCGETS2"
    Interrupt interrupt = Interrupt::NONE;
    size_t interrupt_after_bytes = 0;
    int signal = SIGINT;
    int second_signal = SIGINT;
    bool log = true;
    int timeout_ms = 20000;  // scaled by TIMING_TEST_TIME_SCALE
};

struct ToolRun {
    ChildOutcome outcome;
    bool interrupted = false;  // the signal was sent
    int signals_sent = 0;
    long long exit_ms_after_last_signal = -1;  // when the output pipes closed
    std::string out;
    std::string err;
    std::string wire;  // bytes read from the pty master
    std::vector<DoubleEvent> events;
};

// Runs program with args. When line is given its slave path is the device
// the double watches.
ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const ToolRunOptions& options, PtyLine* line);

// Names of the events, in order.
std::vector<std::string> event_names(const std::vector<DoubleEvent>& events);

// The events named name.
std::vector<DoubleEvent> events_named(const std::vector<DoubleEvent>& events,
                                      const std::string& name);

#endif
