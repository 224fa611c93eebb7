// The one-line board summary of --summary: CPU and kernel, each cache with
// the latency measured inside it, memory latency, read bandwidth with 1 and
// N workers, pipe round trip and system call, from whatever rows ran.
#ifndef BOARDMARK_BOARD_SUMMARY_H
#define BOARDMARK_BOARD_SUMMARY_H

#include <string>
#include <vector>

#include "session.h"

// context_json is the library's JSON context line (machine, kernel, caches).
std::string board_summary(const std::string& context_json, const std::vector<RowRecord>& rows);

// The JSON context line of this process, as report_context writes it.
std::string context_json();

#endif
