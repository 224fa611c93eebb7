// CLI11 checks and transformers for boardmark's kinds of values, each with
// boardmark's text for a value it refuses; CLI11 names the option in front.
#ifndef BOARDMARK_OPTION_VALUES_H
#define BOARDMARK_OPTION_VALUES_H

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Turns a size into its byte count for CLI11 to store. refuse, when given,
// says why a size that reads well is still not taken ("" when it is).
CLI::Validator size_value(std::function<std::string(uint64_t)> refuse = nullptr);

// CLI11's own check or transformer with boardmark's text for a value it
// refuses: "giant is not one of default, huge, small".
CLI::Validator naming_forms(const CLI::Validator& inner, const std::string& forms);

// Digits only (no sign, no base prefix).
CLI::Validator digits_only();

// A comma-separated list: every word through element (a CLI11 check or
// transformer), the results converted to T into *values, each once, in
// the order given. An empty word refuses the whole list.
template <typename T>
CLI::Validator list_of(const CLI::Validator& element, const std::string& forms,
                       std::vector<T>* values) {
    return CLI::Validator(
        [element, forms, values](std::string& text) {
            const std::string refused = text + " is not " + forms;
            values->clear();
            if (text.empty() || text.back() == ',') return refused;
            for (std::string word : CLI::detail::split(text, ',')) {
                T value{};
                if (word.empty() || !element(word).empty() ||
                    !CLI::detail::lexical_cast(word, value)) {
                    return refused;
                }
                if (std::find(values->begin(), values->end(), value) == values->end()) {
                    values->push_back(value);
                }
            }
            return std::string();
        },
        "");
}

// Names an option given where it does not belong ("--max is an option of
// latency, not of pipe"); "" when no word of args is such an option.
std::string misplaced_option(const CLI::App& app, const std::vector<std::string>& args);

#endif
