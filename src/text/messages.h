// Every text velto writes to the console, as CP932 bytes made at compile time, with the UTF-8
// source each is made from (what a terminal that shows UTF-8 is given, console_posix.cpp).
//
// The texts are printf formats: `%s` takes a file name exactly as received (it is only ever an
// argument, never a format), lengths are unsigned 32-bit values printed with `%lu`, and stream
// positions are printed with `%lld`.
#pragma once

#include <string_view>

#include "text/cp932.h"

namespace msg {

using cp932::text;

// Front end.
inline constexpr auto kUsage = text<
    u8"WAV ファイルを暗号化します.\n\n"
    u8"引数に <入力ファイル名> <出力ファイル名>を指定してください.\n\n"
    u8"例 : velto  foo.wav  out.wav\n">;
inline constexpr auto kConverted = text<u8"\n[%s] を [%s] へ変換しました.\n">;

// Reader.
inline constexpr auto kInputOpenFailed = text<u8" %sをオープンできません.\n">;
inline constexpr auto kFileName = text<u8"\nファイル名[%s]\n">;
inline constexpr auto kReadFailedAt = text<u8" %lld で読み込み失敗.\n">;
inline constexpr auto kNoWave = text<u8"'WAVE' が無い.\n">;
inline constexpr auto kNotRiff = text<u8"'RIFF' フォーマットでない.\n">;
inline constexpr auto kFmtLength = text<u8" \"fmt \"の長さ: %lu [bytes]\n">;
inline constexpr auto kDataLength = text<u8"\n \"data\" の長さ: %lu [bytes]\n">;
inline constexpr auto kNoMemory = text<u8"メモリが確保できません.\n">;
inline constexpr auto kReadFailed = text<u8"読み込みに失敗しました.\n">;
inline constexpr auto kChunkLength = text<u8" \"%c%c%c%c\"の長さ: %lu [bytes]\n">;
inline constexpr auto kPlayingTime = text<u8"\n 時間=%.3f\n">;
inline constexpr auto kNoFmt = text<u8"'fmt ' が無い.\n">;
inline constexpr auto kNoData = text<u8"'data' が無い.\n">;

// Format chunk report; the colons stand on the 24th byte of every line.
inline constexpr auto kFormatTag = text<u8"             データ形式: %u (1 = PCM)\n">;
inline constexpr auto kChannels = text<u8"           チャンネル数: %u\n">;
inline constexpr auto kSampleRate = text<u8"     サンプリング周波数: %lu [Hz]\n">;
inline constexpr auto kBytesPerSec = text<u8"          バイト数 / 秒: %lu [bytes/sec]\n">;
inline constexpr auto kBlockAlign = text<u8" バイト数×チャンネル数: %u [bytes]\n">;
inline constexpr auto kBitsPerSample = text<u8"    ビット数 / サンプル: %u [bits/sample]\n">;

// Format chunk refusals.
inline constexpr auto kOnlyPcm = text<u8"\nこのプログラムは無圧縮PCMのみを対象とします.\n">;
inline constexpr auto kFormatIs = text<u8"このwavファイルの形式は %04X です．\n">;
inline constexpr auto kOnly8or16 =
    text<u8"\nこのプログラムは8/16ビットサンプリングされたものを対象とします\n">;
inline constexpr auto kBitsAre = text<u8"このwavファイルの bits/secは %d です．\n">;
inline constexpr auto kOnlyChannels = text<u8"\nこのプログラムは1チャンネル以上のものを対象とします.\n">;
inline constexpr auto kChannelsAre = text<u8"このwavファイルのチャンネル数は %u です．\n">;

// Writer.
inline constexpr auto kOutputOpenFailed = text<u8"%s をオープンできません.\n">;
inline constexpr auto kHeaderFailed = text<u8"ヘッダを書き込めません: %s\n">;
inline constexpr auto kDataWriteFailed = text<u8"wavDataWriteでエラー発生.\n">;
inline constexpr auto kWriteFailed = text<u8"書き込みにに失敗しました.\n">;

// The whole catalogue, for checking the encoding of every text at once and for finding a
// text's UTF-8 form; every text above is in it.
struct CatalogueEntry {
    std::string_view name;
    std::u8string_view utf8;
    std::string_view bytes;
};

#define VELTO_ENTRY(t) CatalogueEntry{#t, t.utf8, t.view()}
inline constexpr CatalogueEntry kCatalogue[] = {
    VELTO_ENTRY(kUsage),          VELTO_ENTRY(kConverted),       VELTO_ENTRY(kInputOpenFailed),
    VELTO_ENTRY(kFileName),       VELTO_ENTRY(kReadFailedAt),    VELTO_ENTRY(kNoWave),
    VELTO_ENTRY(kNotRiff),        VELTO_ENTRY(kFmtLength),       VELTO_ENTRY(kDataLength),
    VELTO_ENTRY(kNoMemory),       VELTO_ENTRY(kReadFailed),      VELTO_ENTRY(kChunkLength),
    VELTO_ENTRY(kPlayingTime),    VELTO_ENTRY(kNoFmt),           VELTO_ENTRY(kNoData),
    VELTO_ENTRY(kFormatTag),      VELTO_ENTRY(kChannels),        VELTO_ENTRY(kSampleRate),
    VELTO_ENTRY(kBytesPerSec),    VELTO_ENTRY(kBlockAlign),      VELTO_ENTRY(kBitsPerSample),
    VELTO_ENTRY(kOnlyPcm),        VELTO_ENTRY(kFormatIs),        VELTO_ENTRY(kOnly8or16),
    VELTO_ENTRY(kBitsAre),        VELTO_ENTRY(kOnlyChannels),    VELTO_ENTRY(kChannelsAre),
    VELTO_ENTRY(kOutputOpenFailed), VELTO_ENTRY(kHeaderFailed),  VELTO_ENTRY(kDataWriteFailed),
    VELTO_ENTRY(kWriteFailed),
};
#undef VELTO_ENTRY

// Each source ends in a NUL, as the literal it was made from does: it serves as a printf format.
static_assert([] {
    for (const CatalogueEntry& entry : kCatalogue) {
        if (entry.utf8.data()[entry.utf8.size()] != u8'\0') return false;
    }
    return true;
}());

// The UTF-8 source of one of the texts above, given its CP932 bytes (`c_str()`): a printf
// format with the same directives, for a console that shows UTF-8. Null for any other string.
inline const char* utf8Of(const char* bytes) {
    for (const CatalogueEntry& entry : kCatalogue) {
        if (entry.bytes == bytes) return reinterpret_cast<const char*>(entry.utf8.data());
    }
    return nullptr;
}

}  // namespace msg
