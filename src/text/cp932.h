// Compile-time conversion of the program's console texts from UTF-8 to CP932 (Shift_JIS).
//
// The texts stay readable as Japanese in the source; the bytes that reach the console are
// produced by the compiler. Only the characters the texts use are known to the converter:
// ASCII, hiragana, katakana, and a short table of kanji and symbols. A text with any other
// character does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cp932 {

struct Mapping {
    char32_t codePoint;
    std::uint16_t code;
};

// Kanji and symbols used by the texts, in code point order, with their CP932 codes.
inline constexpr Mapping kTable[] = {
    {0x00D7, 0x817E},  // ×
    {0x30FC, 0x815B},  // ー
    {0x4E0A, 0x8FE3},  // 上
    {0x4EE5, 0x88C8},  // 以
    {0x4F8B, 0x97E1},  // 例
    {0x4FDD, 0x95DB},  // 保
    {0x5165, 0x93FC},  // 入
    {0x51FA, 0x8F6F},  // 出
    {0x529B, 0x97CD},  // 力
    {0x5316, 0x89BB},  // 化
    {0x53F7, 0x8D86},  // 号
    {0x540D, 0x96BC},  // 名
    {0x5468, 0x8EFC},  // 周
    {0x5727, 0x88B3},  // 圧
    {0x5909, 0x95CF},  // 変
    {0x5931, 0x8EB8},  // 失
    {0x5B9A, 0x92E8},  // 定
    {0x5BFE, 0x91CE},  // 対
    {0x5F0F, 0x8EAE},  // 式
    {0x5F15, 0x88F8},  // 引
    {0x5F62, 0x8C60},  // 形
    {0x6307, 0x8E77},  // 指
    {0x63DB, 0x8AB7},  // 換
    {0x6557, 0x9473},  // 敗
    {0x6570, 0x9094},  // 数
    {0x6642, 0x8E9E},  // 時
    {0x6697, 0x88C3},  // 暗
    {0x66F8, 0x8F91},  // 書
    {0x6CE2, 0x9467},  // 波
    {0x7121, 0x96B3},  // 無
    {0x751F, 0x90B6},  // 生
    {0x767A, 0x94AD},  // 発
    {0x78BA, 0x8A6D},  // 確
    {0x79D2, 0x9562},  // 秒
    {0x7E2E, 0x8F6B},  // 縮
    {0x8AAD, 0x93C7},  // 読
    {0x8C61, 0x8FDB},  // 象
    {0x8FBC, 0x8D9E},  // 込
    {0x9577, 0x92B7},  // 長
    {0x9593, 0x8AD4},  // 間
    {0xFF0E, 0x8144},  // ．
};

// Thrown only during constant evaluation, where it turns into a compile error.
struct UnsupportedCharacter {};

// Decodes one UTF-8 sequence starting at text[i] and advances i past it.
constexpr char32_t decodeUtf8(std::u8string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<char32_t>(text.at(k)); };
    const char32_t lead = byte(i);
    if (lead < 0x80) {
        i += 1;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        const char32_t cp = ((lead & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return cp;
    }
    if ((lead & 0xF0) == 0xE0) {
        const char32_t cp =
            ((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return cp;
    }
    throw UnsupportedCharacter{};
}

// The CP932 code of one character: one byte for ASCII, two bytes (as a 16-bit value) otherwise.
constexpr std::uint16_t encodeChar(char32_t cp) {
    if (cp < 0x80) return static_cast<std::uint16_t>(cp);
    // Hiragana lie in one unbroken run from 0x829F.
    if (cp >= 0x3041 && cp <= 0x3093) return static_cast<std::uint16_t>(0x829F + (cp - 0x3041));
    // Katakana run from 0x8340, stepping over the unused trail byte 0x7F.
    if (cp >= 0x30A1 && cp <= 0x30F6) {
        const auto index = static_cast<std::uint16_t>(cp - 0x30A1);
        return static_cast<std::uint16_t>(index < 0x3F ? 0x8340 + index : 0x8341 + index);
    }
    for (const Mapping& m : kTable) {
        if (m.codePoint == cp) return m.code;
    }
    throw UnsupportedCharacter{};
}

constexpr std::size_t encodedSize(std::u8string_view text) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size();) size += encodeChar(decodeUtf8(text, i)) < 0x80 ? 1 : 2;
    return size;
}

template <std::size_t N>
struct Utf8Literal {
    char8_t chars[N]{};
    constexpr Utf8Literal(const char8_t (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
    constexpr std::u8string_view view() const { return {chars, N - 1}; }
};

// A console text: the UTF-8 source and its CP932 bytes, with a terminating NUL so that the
// bytes can serve as a printf format.
template <std::size_t Size>
struct Text {
    std::u8string_view utf8;
    std::array<char, Size + 1> bytes{};
    constexpr const char* c_str() const { return bytes.data(); }
    constexpr std::string_view view() const { return {bytes.data(), Size}; }
};

template <Utf8Literal S>
constexpr auto encode() {
    constexpr std::u8string_view source = S.view();
    Text<encodedSize(source)> text{source};
    std::size_t out = 0;
    for (std::size_t i = 0; i < source.size();) {
        const std::uint16_t code = encodeChar(decodeUtf8(source, i));
        if (code >= 0x80) text.bytes[out++] = static_cast<char>(code >> 8);
        text.bytes[out++] = static_cast<char>(code & 0xFF);
    }
    return text;
}

// The CP932 form of a UTF-8 literal, computed at compile time: cp932::text<u8"...">.
template <Utf8Literal S>
inline constexpr auto text = encode<S>();

}  // namespace cp932
