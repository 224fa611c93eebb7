// The receive decoder and the frame verifier, called in this process. Every
// marked sequence is fed split in every possible way across reads.
#include "nine_bit_decoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using C = CharacterClass;

std::vector<uint8_t> hex_bytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

// "A01 D02 B00 S FF T00": address, data, ambiguous (break), stray mark, truncated.
std::vector<Character> characters(const std::string& text) {
    std::vector<Character> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        const uint8_t value = static_cast<uint8_t>(std::stoul(word.substr(1), nullptr, 16));
        const char k = word[0];
        const C kind = k == 'A'   ? C::ADDRESS
                       : k == 'D' ? C::DATA
                       : k == 'B' ? C::AMBIGUOUS
                       : k == 'S' ? C::STRAY_MARK
                                  : C::TRUNCATED;
        out.push_back({kind, value});
    }
    return out;
}

std::string describe(const std::vector<Character>& chars) {
    std::string out;
    const char* letters = "DABST";
    for (const Character& c : chars) {
        char word[8];
        std::snprintf(word, sizeof word, "%s%c%02X", out.empty() ? "" : " ",
                      letters[static_cast<int>(c.kind)], c.value);
        out += word;
    }
    return out;
}

// Decodes bytes read in pieces: bit i of cuts set means a read ends after byte i.
std::vector<Character> decode_in_pieces(const std::vector<uint8_t>& bytes, unsigned cuts) {
    NineBitDecoder decoder;
    std::vector<Character> out;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i + 1 == bytes.size() || (cuts >> i & 1u)) {
            std::vector<Character> piece(decoded_capacity(i + 1 - start));
            const size_t n =
                decode_marked(&decoder, bytes.data() + start, i + 1 - start, piece.data());
            EXPECT_LE(n, piece.size());
            out.insert(out.end(), piece.begin(), piece.begin() + static_cast<long>(n));
            start = i + 1;
        }
    }
    Character last;
    if (finish_marked(&decoder, &last) == 1) out.push_back(last);
    return out;
}

TEST(NineBitDecoder, ClassifiesMarkedSequencesHoweverTheReadsSplitThem) {
    const struct {
        const char* bytes;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"01 02 7F 80", "D01 D02 D7F D80"},
        {"FF 00 01 02 03", "A01 D02 D03"},  // ninth bit 1: failed space parity
        {"FF FF", "DFF"},                   // a data byte FF, doubled
        {"FF 00 FF", "AFF"},                // an address byte FF
        {"FF 00 00", "B00"},                // a break, or address 00
        {"FF 00 00 FF 00 00 00", "B00 B00 D00"},
        {"FF FF FF 00 05 FF FF", "DFF A05 DFF"},
        {"FF 41 02", "SFF D41 D02"},  // not what PARMRK produces
        {"FF 41 FF FF", "SFF D41 DFF"},
        {"FF", "TFF"},
        {"FF 00", "T00"},
        {"03 FF FF FF", "D03 DFF TFF"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = hex_bytes(c.bytes);
        const unsigned splittings = bytes.empty() ? 1u : 1u << (bytes.size() - 1);
        for (unsigned cuts = 0; cuts < splittings; ++cuts) {
            EXPECT_EQ(describe(decode_in_pieces(bytes, cuts)), c.expected)
                << "bytes " << c.bytes << ", cuts 0x" << std::hex << cuts;
        }
    }
}

struct Expected {
    uint64_t frames, good;
    ClassCounts address, data;
    uint64_t ambiguous, malformed, skipped_at_start, skipped, resyncs;
    Resync first_resync;
};

const std::string F = "A01 D02 D03 D04 D05 D06 ";

ExpectedFrame frame_of(const char* hex, bool address_first) {
    ExpectedFrame frame{};
    const std::vector<uint8_t> bytes = hex_bytes(hex);
    std::copy(bytes.begin(), bytes.end(), frame.bytes);
    frame.length = bytes.size();
    frame.address_first = address_first;
    return frame;
}

TEST(FrameVerifier, CountsEachKindOfDamageAndResynchronisesOnTheNextAddress) {
    const ExpectedFrame standard = default_frame();
    const struct {
        const char* what;
        ExpectedFrame frame;
        std::string stream;
        Expected expected;
    } cases[] = {
        {"intact", standard, F + F + F, {3, 3, {}, {}, 0, 0, 0, 0, 0, {}}},
        {"started mid-frame", standard, "D04 D05 D06 " + F + F, {2, 2, {}, {}, 0, 0, 3, 0, 0, {}}},
        {"lost data byte",
         standard,
         F + "A01 D02 D04 D05 D06 " + F,
         {3, 2, {}, {1, 0, 0}, 0, 0, 0, 0, 0, {}}},
        {"lost address",
         standard,
         F + "D02 D03 D04 D05 D06 " + F,
         {3, 2, {1, 0, 0}, {}, 0, 0, 0, 0, 0, {}}},
        {"lost tail and the next address",
         standard,
         "A01 D02 D03 D02 D03 D04 D05 D06 " + F,
         {3, 1, {1, 0, 0}, {3, 0, 0}, 0, 0, 0, 0, 0, {}}},
        {"frame cut short by the next",
         standard,
         "A01 D02 D03 " + F,
         {2, 1, {}, {3, 0, 0}, 0, 0, 0, 0, 0, {}}},
        {"data byte marked as address",
         standard,
         F + "A01 D02 A03 D04 D05 D06 ",
         {2, 1, {}, {0, 0, 1}, 0, 0, 0, 0, 0, {}}},
        {"address without its mark",
         standard,
         "D01 D02 D03 D04 D05 D06 " + F,
         {1, 1, {}, {}, 0, 0, 6, 0, 0, {}}},  // nothing to align with yet
        {"address lost its mark",
         standard,
         F + "D01 D02 D03 D04 D05 D06 ",
         {2, 1, {0, 0, 1}, {}, 0, 0, 0, 0, 0, {}}},
        {"extra data byte",
         standard,
         F + "A01 D02 D03 D99 D04 D05 D06 " + F,
         {3, 2, {}, {0, 1, 0}, 0, 0, 0, 3, 1, {13, 2}}},
        {"foreign address while resynchronising",
         standard,
         F + "A01 D77 A09 D02 " + F,
         {3, 2, {0, 1, 0}, {0, 1, 0}, 0, 0, 0, 1, 1, {10, 2}}},
        {"break", standard, F + "A01 D02 B00 D05 D06 " + F, {3, 2, {}, {}, 1, 0, 0, 2, 1, {11, 2}}},
        {"stray mark",
         standard,
         F + "A01 SFF D41 D04 D05 D06 " + F,
         {3, 2, {}, {}, 0, 1, 0, 4, 1, {12, 2}}},
        {"truncated mark at the end", standard, F + "TFF", {1, 1, {}, {}, 0, 1, 0, 0, 0, {}}},
        {"literal FF data byte",
         frame_of("01 FF 03", true),
         "A01 DFF D03 A01 DFF D03",
         {2, 2, {}, {}, 0, 0, 0, 0, 0, {}}},
        {"address 00 is never good",
         frame_of("00 01", true),
         "B00 D01 B00 D01",
         {0, 0, {}, {}, 2, 0, 2, 0, 0, {}}},
        {"break where a data 00 is due",
         frame_of("01 00 02", true),
         "A01 B00 D02 A01 D00 D02",
         {2, 1, {}, {}, 1, 0, 0, 0, 0, {}}},
        {"addresses filtered by the driver",
         frame_of("02 03 04", false),
         "D03 D04 D02 D03 D04 D02 D03 D04",
         {2, 2, {}, {}, 0, 0, 2, 0, 0, {}}},
        {"an address the driver passed up",
         frame_of("02 03 04", false),
         "D02 D03 D04 A01 D02 D03 D04",
         {2, 2, {0, 1, 0}, {}, 0, 0, 0, 0, 1, {4, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameVerifier v;
        start_verifier(&v, c.frame);
        const std::vector<Character> stream = characters(c.stream);
        for (const Character& ch : stream) verify_character(&v, ch);
        const Expected& e = c.expected;
        EXPECT_EQ(v.frames, e.frames);
        EXPECT_EQ(v.good_frames, e.good);
        EXPECT_EQ(v.address.missing, e.address.missing);
        EXPECT_EQ(v.address.extra, e.address.extra);
        EXPECT_EQ(v.address.misclassified, e.address.misclassified);
        EXPECT_EQ(v.data.missing, e.data.missing);
        EXPECT_EQ(v.data.extra, e.data.extra);
        EXPECT_EQ(v.data.misclassified, e.data.misclassified);
        EXPECT_EQ(v.ambiguous, e.ambiguous);
        EXPECT_EQ(v.malformed, e.malformed);
        EXPECT_EQ(v.skipped_at_start, e.skipped_at_start);
        EXPECT_EQ(v.skipped, e.skipped);
        EXPECT_EQ(v.resyncs, e.resyncs);
        if (e.resyncs > 0) {
            EXPECT_EQ(v.resync_at[0].character, e.first_resync.character);
            EXPECT_EQ(v.resync_at[0].frame, e.first_resync.frame);
        }
        const bool damaged = e.address.missing + e.address.extra + e.address.misclassified +
                                 e.data.missing + e.data.extra + e.data.misclassified +
                                 e.ambiguous + e.malformed + e.skipped >
                             0;
        EXPECT_EQ(verifier_clean(v), !damaged && e.frames > 0 && e.good == e.frames);
        EXPECT_EQ(v.characters, stream.size());
        EXPECT_EQ(v.matched + v.address.misclassified + v.data.misclassified + v.address.extra +
                      v.data.extra + v.skipped + v.skipped_at_start + v.ambiguous + v.malformed,
                  v.characters)
            << "every character is accounted for once";
    }
}

}  // namespace
