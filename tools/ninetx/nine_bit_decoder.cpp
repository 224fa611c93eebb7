#include "nine_bit_decoder.h"

namespace {

constexpr uint8_t MARK = 0xFF;

enum Pending : uint8_t { NONE = 0, AFTER_FF = 1, AFTER_FF_00 = 2 };

bool is_address_class(CharacterClass kind) {
    return kind == CharacterClass::ADDRESS || kind == CharacterClass::AMBIGUOUS;
}

bool address_at(const ExpectedFrame& frame, size_t position) {
    return frame.address_first && position == 0;
}

ClassCounts* counts_for(FrameVerifier* v, bool address) { return address ? &v->address : &v->data; }

void note_error(FrameVerifier* v) {
    if (v->errors == 0) v->first_error_at = v->characters;
    ++v->errors;
}

// Takes the expected byte at the current position, received (ok) or not.
void consume_position(FrameVerifier* v, bool ok) {
    if (v->position == 0) v->frame_ok = true;  // a frame starts here
    if (!ok) v->frame_ok = false;
    if (++v->position == v->frame.length) {
        ++v->frames;
        if (v->frame_ok) ++v->good_frames;
        v->position = 0;
    }
}

// Breaks the frame in progress (it ends, not good) and waits for a frame start.
void lose_sync(FrameVerifier* v) {
    if (v->position != 0) {
        ++v->frames;
        v->position = 0;
    }
    v->frame_ok = false;
    v->synced = false;
}

void hunt(FrameVerifier* v, Character c) {
    const bool starts_frame =
        c.kind == (address_at(v->frame, 0) ? CharacterClass::ADDRESS : CharacterClass::DATA) &&
        c.value == v->frame.bytes[0];
    if (starts_frame) {
        if (v->ever_synced) {
            if (v->resyncs < MAX_RESYNC_RECORDS)
                v->resync_at[v->resyncs] = {v->characters, v->frames};
            ++v->resyncs;
        }
        v->ever_synced = true;
        v->synced = true;
        ++v->matched;
        consume_position(v, true);
        return;
    }
    if (c.kind == CharacterClass::AMBIGUOUS) {
        ++v->ambiguous;
        note_error(v);
    } else if (c.kind == CharacterClass::STRAY_MARK || c.kind == CharacterClass::TRUNCATED) {
        ++v->malformed;
        note_error(v);
    } else if (!v->ever_synced) {
        ++v->skipped_at_start;  // the tail of a frame already on its way
    } else if (c.kind == CharacterClass::ADDRESS) {
        ++v->address.extra;  // an address of no frame of ours
        note_error(v);
    } else {
        ++v->skipped;
    }
}

// The nearest later position (less than a frame ahead) that expects exactly
// this character, or 0 steps when there is none.
size_t steps_to_match(const FrameVerifier& v, Character c) {
    const bool address = c.kind == CharacterClass::ADDRESS;
    for (size_t k = 1; k < v.frame.length; ++k) {
        const size_t q = (v.position + k) % v.frame.length;
        if (v.frame.bytes[q] == c.value && address_at(v.frame, q) == address) return k;
    }
    return 0;
}

void verify_aligned(FrameVerifier* v, Character c) {
    const uint8_t expected = v->frame.bytes[v->position];
    const bool expected_address = address_at(v->frame, v->position);
    switch (c.kind) {
        case CharacterClass::STRAY_MARK:
        case CharacterClass::TRUNCATED:
            ++v->malformed;
            note_error(v);
            lose_sync(v);
            return;
        case CharacterClass::AMBIGUOUS:
            // A break where a 00 is due keeps the alignment but spoils the frame.
            ++v->ambiguous;
            note_error(v);
            if (expected == 0) {
                consume_position(v, false);
            } else {
                lose_sync(v);
            }
            return;
        case CharacterClass::ADDRESS:
        case CharacterClass::DATA:
            break;
    }
    const bool address = c.kind == CharacterClass::ADDRESS;
    if (c.value == expected) {
        if (address == expected_address) {
            ++v->matched;
            consume_position(v, true);
        } else {
            ++counts_for(v, expected_address)->misclassified;
            note_error(v);
            consume_position(v, false);
        }
        return;
    }
    const size_t steps = steps_to_match(*v, c);
    if (steps == 0) {
        ++counts_for(v, address)->extra;
        note_error(v);
        lose_sync(v);
        return;
    }
    note_error(v);
    for (size_t k = 0; k < steps; ++k) {
        ++counts_for(v, address_at(v->frame, v->position))->missing;
        consume_position(v, false);
    }
    ++v->matched;
    consume_position(v, true);
}

}  // namespace

size_t decode_marked(NineBitDecoder* decoder, const uint8_t* in, size_t n, Character* out) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        switch (decoder->pending) {
            case AFTER_FF:
                decoder->pending = NONE;
                if (b == MARK) {
                    out[count++] = {CharacterClass::DATA, MARK};
                    continue;
                }
                if (b == 0x00) {
                    decoder->pending = AFTER_FF_00;
                    continue;
                }
                out[count++] = {CharacterClass::STRAY_MARK, MARK};
                break;  // b itself is decoded afresh below
            case AFTER_FF_00:
                decoder->pending = NONE;
                out[count++] = {b == 0x00 ? CharacterClass::AMBIGUOUS : CharacterClass::ADDRESS, b};
                continue;
            default:
                break;
        }
        if (b == MARK) {
            decoder->pending = AFTER_FF;
        } else {
            out[count++] = {CharacterClass::DATA, b};
        }
    }
    return count;
}

size_t finish_marked(NineBitDecoder* decoder, Character* out) {
    if (decoder->pending == NONE) return 0;
    *out = {CharacterClass::TRUNCATED, decoder->pending == AFTER_FF ? MARK : uint8_t{0x00}};
    decoder->pending = NONE;
    return 1;
}

ExpectedFrame default_frame() {
    ExpectedFrame frame{};
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    for (size_t i = 0; i < sizeof bytes; ++i) frame.bytes[i] = bytes[i];
    frame.length = sizeof bytes;
    frame.address_first = true;
    return frame;
}

void start_verifier(FrameVerifier* verifier, const ExpectedFrame& frame) {
    *verifier = FrameVerifier{};
    verifier->frame = frame;
}

void verify_character(FrameVerifier* v, Character c) {
    if (is_address_class(c.kind)) ++v->marked;
    if (v->synced) {
        verify_aligned(v, c);
    } else {
        hunt(v, c);
    }
    ++v->characters;
}

bool verifier_clean(const FrameVerifier& v) {
    return v.errors == 0 && v.frames > 0 && v.good_frames == v.frames;
}
