// The LAVA converter on any bytes: the JSON reader never reads past its
// input nor nests without bound, accepts under its strict rules only what it
// accepts by default, and every case it makes has a name LAVA
// takes (letters, digits, '.', '_', '-'; at most CASE_NAME_MAX), unique in
// the run, a set name of the same kind, a finite measurement with a unit,
// and the warnings case last. The
// input is split at its first NUL into the JSON Lines and the errors.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "cases.h"
#include "json_reader.h"

namespace {

bool lava_name(const std::string& name) {
    if (name.empty() || name.size() > CASE_NAME_MAX) return false;
    for (char c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!safe) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    JsonNode node;
    std::string error;
    const bool read = read_json(input, &node, &error);
    // The strict rules only refuse more.
    if (read_json(input, &node, &error, JSON_STRICT) && !read) std::abort();

    const size_t split = input.find('\0');
    const std::string jsonl = input.substr(0, split);
    const std::string errors = split == std::string::npos ? "" : input.substr(split + 1);
    const Conversion conversion = convert_reports(jsonl, errors, "run");
    if (conversion.cases.empty() || conversion.cases.back().name != "run-warnings") std::abort();
    std::set<std::string> names;
    for (const LavaCase& c : conversion.cases) {
        if (!lava_name(c.name) || !names.insert(c.name).second) std::abort();
        if (!c.set.empty() && !lava_name(c.set)) std::abort();
        if (c.measurement.empty() != c.units.empty()) std::abort();
        if (!c.measurement.empty() && !std::isfinite(std::strtod(c.measurement.c_str(), nullptr))) {
            std::abort();
        }
    }
    return 0;
}
