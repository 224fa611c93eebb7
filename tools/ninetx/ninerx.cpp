// ninerx: receives nine-bit frames and verifies them against the frame the
// transmit tools send. The ninth bit is made visible with space stick parity
// and PARMRK (or, with --addrb, left to the kernel's address filter); the
// marked stream goes through the decoder and the frame verifier. Around the
// run it reads the UART's error counters, and after set-up what the driver
// applied. Exit status: 0 every frame intact, 1 anything lost, extra,
// misclassified or counted as an error, 2 usage error, 255 device failure.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "nine_bit_decoder.h"
#include "transmit.h"

namespace {

constexpr int EXIT_INTACT = 0;
constexpr int EXIT_DAMAGED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_DEVICE = 255;

constexpr const char* OPEN_FAILED_FORMAT = "could not open %s\n";
constexpr const char* GET_FAILED_FORMAT = "tcgetattr() failed: %s\n";
constexpr const char* SET_FAILED_FORMAT = "tcsetattr() failed: %s\n";
constexpr const char* RS485_FAILED_FORMAT = "ioctl() failed: %s\n";
constexpr const char* READ_FAILED_FORMAT = "read() failed: %s\n";
constexpr const char* ADDRB_REFUSED_FORMAT =
    "nine-bit addressing refused by the driver: %s (it needs Linux 6.0 or later and a UART "
    "with an address mode)\n";

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr uint8_t READ_TIMEOUT_DECISECONDS = 1;  // VTIME: a read returns at least this often
constexpr unsigned BITS_PER_CHARACTER = 11;      // start, 8 data, ninth bit, stop
constexpr uint32_t MAX_DELAY_MS = 1000;
constexpr double MAX_SECONDS = 1e6;
constexpr size_t READ_BYTES = 4096;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_request(int) { stop_requested = 1; }

// Not restarting: a read in progress returns at once.
void install_stop_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_request;
    sigemptyset(&action.sa_mask);
    for (const int s : STOP_SIGNALS) sigaction(s, &action, nullptr);
}

struct Options {
    std::string device;
    uint32_t baud = 0;
    ExpectedFrame frame = default_frame();
    uint64_t frames = 0;  // 0: no limit
    double seconds = 0;   // 0: no limit
    bool json = false;
    bool addrb = false;
    uint8_t address = 0;
    uint32_t delay_before = 0;
    uint32_t delay_after = 0;
};

// Decimal digits only, min to max.
bool parse_decimal(const std::string& text, uint64_t min, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < min || v > max) return false;
    *value = v;
    return true;
}

// Digits with an optional fraction, above 0 and at most MAX_SECONDS.
bool parse_seconds(const std::string& text, double* seconds) {
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "0" : text.substr(dot + 1);
    uint64_t unused = 0;
    if (whole.empty() || fraction.empty() || whole.size() > 7 || fraction.size() > 9 ||
        !parse_decimal(whole, 0, UINT64_MAX, &unused) ||
        !parse_decimal(fraction, 0, UINT64_MAX, &unused)) {
        return false;
    }
    const double value = std::strtod(text.c_str(), nullptr);
    if (!(value > 0) || value > MAX_SECONDS) return false;
    *seconds = value;
    return true;
}

// Hex byte pairs, blanks allowed between bytes: "0102030405 06", "01 ff 03".
bool parse_frame(const std::string& text, ExpectedFrame* frame) {
    ExpectedFrame f{};
    f.address_first = true;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            f.length == MAX_FRAME_BYTES) {
            return false;
        }
        f.bytes[f.length++] = static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16));
        i += 2;
    }
    if (f.length == 0) return false;
    *frame = f;
    return true;
}

// A CLI11 check from a parser: the message names the option.
CLI::Validator check(bool (*accepts)(const std::string&), const std::string& expected) {
    return CLI::Validator(
        [accepts, expected](std::string& text) {
            return accepts(text) ? std::string() : "invalid value '" + text + "': " + expected;
        },
        "");
}

bool accepts_baud(const std::string& t) {
    uint32_t v;
    return parse_baud(t.c_str(), &v);
}
bool accepts_frames(const std::string& t) {
    uint64_t v;
    return parse_decimal(t, 1, UINT32_MAX, &v);
}
bool accepts_seconds(const std::string& t) {
    double v;
    return parse_seconds(t, &v);
}
bool accepts_frame(const std::string& t) {
    ExpectedFrame f;
    return parse_frame(t, &f);
}
bool accepts_address(const std::string& t) {
    uint8_t v;
    return parse_address(t.c_str(), &v);
}
bool accepts_delay(const std::string& t) {
    uint64_t v;
    return parse_decimal(t, 0, MAX_DELAY_MS, &v);
}

// Parses the command line into *options; returns -1 to go on, or the exit
// status (0 after --help, 2 after a usage error).
int parse_command_line(int argc, char** argv, Options* options) {
    const char* program = argc > 0 ? argv[0] : "ninerx";
    CLI::App app("Receives nine-bit frames on a serial line and verifies them.", "ninerx");
    std::string baud, frame, frames, seconds, address, before, after;
    app.add_option("DEVICE", options->device, "serial device node, e.g. /dev/ttyS1")->required();
    app.add_option("BAUD", baud, "line rate, 1 to 4294967295")
        ->required()
        ->check(check(accepts_baud, "a decimal rate from 1 to 4294967295"));
    app.add_option("--frame", frame, "expected frame in hex (default 0102030405 06)")
        ->check(check(accepts_frame, "1 to 64 bytes as hex pairs, e.g. 0102030405 06"));
    app.add_option("--frames", frames, "end after N frames")
        ->check(check(accepts_frames, "a decimal count from 1 to 4294967295"));
    app.add_option("--seconds", seconds, "end after S seconds")
        ->check(check(accepts_seconds, "decimal seconds above 0, at most 1000000"));
    app.add_flag("--json", options->json, "print the summary as one JSON object");
    app.add_option("--addrb", address, "kernel nine-bit addressing, receive address ADDR")
        ->check(check(accepts_address, "0 to 255, decimal or 0x hex"));
    app.add_option("--delay-before", before, "RS-485 delay_rts_before_send in ms")
        ->check(check(accepts_delay, "decimal milliseconds, 0 to 1000"));
    app.add_option("--delay-after", after, "RS-485 delay_rts_after_send in ms")
        ->check(check(accepts_delay, "decimal milliseconds, 0 to 1000"));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\nusage: %s DEVICE BAUD [options] (--help lists them)\n",
                     program, e.what(), program);
        return EXIT_USAGE;
    }
    parse_baud(baud.c_str(), &options->baud);
    if (!frame.empty()) parse_frame(frame, &options->frame);
    uint64_t value = 0;
    if (!frames.empty() && parse_decimal(frames, 1, UINT32_MAX, &value)) options->frames = value;
    if (!seconds.empty()) parse_seconds(seconds, &options->seconds);
    if (!before.empty() && parse_decimal(before, 0, MAX_DELAY_MS, &value)) {
        options->delay_before = static_cast<uint32_t>(value);
    }
    if (!after.empty() && parse_decimal(after, 0, MAX_DELAY_MS, &value)) {
        options->delay_after = static_cast<uint32_t>(value);
    }
    if (!address.empty()) {
        options->addrb = true;
        parse_address(address.c_str(), &options->address);
        if (options->frame.length < 2) {
            std::fprintf(stderr,
                         "%s: --frame: with --addrb the frame needs an address and at least one "
                         "data byte\n",
                         program);
            return EXIT_USAGE;
        }
    }
    return -1;
}

// Receiver on, ninth bit visible: space stick parity, parity errors marked,
// no other input translation, breaks marked rather than ignored or
// signalled. With ADDRB the driver handles the ninth bit instead of parity.
LineSettings receive_settings(const LineSettings& saved, const Options& o) {
    LineSettings s = saved;
    s.c_iflag = IFLAG_INPCK | IFLAG_PARMRK;
    s.c_oflag = 0;
    s.c_cflag =
        RAW_LINE_CFLAG | CFLAG_CREAD | (o.addrb ? CFLAG_ADDRB : CFLAG_PARENB | CFLAG_CMSPAR);
    s.c_lflag = 0;
    s.c_cc[CC_VMIN] = 0;
    s.c_cc[CC_VTIME] = READ_TIMEOUT_DECISECONDS;
    s.c_ispeed = o.baud;
    s.c_ospeed = o.baud;
    return s;
}

Rs485Settings receive_rs485(const Options& o) {
    Rs485Settings r;
    std::memset(&r, 0, sizeof r);
    r.flags = RS485_ENABLED | RS485_RTS_ON_SEND;
    if (o.addrb) r.flags |= RS485_ADDRB | RS485_ADDR_RECV;
    r.delay_rts_before_send = o.delay_before;
    r.delay_rts_after_send = o.delay_after;
    r.addr_recv = o.addrb ? o.address : 0;
    return r;
}

struct Difference {
    const char* setting;
    uint32_t asked;
    uint32_t applied;
    bool flags;  // shown in hex
};

void compare(std::vector<Difference>* out, const char* setting, uint32_t asked, uint32_t applied) {
    if (asked != applied) {
        out->push_back({setting, asked, applied, std::strstr(setting, "flag") != nullptr});
    }
}

std::vector<Difference> termios_differences(const LineSettings& a, const LineSettings& b) {
    std::vector<Difference> d;
    compare(&d, "c_iflag", a.c_iflag, b.c_iflag);
    compare(&d, "c_oflag", a.c_oflag, b.c_oflag);
    compare(&d, "c_cflag", a.c_cflag, b.c_cflag);
    compare(&d, "c_lflag", a.c_lflag, b.c_lflag);
    compare(&d, "VMIN", a.c_cc[CC_VMIN], b.c_cc[CC_VMIN]);
    compare(&d, "VTIME", a.c_cc[CC_VTIME], b.c_cc[CC_VTIME]);
    compare(&d, "c_ispeed", a.c_ispeed, b.c_ispeed);
    compare(&d, "c_ospeed", a.c_ospeed, b.c_ospeed);
    return d;
}

void rs485_differences(std::vector<Difference>* d, const Rs485Settings& a, const Rs485Settings& b) {
    compare(d, "rs485.flags", a.flags, b.flags);
    compare(d, "rs485.delay_rts_before_send", a.delay_rts_before_send, b.delay_rts_before_send);
    compare(d, "rs485.delay_rts_after_send", a.delay_rts_after_send, b.delay_rts_after_send);
    compare(d, "rs485.addr_recv", a.addr_recv, b.addr_recv);
}

// Counter differences, end minus start, wrapping like the counters.
struct CounterDelta {
    uint32_t rx, frame, parity, overrun, brk, buf_overrun;
};

CounterDelta counter_delta(const UartCounters& a, const UartCounters& b) {
    auto d = [](int32_t from, int32_t to) {
        return static_cast<uint32_t>(to) - static_cast<uint32_t>(from);
    };
    return {d(a.rx, b.rx),           d(a.frame, b.frame), d(a.parity, b.parity),
            d(a.overrun, b.overrun), d(a.brk, b.brk),     d(a.buf_overrun, b.buf_overrun)};
}

double monotonic_now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Run {
    FrameVerifier verifier;
    const char* stopped_by = "signal";
    double started = 0;
    double first_data = -1;  // when the first read with data returned
    double last_data = -1;
    uint64_t characters_after_first_read = 0;
    double ended = 0;
    bool counters = false;  // both counter readings worked
    std::string counters_error;
    CounterDelta delta{};
    bool rs485_read_back = false;
    std::string rs485_error;
    std::vector<Difference> differences;
};

// Characters per second from the end of the first read with data to the end
// of the last one; negative when that cannot be told.
double character_rate(const Run& r) {
    const double span = r.last_data - r.first_data;
    return span > 0 ? static_cast<double>(r.characters_after_first_read) / span : -1;
}

// Anything the UART counted that the frames do not explain: every address
// byte is a parity error to space parity, nothing else should be counted.
bool counters_clean(const Run& r) {
    return !r.counters || (r.delta.frame == 0 && r.delta.overrun == 0 && r.delta.brk == 0 &&
                           r.delta.buf_overrun == 0 && r.delta.parity <= r.verifier.marked);
}

bool run_clean(const Run& r, const Options& o) {
    return verifier_clean(r.verifier) && counters_clean(r) &&
           (o.frames == 0 || r.verifier.frames >= o.frames);
}

// The receive loop; false after a read failure (message printed).
bool receive(int fd, const Options& o, Run* r) {
    NineBitDecoder decoder;
    uint8_t bytes[READ_BYTES];
    std::vector<Character> characters(decoded_capacity(READ_BYTES));
    r->started = monotonic_now();
    const double deadline = o.seconds > 0 ? r->started + o.seconds : 0;
    for (;;) {
        if (stop_requested) break;
        if (deadline > 0 && monotonic_now() >= deadline) {
            r->stopped_by = "seconds";
            break;
        }
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, READ_FAILED_FORMAT, std::strerror(errno));
            return false;
        }
        if (n == 0) continue;  // VTIME passed without a byte
        const double now = monotonic_now();
        const size_t count =
            decode_marked(&decoder, bytes, static_cast<size_t>(n), characters.data());
        if (r->first_data < 0) {
            r->first_data = now;
        } else {
            r->characters_after_first_read += count;
        }
        r->last_data = now;
        for (size_t i = 0; i < count; ++i) {
            verify_character(&r->verifier, characters[i]);
            if (o.frames > 0 && r->verifier.frames >= o.frames) {
                r->stopped_by = "frames";
                r->ended = monotonic_now();
                return true;
            }
        }
    }
    Character last;
    if (finish_marked(&decoder, &last) == 1) verify_character(&r->verifier, last);
    r->ended = monotonic_now();
    return true;
}

std::string frame_text(const ExpectedFrame& f) {
    std::string text;
    for (size_t i = 0; i < f.length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", f.bytes[i]);
        text += byte;
    }
    return text;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void print_text(const Run& r, const Options& o, bool clean) {
    const FrameVerifier& v = r.verifier;
    std::printf("frame: %s%s\n", frame_text(o.frame).c_str(),
                o.addrb ? " (address filtered by the driver: data bytes verified)" : "");
    std::printf("frames: %llu received, %llu good", static_cast<unsigned long long>(v.frames),
                static_cast<unsigned long long>(v.good_frames));
    if (o.frames > 0) std::printf(", %llu expected", static_cast<unsigned long long>(o.frames));
    std::printf(" (stopped by %s)\n", r.stopped_by);
    for (const auto& c : {std::make_pair("address", v.address), std::make_pair("data", v.data)}) {
        std::printf("%s bytes: %llu missing, %llu extra, %llu misclassified\n", c.first,
                    static_cast<unsigned long long>(c.second.missing),
                    static_cast<unsigned long long>(c.second.extra),
                    static_cast<unsigned long long>(c.second.misclassified));
    }
    std::printf("ambiguous (break or address 00): %llu\n",
                static_cast<unsigned long long>(v.ambiguous));
    std::printf("malformed marks: %llu\n", static_cast<unsigned long long>(v.malformed));
    std::printf("skipped: %llu before the first frame, %llu while resynchronising\n",
                static_cast<unsigned long long>(v.skipped_at_start),
                static_cast<unsigned long long>(v.skipped));
    if (v.errors > 0) {
        std::printf("first error at character %llu\n",
                    static_cast<unsigned long long>(v.first_error_at));
    }
    for (uint64_t i = 0; i < v.resyncs && i < MAX_RESYNC_RECORDS; ++i) {
        std::printf("resynchronised at character %llu (after frame %llu)\n",
                    static_cast<unsigned long long>(v.resync_at[i].character),
                    static_cast<unsigned long long>(v.resync_at[i].frame));
    }
    if (v.resyncs > MAX_RESYNC_RECORDS) {
        std::printf("resynchronised %llu times in all\n",
                    static_cast<unsigned long long>(v.resyncs));
    }
    const double line_rate = static_cast<double>(o.baud) / BITS_PER_CHARACTER;
    const double rate = character_rate(r);
    std::printf("characters: %llu in %.3f s; ", static_cast<unsigned long long>(v.characters),
                r.ended - r.started);
    if (rate >= 0) {
        std::printf("%.1f per second, %.1f%% of the line's %.1f at %u bits\n", rate,
                    100 * rate / line_rate, line_rate, BITS_PER_CHARACTER);
    } else {
        std::printf("rate unknown, the line's %.1f per second at %u bits\n", line_rate,
                    BITS_PER_CHARACTER);
    }
    if (r.counters) {
        std::printf(
            "UART counters: rx +%u, frame +%u, parity +%u (%llu marked), overrun +%u, break +%u, "
            "buffer overrun +%u\n",
            r.delta.rx, r.delta.frame, r.delta.parity, static_cast<unsigned long long>(v.marked),
            r.delta.overrun, r.delta.brk, r.delta.buf_overrun);
    } else {
        std::printf("UART counters: not available: %s\n", r.counters_error.c_str());
    }
    if (!r.rs485_read_back) {
        std::printf("RS-485 settings: not read back: %s\n", r.rs485_error.c_str());
    }
    for (const Difference& d : r.differences) {
        std::printf(
            d.flags ? "applied: %s asked 0x%x, got 0x%x\n" : "applied: %s asked %u, got %u\n",
            d.setting, d.asked, d.applied);
    }
    std::printf("result: %s\n", clean ? "intact" : "damaged");
}

void print_json(const Run& r, const Options& o, bool clean) {
    const FrameVerifier& v = r.verifier;
    auto u = [](uint64_t x) { return static_cast<unsigned long long>(x); };
    std::printf("{\"device\":%s,\"baud\":%u,\"frame\":\"%s\",\"addrb\":",
                json_string(o.device).c_str(), o.baud, frame_text(o.frame).c_str());
    if (o.addrb) {
        std::printf("%u", o.address);
    } else {
        std::printf("null");
    }
    std::printf(",\"frames_expected\":");
    if (o.frames > 0) {
        std::printf("%llu", u(o.frames));
    } else {
        std::printf("null");
    }
    std::printf(",\"stopped_by\":\"%s\",\"frames\":%llu,\"good_frames\":%llu", r.stopped_by,
                u(v.frames), u(v.good_frames));
    for (const auto& c : {std::make_pair("address", v.address), std::make_pair("data", v.data)}) {
        std::printf(",\"%s\":{\"missing\":%llu,\"extra\":%llu,\"misclassified\":%llu}", c.first,
                    u(c.second.missing), u(c.second.extra), u(c.second.misclassified));
    }
    std::printf(
        ",\"ambiguous\":%llu,\"malformed\":%llu,\"skipped_at_start\":%llu,\"skipped\":%llu,"
        "\"first_error_at\":",
        u(v.ambiguous), u(v.malformed), u(v.skipped_at_start), u(v.skipped));
    if (v.errors > 0) {
        std::printf("%llu", u(v.first_error_at));
    } else {
        std::printf("null");
    }
    std::printf(",\"resyncs\":%llu,\"resync_at\":[", u(v.resyncs));
    for (uint64_t i = 0; i < v.resyncs && i < MAX_RESYNC_RECORDS; ++i) {
        std::printf("%s{\"character\":%llu,\"frame\":%llu}", i == 0 ? "" : ",",
                    u(v.resync_at[i].character), u(v.resync_at[i].frame));
    }
    const double rate = character_rate(r);
    std::printf("],\"characters\":%llu,\"marked\":%llu,\"seconds\":%.6f,\"char_rate\":",
                u(v.characters), u(v.marked), r.ended - r.started);
    if (rate >= 0) {
        std::printf("%.3f", rate);
    } else {
        std::printf("null");
    }
    std::printf(",\"line_char_rate\":%.3f,\"counters\":",
                static_cast<double>(o.baud) / BITS_PER_CHARACTER);
    if (r.counters) {
        std::printf(
            "{\"rx\":%u,\"frame\":%u,\"parity\":%u,\"overrun\":%u,\"brk\":%u,\"buf_overrun\":%u}",
            r.delta.rx, r.delta.frame, r.delta.parity, r.delta.overrun, r.delta.brk,
            r.delta.buf_overrun);
    } else {
        std::printf("null");
    }
    std::printf(",\"rs485_read_back\":%s,\"applied\":[", r.rs485_read_back ? "true" : "false");
    for (size_t i = 0; i < r.differences.size(); ++i) {
        const Difference& d = r.differences[i];
        std::printf("%s{\"setting\":\"%s\",\"asked\":%u,\"applied\":%u}", i == 0 ? "" : ",",
                    d.setting, d.asked, d.applied);
    }
    std::printf("],\"intact\":%s}\n", clean ? "true" : "false");
}

// Puts the found settings back; false (message printed) when that fails.
bool restore(int fd, const LineSettings& saved, const Rs485Settings* found_rs485) {
    bool ok = true;
    if (found_rs485 != nullptr) {
        Rs485Settings back = *found_rs485;
        if (set_rs485(fd, &back) != 0) {
            std::fprintf(stderr, RS485_FAILED_FORMAT, std::strerror(errno));
            ok = false;
        }
    }
    if (set_termios2(fd, APPLY_NOW, &saved) != 0) {
        std::fprintf(stderr, SET_FAILED_FORMAT, std::strerror(errno));
        ok = false;
    }
    return ok;
}

int run(const Options& o) {
    const int fd = open_line(o.device.c_str());
    if (fd < 0) {
        std::fprintf(stderr, OPEN_FAILED_FORMAT, o.device.c_str());
        return EXIT_DEVICE;
    }
    LineSettings saved;
    if (get_termios2(fd, &saved) != 0) {
        std::fprintf(stderr, GET_FAILED_FORMAT, std::strerror(errno));
        return EXIT_DEVICE;
    }
    Run r;
    start_verifier(&r.verifier, o.frame);
    if (o.addrb) {
        // The driver drops the address bytes: only the data bytes arrive.
        ExpectedFrame data = o.frame;
        data.length = o.frame.length - 1;
        std::memmove(data.bytes, o.frame.bytes + 1, data.length);
        data.address_first = false;
        start_verifier(&r.verifier, data);
    }
    Rs485Settings found_rs485;
    const bool have_found_rs485 = get_rs485(fd, &found_rs485) == 0;

    const LineSettings asked = receive_settings(saved, o);
    tcflush(fd, TCIOFLUSH);  // result ignored
    if (set_termios2(fd, APPLY_NOW, &asked) != 0) {
        std::fprintf(stderr, SET_FAILED_FORMAT, std::strerror(errno));
        return EXIT_DEVICE;
    }
    const Rs485Settings asked_rs485 = receive_rs485(o);
    Rs485Settings applied_rs485 = asked_rs485;
    if (set_rs485(fd, &applied_rs485) != 0) {
        std::fprintf(stderr, o.addrb ? ADDRB_REFUSED_FORMAT : RS485_FAILED_FORMAT,
                     std::strerror(errno));
        restore(fd, saved, nullptr);
        return EXIT_DEVICE;
    }
    const Rs485Settings* put_back = have_found_rs485 ? &found_rs485 : nullptr;

    LineSettings applied;
    if (get_termios2(fd, &applied) != 0) {
        std::fprintf(stderr, GET_FAILED_FORMAT, std::strerror(errno));
        restore(fd, saved, put_back);
        return EXIT_DEVICE;
    }
    r.differences = termios_differences(asked, applied);
    if (get_rs485(fd, &applied_rs485) == 0) {
        r.rs485_read_back = true;
    } else {
        r.rs485_error = std::strerror(errno);  // the record TIOCSRS485 wrote back stands
    }
    rs485_differences(&r.differences, asked_rs485, applied_rs485);
    if (o.addrb && ((applied.c_cflag & CFLAG_ADDRB) == 0 ||
                    (applied_rs485.flags & (RS485_ADDRB | RS485_ADDR_RECV)) !=
                        (RS485_ADDRB | RS485_ADDR_RECV))) {
        std::fprintf(stderr, ADDRB_REFUSED_FORMAT,
                     (applied.c_cflag & CFLAG_ADDRB) == 0
                         ? "ADDRB cleared in the applied settings"
                         : "SER_RS485_ADDRB cleared in the applied record");
        restore(fd, saved, put_back);
        return EXIT_DEVICE;
    }

    UartCounters start_counters;
    UartCounters end_counters;
    const bool counted_start = get_uart_counters(fd, &start_counters) == 0;
    if (!counted_start) r.counters_error = std::strerror(errno);
    const bool received = receive(fd, o, &r);
    if (counted_start) {
        if (get_uart_counters(fd, &end_counters) == 0) {
            r.counters = true;
            r.delta = counter_delta(start_counters, end_counters);
        } else {
            r.counters_error = std::strerror(errno);
        }
    }
    const bool restored = restore(fd, saved, put_back);
    if (!received || !restored) return EXIT_DEVICE;
    const bool clean = run_clean(r, o);
    if (o.json) {
        print_json(r, o, clean);
    } else {
        print_text(r, o, clean);
    }
    return clean ? EXIT_INTACT : EXIT_DAMAGED;
}

}  // namespace

int main(int argc, char** argv) {
    install_stop_handlers();  // first, before anything can fail
    Options options;
    const int status = parse_command_line(argc, argv, &options);
    if (status >= 0) return status;
    return run(options);
}
