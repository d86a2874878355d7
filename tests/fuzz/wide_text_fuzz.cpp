// The conversions between UTF-8 and 16-bit wide text over any code units,
// checked against a reading of the Unicode tables of well-formed sequences
// that shares nothing with the code under test.
//
// The first byte chooses what the rest is:
// - 0: bytes, read as UTF-8. The wide text must be what the table gives
//   (each scalar value of a well-formed sequence, U+FFFD for each byte that
//   starts none), hold no unpaired surrogate, and turn back into the same
//   bytes when they were valid (up to a NUL, where wide text ends);
// - 1: 16-bit code units (little-endian pairs), read as UTF-16 up to the
//   first NUL. The UTF-8 must be valid, the "valid" answer must say whether
//   there was an unpaired surrogate, and the UTF-8 must decode to the units
//   with each unpaired surrogate as U+FFFD;
// - 2: scalar values (three bytes each, folded into the ranges that are
//   scalar values), encoded by the table both ways: each conversion must give
//   exactly the other's text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/wide_text.h"

namespace {

using Karvon::Platform::utf16_to_utf8;
using Karvon::Platform::utf8_to_utf16;
using Karvon::Platform::wchar16;
using Karvon::Platform::wstring16;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

constexpr std::uint32_t k_replacement = 0xFFFD;

// The length of the well-formed UTF-8 sequence at `at`, 0 when the byte
// there starts none: Unicode's table of well-formed byte sequences.
std::size_t well_formed_at(const std::string& bytes, std::size_t at) {
    struct row {
        std::uint8_t first_low, first_high;
        std::uint8_t second_low, second_high;
        std::size_t length;
    };
    static const row table[] = {
        {0x00, 0x7F, 0, 0, 1},       {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
        {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
        {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[at + i]); };
    for (const row& r : table) {
        if (byte(0) < r.first_low || byte(0) > r.first_high) continue;
        if (r.length == 1) return 1;
        if (bytes.size() - at < r.length) return 0;
        if (byte(1) < r.second_low || byte(1) > r.second_high) return 0;
        for (std::size_t i = 2; i < r.length; ++i) {
            if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
        }
        return r.length;
    }
    return 0;
}

std::uint32_t scalar_of(const std::string& bytes, std::size_t at, std::size_t length) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[at + i]); };
    static const std::uint32_t first_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t value = byte(0) & first_bits[length];
    for (std::size_t i = 1; i < length; ++i) value = value * 64 + (byte(i) - 0x80);
    return value;
}

void put_utf16(wstring16& out, std::uint32_t value) {
    if (value < 0x10000) {
        out += static_cast<wchar16>(value);
    } else {
        out += static_cast<wchar16>(0xD800 + ((value - 0x10000) / 0x400));
        out += static_cast<wchar16>(0xDC00 + ((value - 0x10000) % 0x400));
    }
}

void put_utf8(std::string& out, std::uint32_t value) {
    const auto add = [&](std::uint32_t b) { out += static_cast<char>(b); };
    if (value < 0x80) {
        add(value);
    } else if (value < 0x800) {
        add(0xC0 + value / 64);
        add(0x80 + value % 64);
    } else if (value < 0x10000) {
        add(0xE0 + value / 4096);
        add(0x80 + value / 64 % 64);
        add(0x80 + value % 64);
    } else {
        add(0xF0 + value / 262144);
        add(0x80 + value / 4096 % 64);
        add(0x80 + value / 64 % 64);
        add(0x80 + value % 64);
    }
}

bool is_valid_utf8(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = well_formed_at(bytes, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool is_surrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// UTF-16 up to its first NUL, each unpaired surrogate as U+FFFD; `paired`
// says whether there was none.
wstring16 with_surrogates_mended(const wstring16& units, bool& paired) {
    wstring16 out;
    paired = true;
    for (std::size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        const std::uint32_t unit = static_cast<std::uint16_t>(units[i]);
        const std::uint32_t next =
            i + 1 < units.size() ? static_cast<std::uint16_t>(units[i + 1]) : 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            out += units[i];
            out += units[++i];
        } else if (is_surrogate(unit)) {
            out += static_cast<wchar16>(k_replacement);
            paired = false;
        } else {
            out += units[i];
        }
    }
    return out;
}

void from_bytes(const std::string& bytes) {
    wstring16 expected;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = well_formed_at(bytes, at);
        if (length == 0) {
            expected += static_cast<wchar16>(k_replacement);
            ++at;
        } else {
            put_utf16(expected, scalar_of(bytes, at, length));
            at += length;
        }
    }
    const wstring16 wide = utf8_to_utf16(bytes);
    expect(wide == expected, "UTF-8 decoded other than the table says");
    bool paired = false;
    expect(with_surrogates_mended(wide, paired) == wide.substr(0, wide.find(wchar16(0))) && paired,
           "decoded UTF-8 holds an unpaired surrogate");
    bool valid = false;
    const std::string back = utf16_to_utf8(wide.c_str(), &valid);
    expect(valid, "decoded UTF-8 is not valid UTF-16");
    expect(is_valid_utf8(back), "encoded UTF-16 is not valid UTF-8");
    if (is_valid_utf8(bytes)) {
        expect(back == bytes.substr(0, bytes.find('\0')), "valid UTF-8 does not come back");
    }
}

void from_units(const std::string& bytes) {
    wstring16 units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<wchar16>(static_cast<std::uint8_t>(bytes[i]) |
                                      static_cast<std::uint8_t>(bytes[i + 1]) << 8);
    }
    bool paired = false;
    const wstring16 mended = with_surrogates_mended(units, paired);
    bool valid = !paired;
    const std::string text = utf16_to_utf8(units.c_str(), &valid);
    expect(valid == paired, "the valid answer is wrong");
    expect(is_valid_utf8(text), "encoded UTF-16 is not valid UTF-8");
    expect(utf8_to_utf16(text) == mended, "UTF-16 does not come back");
    expect(utf16_to_utf8(units.c_str()) == text, "the answer changes the text");
}

void from_scalars(const std::string& bytes) {
    std::string text;
    wstring16 wide;
    for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
        std::uint32_t value = (static_cast<std::uint8_t>(bytes[i]) << 16 |
                               static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                               static_cast<std::uint8_t>(bytes[i + 2])) %
                              (0x110000 - 0x800);
        if (value >= 0xD800) value += 0x800;  // past the surrogates
        if (value == 0) value = 1;            // wide text ends at NUL
        put_utf8(text, value);
        put_utf16(wide, value);
    }
    expect(utf8_to_utf16(text) == wide, "valid UTF-8 decoded wrongly");
    bool valid = false;
    expect(utf16_to_utf8(wide.c_str(), &valid) == text && valid, "valid UTF-16 encoded wrongly");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            from_bytes(rest);
            break;
        case 1:
            from_units(rest);
            break;
        default:
            from_scalars(rest);
            break;
    }
    return 0;
}
