// The one-line board summary of --summary: CPU and kernel, each cache with
// the latency measured inside it, memory latency, read bandwidth with 1 and
// N workers, pipe round trip and system call, from whatever rows ran.
#ifndef BOARDMARK_BOARD_SUMMARY_H
#define BOARDMARK_BOARD_SUMMARY_H

#include <string>
#include <vector>

#include "session.h"

// machine is the library's record of the machine (machine_facts()).
std::string board_summary(const MachineRecord& machine, const std::vector<RowRecord>& rows);

#endif
