// The receive side of nine-bit framing made visible the classic way: space
// stick parity with PARMRK, so that a byte whose ninth bit is 1 fails parity
// and reaches the reader marked. decode_marked() turns that byte stream back
// into classified characters, carrying its state across reads;
// verify_character() checks the characters against the expected frame.
#ifndef NINETX_NINE_BIT_DECODER_H
#define NINETX_NINE_BIT_DECODER_H

#include <cstddef>
#include <cstdint>

// What one received character was, as far as the marked stream tells.
enum class CharacterClass : uint8_t {
    DATA,        // ninth bit 0: a plain byte, or FF FF for a data byte FF
    ADDRESS,     // ninth bit 1: FF 00 b with b not 00 (a framing error looks the same)
    AMBIGUOUS,   // FF 00 00: a break, or address byte 00; never a good address
    STRAY_MARK,  // FF followed by neither 00 nor FF: not a PARMRK stream; the
                 // byte after it is decoded afresh
    TRUNCATED,   // the stream ended inside a mark (FF, or FF 00)
};

struct Character {
    CharacterClass kind;
    uint8_t value;  // the byte; FF for STRAY_MARK; FF, or 00 after FF 00, for TRUNCATED
};

// The part of a mark sequence seen so far: 0 none, 1 after FF, 2 after FF 00.
struct NineBitDecoder {
    uint8_t pending = 0;
};

// Room decode_marked() needs for n input bytes: a pending FF followed by a
// byte that is neither 00 nor FF gives two characters for one byte.
constexpr size_t decoded_capacity(size_t n) { return n + 1; }

// Decodes n received bytes into out (room for decoded_capacity(n)); returns
// the number of characters. A mark split across calls is completed by the
// next call.
size_t decode_marked(NineBitDecoder* decoder, const uint8_t* in, size_t n, Character* out);

// The end of the stream: a pending mark becomes one TRUNCATED character in
// *out (returns 1), or nothing (returns 0).
size_t finish_marked(NineBitDecoder* decoder, Character* out);

constexpr size_t MAX_FRAME_BYTES = 64;
constexpr size_t MAX_RESYNC_RECORDS = 16;

// The frame the transmitter repeats. With address_first its first byte is
// the address (ninth bit 1) and the rest data; without it (the driver
// filters addresses and drops them) every byte is data.
struct ExpectedFrame {
    uint8_t bytes[MAX_FRAME_BYTES];
    size_t length;  // 1 .. MAX_FRAME_BYTES
    bool address_first;
};

// 01 then data 02 .. 06, as the transmit tools send it.
ExpectedFrame default_frame();

struct ClassCounts {
    uint64_t missing = 0;        // expected and not received
    uint64_t extra = 0;          // received where nothing explains it
    uint64_t misclassified = 0;  // the expected byte, with the other ninth bit
};

// Where verification picked the frames up again after an error.
struct Resync {
    uint64_t character;  // index of the character, counted from 0
    uint64_t frame;      // frames ended before it
};

// Every character ends up in exactly one of matched, misclassified, extra,
// skipped, skipped_at_start, ambiguous and malformed.
struct FrameVerifier {
    ExpectedFrame frame;
    bool synced;          // aligned with the frame at position
    bool ever_synced;     // the first frame start has been seen
    bool frame_ok;        // the frame in progress has no error so far
    size_t position;      // the next expected byte of the frame
    uint64_t characters;  // characters verified
    uint64_t matched;
    uint64_t frames;       // frames ended, good or not
    uint64_t good_frames;  // frames ended with every byte as expected
    ClassCounts address;
    ClassCounts data;
    uint64_t ambiguous;
    uint64_t malformed;         // STRAY_MARK and TRUNCATED
    uint64_t skipped_at_start;  // before the first frame start: not an error
    uint64_t skipped;           // passed over while resynchronising
    uint64_t marked;            // ADDRESS and AMBIGUOUS characters (parity errors to the UART)
    uint64_t errors;            // error events of every kind
    uint64_t first_error_at;    // character index, valid when errors > 0
    uint64_t resyncs;
    Resync resync_at[MAX_RESYNC_RECORDS];  // the first MAX_RESYNC_RECORDS
};

void start_verifier(FrameVerifier* verifier, const ExpectedFrame& frame);

// One received character. Aligned, a character is taken as the expected
// byte, as the expected byte with the other class (misclassified), or as the
// next one of the frame with the ones between missing; anything else is
// extra (or ambiguous, or malformed), breaks the frame, and verification
// waits for the next frame start (the address byte) to resynchronise.
void verify_character(FrameVerifier* verifier, Character character);

// No error of any kind, at least one frame, and every ended frame good.
bool verifier_clean(const FrameVerifier& verifier);

#endif
