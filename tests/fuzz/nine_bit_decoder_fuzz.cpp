// The receive decoder against an independent reading of the same bytes, and
// the frame verifier's accounting. The first input byte chooses how the rest
// is cut into reads; the reference reads the whole stream at once, by
// looking ahead instead of carrying state. The verifier must place every
// character exactly once and never count more good frames than it ended.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nine_bit_decoder.h"

namespace {

std::vector<Character> reference_reading(const uint8_t* b, size_t n) {
    std::vector<Character> out;
    size_t i = 0;
    while (i < n) {
        if (b[i] != 0xFF) {
            out.push_back({CharacterClass::DATA, b[i]});
            i += 1;
        } else if (i + 1 == n) {
            out.push_back({CharacterClass::TRUNCATED, 0xFF});
            i += 1;
        } else if (b[i + 1] == 0xFF) {
            out.push_back({CharacterClass::DATA, 0xFF});
            i += 2;
        } else if (b[i + 1] != 0x00) {
            out.push_back({CharacterClass::STRAY_MARK, 0xFF});
            i += 1;  // the next byte is read on its own
        } else if (i + 2 == n) {
            out.push_back({CharacterClass::TRUNCATED, 0x00});
            i += 2;
        } else {
            const uint8_t v = b[i + 2];
            out.push_back({v == 0 ? CharacterClass::AMBIGUOUS : CharacterClass::ADDRESS, v});
            i += 3;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned cut_every = data[0] % 7 + 1;  // reads of 1 to 7 bytes
    const uint8_t* stream = data + 1;
    const size_t n = size - 1;

    NineBitDecoder decoder;
    std::vector<Character> got;
    for (size_t start = 0; start < n; start += cut_every) {
        const size_t length = start + cut_every <= n ? cut_every : n - start;
        std::vector<Character> piece(decoded_capacity(length));
        const size_t count = decode_marked(&decoder, stream + start, length, piece.data());
        if (count > piece.size()) std::abort();
        got.insert(got.end(), piece.begin(), piece.begin() + static_cast<long>(count));
    }
    Character last;
    if (finish_marked(&decoder, &last) == 1) got.push_back(last);

    const std::vector<Character> expected = reference_reading(stream, n);
    if (got.size() != expected.size()) std::abort();
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].kind != expected[i].kind || got[i].value != expected[i].value) std::abort();
    }

    FrameVerifier v;
    start_verifier(&v, default_frame());
    for (const Character& c : got) verify_character(&v, c);
    const uint64_t placed = v.matched + v.address.misclassified + v.data.misclassified +
                            v.address.extra + v.data.extra + v.skipped + v.skipped_at_start +
                            v.ambiguous + v.malformed;
    if (placed != v.characters || v.characters != got.size()) std::abort();
    if (v.good_frames > v.frames || v.matched < v.good_frames * v.frame.length) std::abort();
    if (verifier_clean(v) && v.errors != 0) std::abort();
    return 0;
}
