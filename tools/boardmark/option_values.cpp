#include "option_values.h"

#include "sizes.h"

CLI::Validator size_value(std::function<std::string(uint64_t)> refuse) {
    return CLI::Validator(
        [refuse](std::string& text) {
            uint64_t bytes = 0;
            if (!read_size(text, &bytes)) return text + " is not a size (e.g. 64k, 8m, 1g)";
            const std::string why = refuse ? refuse(bytes) : std::string();
            if (!why.empty()) return text + why;
            text = std::to_string(bytes);
            return std::string();
        },
        "");
}

CLI::Validator naming_forms(const CLI::Validator& inner, const std::string& forms) {
    return CLI::Validator(
        [inner, forms](std::string& text) {
            const std::string given = text;
            return inner(text).empty() ? std::string() : given + " is not " + forms;
        },
        "");
}

CLI::Validator digits_only() {
    return CLI::Validator(
        [](std::string& text) {
            return text.find_first_not_of("0123456789") == std::string::npos ? "" : "not digits";
        },
        "");
}

std::string misplaced_option(const CLI::App& app, const std::vector<std::string>& args) {
    std::string chosen = "boardmark without a subcommand";
    for (const CLI::App* sub : app.get_subcommands()) chosen = sub->get_name();
    for (const std::string& arg : args) {
        const std::string name = arg.substr(0, arg.find('='));
        if (name.rfind("--", 0) != 0 || app.get_option_no_throw(name) != nullptr) continue;
        std::string owners;
        for (const CLI::App* sub : app.get_subcommands(nullptr)) {
            if (sub->get_option_no_throw(name) == nullptr) continue;
            owners += (owners.empty() ? "" : " and ") + sub->get_name();
        }
        if (!owners.empty()) return name + " is an option of " + owners + ", not of " + chosen;
    }
    return "";
}
