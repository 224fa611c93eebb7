// What the library's modules share privately: saturating conversions that
// behave the same on every target, the sample-set layout, the rule by which
// an iteration count adapts to the enough interval, the clock's usage
// snapshots, and the record a report fills for its text or JSON writer.
#ifndef LIB_TIMING_INTERNAL_H
#define LIB_TIMING_INTERNAL_H

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "lib_timing.h"

namespace timing_internal {

// double -> integer conversions that saturate at the target type's range
// (NaN and negatives give 0 for unsigned types), since the raw conversion is
// undefined out of range and x86 and ARM answer differently.
template <typename Int>
Int saturate(double value) {
    constexpr Int lo = std::numeric_limits<Int>::min();
    constexpr Int hi = std::numeric_limits<Int>::max();
    if (!(value == value)) return 0;  // NaN
    if (value <= static_cast<double>(lo)) return lo;
    if (value >= static_cast<double>(hi)) return hi;
    return static_cast<Int>(value);  // truncates toward zero
}

inline uint32_t saturate_u32(double value) { return saturate<uint32_t>(value); }
inline uint64_t saturate_u64(double value) { return saturate<uint64_t>(value); }
inline int32_t saturate_i32(double value) { return saturate<int32_t>(value); }

// ---- sample-set layout ----

// Every set has room for at least this many samples (sample_set_bytes).
constexpr int SAMPLE_SET_MIN_CAPACITY = 11;
constexpr int SAMPLE_SET_HEADER_BYTES = static_cast<int>(offsetof(SampleSet, samples));
constexpr int SAMPLE_BYTES = static_cast<int>(sizeof(Sample));
constexpr int SAMPLE_SET_MIN_BYTES =
    SAMPLE_SET_HEADER_BYTES + SAMPLE_SET_MIN_CAPACITY * SAMPLE_BYTES;

// How many samples a set of this many bytes has room for.
constexpr int64_t sample_set_room(int64_t bytes) {
    return (bytes - SAMPLE_SET_HEADER_BYTES) / SAMPLE_BYTES;
}

// A set with room for the minimum capacity, for static or automatic storage.
union MinimumSampleSet {
    SampleSet set;
    unsigned char bytes[SAMPLE_SET_MIN_BYTES];
};

// ---- adaptive iteration counts ----
//
// The calibration's timing passes and a one-worker run's timing phase adapt
// their iteration count by one rule, toward intervals of ADAPT_TARGET times
// the enough interval e: an interval within [ADAPT_KEEP_LOW, ADAPT_KEEP_HIGH]
// times e keeps the count; one longer than ADAPT_SHORT_US rescales it to
// 1 + ADAPT_TARGET * e * count / time; a shorter one grows it ADAPT_GROWTH
// times, unless the count is past the caller's growth bound, when the caller
// gives up. The two callers differ in these points:
// - Growth bound. Calibration bounds the count before it grows
//   (CALIBRATION_GROWTH_BOUND, so a pass may time 2^30 iterations) and gives
//   up with a pass of 0 us. The worker bounds the grown count
//   (WORKER_GROWN_LIMIT, or WORKER_GROWN_LIMIT_NEGATIVE after an interval
//   that measured below zero), keeps the grown count it gave up with and
//   ends its timing phase.
// - ADAPT_DONE_SHARE of e. A calibration pass ends at an interval of at
//   least that share; a worker counts an interval only above it.
// - e. Calibration takes a negative enough interval as 0; the worker takes
//   it as it is.
constexpr double ADAPT_DONE_SHARE = 0.95;
constexpr double ADAPT_KEEP_LOW = 0.99;
constexpr double ADAPT_KEEP_HIGH = 1.2;
constexpr double ADAPT_TARGET = 1.1;
constexpr double ADAPT_SHORT_US = 150;
constexpr uint32_t ADAPT_GROWTH = 8;
constexpr uint32_t CALIBRATION_GROWTH_BOUND = 134217728;  // 0x8000000
constexpr uint64_t WORKER_GROWN_LIMIT = 134217728;
constexpr uint64_t WORKER_GROWN_LIMIT_NEGATIVE = 1048576;

enum class CountChange { Keep, Rescale, Grow, GiveUp };

struct CountStep {
    CountChange change;
    // The next count: kept, rescaled (saturated to 32 bits) or grown; with
    // GiveUp the grown count that passed the bound (up to 35 bits).
    uint64_t count;
};

// What an interval of time_us at count iterations makes of the count. A
// count of at most growth_bound may grow.
inline CountStep next_count(uint32_t count, double time_us, double e, uint32_t growth_bound) {
    if (ADAPT_KEEP_LOW * e <= time_us && time_us <= ADAPT_KEEP_HIGH * e) {
        return {CountChange::Keep, count};
    }
    if (time_us > ADAPT_SHORT_US) {
        const double rescaled = 1.0 + (ADAPT_TARGET * e) * (static_cast<double>(count) / time_us);
        return {CountChange::Rescale, saturate_u32(rescaled)};
    }
    const uint64_t grown = static_cast<uint64_t>(count) * ADAPT_GROWTH;
    return {count <= growth_bound ? CountChange::Grow : CountChange::GiveUp, grown};
}

// The calibration overrides as read from the environment. ENOUGH: strtol in
// base 10, saturated to the signed 32-bit range (where long is 32 bits that
// is strtol's own range). TIMING_O: strtod, truncated toward zero and
// saturated (NaN and negatives 0). LAPCOST: strtod as it is.
int32_t parse_enough_us(const char* text);
uint64_t parse_timer_overhead(const char* text);
double parse_iteration_overhead(const char* text);

// getrusage snapshots taken by the last clock_begin / clock_end.
const struct rusage& clock_start_usage();
const struct rusage& clock_stop_usage();

// The calibration as settled, with where each value came from (the
// observer's sources); false while the process has not calibrated. Reads
// only: never starts a calibration.
struct SettledCalibration {
    int32_t enough_us;
    CalibrationSource enough_source;
    uint64_t timer_overhead;
    CalibrationSource timer_source;
    double iteration_overhead;
    CalibrationSource loop_source;
};
bool settled_calibration(SettledCalibration* calibration);

// The result sink's current value (nothing in the library reads it).
uint64_t result_sink_value();

// Microseconds on the monotonic clock, for the library's own waits and
// spans (never for the timed intervals).
int64_t monotonic_us();

// User and system time of a getrusage reading, and this process's own so
// far (0 when it cannot be read), in microseconds.
uint64_t rusage_cpu_us(const struct rusage& usage);
uint64_t own_cpu_us();

// One adaptive timing pass of the calibration, for tests: times body with the
// persistent count and leaves the pass's time and count in the clock.
void adaptive_timing_pass(void* (*body)(uint32_t n), uint32_t& count);

// CPU placement, for tests: the allocator behind the custom list and the
// affinity masks (malloc-compatible; null restores malloc).
using PlacementAllocator = void* (*)(size_t bytes);
void set_placement_allocator(PlacementAllocator allocator);

// The custom CPU list of QUENTAR_SCHED read from text without the
// process-wide cache: every run of decimal digits, in order, converted as
// sscanf "%d" does. Returns the entry count with *entries a new array to
// free() (0 and null for a null text or one without digits, or for more runs
// than an int counts); -1 and null when memory ran out.
int parse_custom_cpu_list(const char* text, int** entries);

// Whether QUENTAR_SCHED's value names a policy that pins workers (null,
// DEFAULT and unknown words do not).
bool placement_policy_pins(const char* value);

// Largest affinity mask tried: room for 8192 CPUs.
constexpr size_t PLACEMENT_MAX_MASK_BYTES = 8192 / 8;
// First mask length for this many online CPUs: online / 16 + 1 32-bit words,
// rounded up to whole unsigned long words.
size_t placement_mask_bytes(int online);
// Reads the caller's allowed set into a new zeroed mask (free() it), asking
// with first_bytes and doubling while the kernel answers EINVAL. 0 on success
// with *mask and *bytes set; -1 when sched_getaffinity failed (errno kept);
// -2 when memory ran out.
int read_allowed_mask(size_t first_bytes, unsigned long** mask, size_t* bytes);

// ---- reports: each report fills one record, a writer renders it ----

enum class ReportItemType : unsigned char { Count, Int, Real, Text };

// One value of a report. key names it in the JSON object (null: text only);
// text_format renders it in the text line (null: JSON only): a printf format
// with one conversion of the item's type, %d for Int, a floating conversion
// for Real, %s for Text and %llu for Count.
struct ReportItem {
    const char* key;
    const char* text_format;
    ReportItemType type;
    union {
        uint64_t count;
        int int_value;
        double real;
        const char* text;
    } value;
};

constexpr int REPORT_MAX_ITEMS = 16;

// A report's figures, computed once. The text line is the items' text forms
// in order; the JSON object holds the name, the clock's values and the keyed
// items in order.
struct ReportRecord {
    const char* name;     // the report's function name without report_
    uint64_t elapsed_us;  // the clock's values, as the report read them
    uint64_t iterations;
    int item_count;
    ReportItem items[REPORT_MAX_ITEMS];
};

// One parameter of set_report_param; both texts NUL-terminated.
constexpr int REPORT_MAX_PARAMS = 16;
constexpr size_t REPORT_PARAM_KEY_BYTES = 63;
constexpr size_t REPORT_PARAM_VALUE_BYTES = 255;
struct ReportParam {
    char key[REPORT_PARAM_KEY_BYTES + 1];
    char value[REPORT_PARAM_VALUE_BYTES + 1];
};

// The settings a driver_run used, after its defaults.
struct DriverRunSettings {
    int32_t parallel;
    int32_t repetitions;  // samples per worker
    int32_t enough_us;
    int32_t warmup_us;
};

// What a JSON object carries after the report's own items, each left out
// when null (params also when param_count is 0).
struct DriverConditions;
struct ReportTail {
    const ReportParam* params;
    int param_count;
    const SampleSummary* summary;  // the current set's summary
    const SampleSet* set;          // its samples, written raw with the summary
    const DriverRunSettings* run;  // the run that made the current set
    // Its conditions, written with the run (null there: not taken).
    const DriverConditions* conditions;
};

void write_report_text(FILE* stream, const ReportRecord& record);
// The text line of a report on a set whose run was disturbed: marked, and
// the reasons after it.
void write_disturbed_report_text(FILE* stream, const ReportRecord& record,
                                 const DriverConditions& conditions);
void write_report_json(FILE* stream, const ReportRecord& record, const ReportTail& tail);

// JSON values as the reports write them: a string escaped as labels are (null
// for a null text), and a number with 17 significant digits (null when not
// finite); `shortest` takes the fewest digits that read back as the same
// double instead.
void write_json_string(FILE* stream, const char* text);
void write_json_number(FILE* stream, double value, bool shortest = false);
// A CPU list as sysfs writes it ("0-3,6") as a JSON array, or null when it
// is not one.
void write_cpu_array(FILE* stream, const char* text);

// Called by the driver when a successful run makes its merged set current:
// reports describe that set with the run's settings for as long as it stays
// current and unchanged.
void note_driver_set(const SampleSet* set, const DriverRunSettings& run);
// The settings of the run that made the current set, or null when it did not
// come from driver_run.
const DriverRunSettings* current_set_run();
// Whether a successful driver_run with at least one worker has ended in this
// process.
bool workers_have_run();

// ---- the run context (run_context.cpp) ----

// The context line of the JSON reports, and the human summary of text mode.
void write_context_json(FILE* stream);
void write_context_text(FILE* stream);
// For tests only: read procfs and sysfs below root ("" is the real system)
// and forget the facts read so far. Longer roots than PATH_MAX are refused.
void set_system_root(const char* root);

// The clock set_measured_clock gave for cpu, NaN when none was; the CPUs
// below the highest one with a measured clock.
double measured_clock_mhz(int cpu);
int measured_clock_cpus();

}  // namespace timing_internal

#endif
