// The JSON reader and the conversion of report lines to LAVA test cases.
#include <gtest/gtest.h>

#include <string>

#include "cases.h"
#include "json_reader.h"

namespace {

// Each text read by default and under JSON_STRICT.
struct ReadCase {
    const char* text;
    bool accepted;
    bool accepted_strict;
};

TEST(JsonReader, AcceptsJsonAndRefusesEverythingElse) {
    const std::string deep_ok = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
    const std::string too_deep =
        std::string(JSON_MAX_DEPTH + 1, '[') + std::string(JSON_MAX_DEPTH + 1, ']');
    const ReadCase cases[] = {
        {R"({"a":[1,-2.5e3,0,true,false,null,"x"]})", true, true},
        {" \t{ } \r\n", true, true},
        {R"("\u00e9\ud83d\ude00\n\"\\\/")", true, false},
        {R"("\u00e9\n\"\\\/")", true, true},
        {"\"\xc3\xa9\xf0\x9f\x98\x80\"", true, true},
        {R"({"a":1,"a":2})", true, false},
        {R"({"a":{"a":1},"b":[{"a":1}]})", true, true},
        {deep_ok.c_str(), true, true},
        {too_deep.c_str(), false, false},
        {"", false, false},
        {"{", false, false},
        {"[1,]", false, false},
        {"{\"a\" 1}", false, false},
        {"{\"a\":1,}", false, false},
        {"01", false, false},
        {"1.", false, false},
        {"1e", false, false},
        {"-", false, false},
        {"1e999", false, false},
        {"NaN", false, false},
        {"tru", false, false},
        {"\"abc", false, false},
        {"\"a\x01\"", false, false},
        {R"("\x")", false, false},
        {R"("\u12")", false, false},
        {R"("\ud800")", false, false},
        {R"("\udc00")", false, false},
        {R"("\ud800\u0041")", false, false},
        {"\"\x80\"", false, false},
        {"\"\xc3\"", false, false},
        {"\"\xc0\xaf\"", false, false},
        {"\"\xed\xa0\x80\"", false, false},
        {"\"\xf4\x90\x80\x80\"", false, false},
        {"\"\xf5\x80\x80\x80\"", false, false},
        {"{} {}", false, false},
    };
    for (const ReadCase& c : cases) {
        for (const bool strict : {false, true}) {
            JsonNode node;
            std::string error;
            const bool accepted = strict ? c.accepted_strict : c.accepted;
            EXPECT_EQ(read_json(c.text, &node, &error, strict ? JSON_STRICT : JsonRules{}),
                      accepted)
                << c.text << (strict ? " (strict): " : ": ") << error;
            if (!accepted) {
                EXPECT_NE(error.find("at byte"), std::string::npos) << c.text;
            }
        }
    }
}

TEST(JsonReader, DecodesValuesInOrder) {
    JsonNode node;
    std::string error;
    ASSERT_TRUE(read_json(R"({"b":"\u00e9\ud83d\ude00","a":[2.5,null],"b":1})", &node, &error));
    ASSERT_EQ(node.members.size(), 3u);
    EXPECT_EQ(node.members[0].first, "b");
    EXPECT_EQ(node.member("b")->text, "\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(node.member("a")->items[0].number, 2.5);
    EXPECT_EQ(node.member("a")->items[1].type, JsonNode::Type::NUL);
    EXPECT_EQ(node.member("missing"), nullptr);
}

TEST(CaseName, KeepsSafeCharactersAndStaysShortAndDistinct) {
    EXPECT_EQ(case_name("size_latency_size-4096_op-load"), "size_latency_size-4096_op-load");
    EXPECT_EQ(case_name("latency 4 KiB=x/y"), "latency_4_KiB_x_y");
    EXPECT_EQ(case_name(""), "_");
    const std::string a = case_name(std::string(150, 'a'));
    const std::string b = case_name(std::string(149, 'a') + "b");
    EXPECT_EQ(a.size(), CASE_NAME_MAX);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, case_name(std::string(150, 'a')));
}

TEST(MeasurementText, IsTheShortestDecimalThatReadsBack) {
    const struct {
        double value;
        const char* text;
    } cases[] = {{3400, "3400"},
                 {0.1, "0.1"},
                 {123.456, "123.456"},
                 {1e-7, "1e-07"},
                 {1.0 / 3, "0.3333333333333333"},
                 {300, "300"},
                 {0.0025, "0.0025"},
                 {1e20, "1e+20"},
                 {0, "0"},
                 {-12.5, "-12.5"}};
    for (const auto& c : cases) EXPECT_EQ(measurement_text(c.value), c.text);
}

std::string describe(const LavaCase& c) {
    std::string text = c.set + "/" + c.name + " " + (c.passed ? "pass" : "fail");
    if (!c.measurement.empty()) text += " " + c.measurement + " " + c.units;
    return text;
}

std::vector<std::string> described(const Conversion& conversion) {
    std::vector<std::string> all;
    for (const LavaCase& c : conversion.cases) all.push_back(describe(c));
    return all;
}

TEST(ConvertReports, OneCasePerRowInSetsWithFailuresAndWarnings) {
    const std::string jsonl =
        R"({"report":"context","warnings":["cpufreq: ondemand","load"]})"
        "\n"
        R"({"report":"size_latency","elapsed_us":1,"iterations":1,"us_per_operation":0.0025,)"
        R"("params":{"measurement":"latency","size":"4096","op":"load"}})"
        "\n"
        R"({"report":"size_latency","us_per_operation":null,)"
        R"("params":{"measurement":"latency","size":"8192","op":"load"}})"
        "\n"
        R"({"report":"microseconds","label":"pipe rt","us_per_operation":12.5,)"
        R"("params":{"measurement":"pipe","size":"1"}})"
        "\n"
        R"({"report":"context_switches","us_per_switch":6.25,)"
        R"("params":{"measurement":"pipe","size":"1"}})"
        "\n"
        "{not json\n"
        R"({"report":"nanoseconds","ns_per_operation":300})"
        "\n"
        R"({"report":"nanoseconds","ns_per_operation":301})"
        "\n"
        R"({"report":"mystery","value":1})"
        "\n"
        R"({"report":"size_latency","us_per_operation":1e308})"
        "\n";
    const std::string errors =
        "boardmark: latency 16 KiB: the driver run failed (no sample)\n"
        "boardmark: bandwidth: a buffer of 1 GiB cannot be had\n"
        "just some text\n";
    const Conversion conversion = convert_reports(jsonl, errors);
    const std::vector<std::string> expected = {
        "latency/size_latency_size-4096_op-load pass 2.5 ns",
        "latency/size_latency_size-8192_op-load fail",
        "latency/latency_16_KiB fail",
        "pipe/microseconds_pipe_rt_size-1 pass 12.5 us",
        "pipe/context_switches_size-1 pass 6.25 us",
        "/unreadable_line_6 fail",
        "/nanoseconds pass 300 ns",
        "/nanoseconds_2 pass 301 ns",
        "/mystery fail",
        "/size_latency fail",
        "bandwidth/bandwidth fail",
        "/warnings fail 2 warnings",
    };
    EXPECT_EQ(described(conversion), expected);
    bool warned = false;
    for (const std::string& note : conversion.notes) warned |= note == "warning: load";
    EXPECT_TRUE(warned);
}

TEST(ConvertReports, NoRowsStillReportsTheWarningsCaseNamedByTheRun) {
    const std::vector<std::string> clean = {"/warnings pass 0 warnings"};
    EXPECT_EQ(described(convert_reports("", "")), clean);
    EXPECT_EQ(described(convert_reports("{\"report\":\"context\",\"warnings\":[]}\n", "")), clean);
    // A report that takes the warnings case's name gives it up.
    const std::vector<std::string> named = {"/pipe-unreadable_line_1 fail", "/pipe-warnings_2 fail",
                                            "/pipe-warnings pass 0 warnings"};
    EXPECT_EQ(described(convert_reports("[]\n{\"report\":\"pipe-warnings\"}\n", "", "pipe")),
              named);
}

}  // namespace
