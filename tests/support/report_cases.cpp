// The report table: for every way an input is accepted or refused, the whole console output
// of `velto in.wav out.wav`, in UTF-8, and the exit status.
#include "support.h"

namespace testing_support {

namespace {

std::string chunkLine(std::string_view tag, std::uint32_t n) {
    return " \"" + std::string(tag) + "\"の長さ: " + std::to_string(n) + " [bytes]\n";
}
const std::string kHead = "\nファイル名[in.wav]\n";
const std::string kDone = "\n[in.wav] を [out.wav] へ変換しました.\n";
std::string timeLine(const char* t) { return std::string("\n 時間=") + t + "\n"; }

// The refusals of a format chunk, each two lines, with the value named.
std::string notPcm(const char* hexTag) {
    return std::string("\nこのプログラムは無圧縮PCMのみを対象とします.\nこのwavファイルの形式は ") + hexTag +
           " です．\n";
}
std::string notEightOrSixteenBits(int bits) {
    return "\nこのプログラムは8/16ビットサンプリングされたものを対象とします\nこのwavファイルの bits/secは " +
           std::to_string(bits) + " です．\n";
}
std::string noChannelsRefused(int channels) {
    return "\nこのプログラムは1チャンネル以上のものを対象とします.\nこのwavファイルのチャンネル数は " +
           std::to_string(channels) + " です．\n";
}

}  // namespace

std::string formatReport(const Format& f) {
    return "             データ形式: " + std::to_string(f.tag) + " (1 = PCM)\n" +
           "           チャンネル数: " + std::to_string(f.channels) + "\n" +
           "     サンプリング周波数: " + std::to_string(f.rate) + " [Hz]\n" +
           "          バイト数 / 秒: " + std::to_string(f.average) + " [bytes/sec]\n" +
           " バイト数×チャンネル数: " + std::to_string(f.align) + " [bytes]\n" +
           "    ビット数 / サンプル: " + std::to_string(f.bits) + " [bits/sample]\n";
}

std::string fmtLine(std::uint32_t n) { return " \"fmt \"の長さ: " + std::to_string(n) + " [bytes]\n"; }
std::string dataLine(std::uint32_t n) { return "\n \"data\" の長さ: " + std::to_string(n) + " [bytes]\n"; }

std::vector<ReportCase> reportCases() {
    const std::string second(176400, '\x11');
    const Format half = with(kStereo16, [](Format& f) { f.average = 88200; });
    const Format pcm3 = with(kStereo16, [](Format& f) { f.tag = 3; });
    const Format bits24 = with(kStereo16, [](Format& f) { f.bits = 24; });
    const Format noChannels = with(kStereo16, [](Format& f) { f.channels = 0; });
    const Format noAverage = with(kStereo16, [](Format& f) { f.average = 0; });
    const Format nothing = {1, 1, 0, 0, 1, 8};
    const Format bits8 = with(kStereo16, [](Format& f) { f.bits = 8; });
    const Format extensible = with(kStereo16, [](Format& f) { f.tag = 0xFFFE; });
    const Format tag0 = with(kStereo16, [](Format& f) { f.tag = 0; });
    const Format noChannels24 = with(bits24, [](Format& f) { f.channels = 0; });
    const Format lettered = with(kStereo16, [](Format& f) {
        f.average = 0x43444546;  // bytes "FEDC"
        f.align = 0x4241;        // bytes "AB"
    });
    const Format letteredPad = with(lettered, [](Format& f) { f.average = 0x00444546; });
    // Every control byte and DEL as tag bytes, shown as '?'; an escape sequence; and CP932
    // bytes (the tag アイ), which are shown as they are.
    std::string controlTags;
    std::string controlLines;
    std::string controls;
    for (int b = 0; b < 0x20; ++b) controls.push_back(static_cast<char>(b));
    controls += "\x7f\x1b[2J\x1b]0;hi\x07";  // ends the title sequence with BEL
    for (std::size_t i = 0; i < controls.size(); i += 4) {
        controlTags += chunkHeader(controls.substr(i, 4), 2) + "zz";
        std::string shown;
        for (const char c : controls.substr(i, 4)) shown += (c < 0x20 || c == 0x7f) ? '?' : c;
        controlLines += chunkLine(shown, 2);
    }
    controlTags += chunkHeader("\x83\x41\x83\x43", 0);
    controlLines += chunkLine("アイ", 0);
    const std::string fmt = chunk("fmt ", formatBody(kStereo16));
    const std::string canonicalReport = formatReport(kStereo16);

    return {
        {"canonical", canonicalWav(kStereo16, second),
         kHead + canonicalReport + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"time from the stored average", canonicalWav(half, second),
         kHead + formatReport(half) + timeLine("2.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"list chunk reported and skipped",
         riffWrap(fmt + chunk("LIST", std::string(26, 'x')) + chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("LIST", 26) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"empty file", "", kHead, " 0 で読み込み失敗.\n", 255},
        {"shorter than a RIFF header", "RIFF\1", kHead, " 5 で読み込み失敗.\n", 255},
        {"neither tag: only the form type is named", std::string("RIFX\0\0\0\0WAVX", 12) + fmt, kHead,
         "'WAVE' が無い.\n", 255},
        {"not RIFF", std::string("RIFX\0\0\0\0WAVE", 12) + fmt, kHead, "'RIFF' フォーマットでない.\n", 255},
        {"format body cut short", riffWrap(chunkHeader("fmt ", 16) + std::string("\1\0\2\0", 4)), kHead,
         fmtLine(16), 255},
        {"not PCM", canonicalWav(pcm3, "ab"), kHead + formatReport(pcm3),
         fmtLine(16) + notPcm("0003"),
         255},
        {"WAVE_FORMAT_EXTENSIBLE: the tag in upper-case hex", canonicalWav(extensible, "ab"),
         kHead + formatReport(extensible),
         fmtLine(16) + notPcm("FFFE"),
         255},
        {"format tag 0 is not PCM", canonicalWav(tag0, "ab"), kHead + formatReport(tag0),
         fmtLine(16) + notPcm("0000"),
         255},
        {"24 bits and no channels: the width is named first", canonicalWav(noChannels24, "ab"),
         kHead + formatReport(noChannels24),
         fmtLine(16) + notEightOrSixteenBits(24),
         255},
        {"24 bits", canonicalWav(bits24, "ab"), kHead + formatReport(bits24),
         fmtLine(16) + notEightOrSixteenBits(24),
         255},
        {"no channels", canonicalWav(noChannels, "ab"), kHead + formatReport(noChannels),
         fmtLine(16) + noChannelsRefused(0),
         255},
        {"empty data chunk is an empty clip", canonicalWav(kStereo16, ""),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(16) + dataLine(0), 0},
        {"data chunk longer than the file", riffWrap(fmt + chunkHeader("data", 1000) + "xyz"),
         kHead + canonicalReport, fmtLine(16) + dataLine(1000) + kReadFailed,
         255},
        {"data chunk claiming 4 GiB", riffWrap(fmt + chunkHeader("data", 0xFFFFFFFF) + "xyz"),
         kHead + canonicalReport,
         fmtLine(16) + dataLine(0xFFFFFFFF) + kReadFailed, 255},
        {"lengths of 2^31 and more are unsigned",
         riffWrap(fmt + chunk("data", "ab") + chunkHeader("LIST", 3000000000u) + "tail"),
         kHead + canonicalReport + chunkLine("LIST", 3000000000u) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(2), 0},
        {"no format chunk", riffWrap(chunk("data", "abcd")), kHead,
         dataLine(4) + "'fmt ' が無い.\n", 255},
        {"neither chunk: the format chunk is named", riffWrap(chunk("LIST", "INFO")),
         kHead + chunkLine("LIST", 4), "'fmt ' が無い.\n", 255},
        {"format chunk claiming 0xFFFFFFFF bytes, unsigned",
         riffWrap(chunk("data", "ab") + chunkHeader("fmt ", 0xFFFFFFFF) + formatBody(kStereo16)),
         kHead + canonicalReport + timeLine("0.000") + kDone,
         dataLine(2) + fmtLine(0xFFFFFFFF), 0},
        {"no data chunk", riffWrap(fmt), kHead + canonicalReport, fmtLine(16) + "'data' が無い.\n",
         255},
        {"no stored average: the format's rate stands in", canonicalWav(noAverage, second),
         kHead + formatReport(noAverage) + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"no rate at all: time zero", canonicalWav(nothing, "abc"),
         kHead + formatReport(nothing) + timeLine("0.000") + kDone, fmtLine(16) + dataLine(3), 0},
        {"format chunk of 18 bytes", riffWrap(chunk("fmt ", formatBody(half) + "zz") +
                                              chunk("data", second)),
         kHead + formatReport(half) + timeLine("2.000") + kDone, fmtLine(18) + dataLine(176400),
         0},
        // Declared 14: all 16 bytes are read, and the next header starts 14 bytes in, with the
        // last two format bytes as the first two bytes of its tag (shown as '?').
        {"format chunk declared shorter than 16",
         riffWrap(chunkHeader("fmt ", 14) + formatBody(kStereo16) + "XY" + le32(0) +
                  chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("??XY", 0) + timeLine("0.000") + kDone,
         fmtLine(14) + dataLine(4), 0},
        // Declared 15: the 16th byte read is the pad byte when it is NUL, a tag byte otherwise.
        {"format chunk of 15 bytes, padded",
         riffWrap(chunkHeader("fmt ", 15) + formatBody(bits8) + chunk("data", "abcd")),
         kHead + formatReport(bits8) + timeLine("0.000") + kDone, fmtLine(15) + dataLine(4), 0},
        // Declared 11 and 13: the tail of the 16 bytes read is given back, a byte of it looked
        // at for padding and, not being NUL, given back again; the next header starts there.
        // The block align spells "AB" and the average ends in 'C', so that a byte given back
        // out of order shows in the tag.
        {"format chunk declared 11 bytes, a tag byte after it",
         riffWrap(chunkHeader("fmt ", 11) + formatBody(lettered) + std::string(3, '\0') +
                  chunk("data", "abcd")),
         kHead + formatReport(lettered) + chunkLine("CAB?", 0) + timeLine("0.000") + kDone,
         fmtLine(11) + dataLine(4), 0},
        {"format chunk declared 11 bytes, a pad byte after it",
         riffWrap(chunkHeader("fmt ", 11) + formatBody(letteredPad) + le32(0) +
                  chunk("data", "abcd")),
         kHead + formatReport(letteredPad) + chunkLine("AB??", 0) + timeLine("0.000") + kDone,
         fmtLine(11) + dataLine(4), 0},
        {"format chunk declared 13 bytes",
         riffWrap(chunkHeader("fmt ", 13) + formatBody(lettered) + "Z" + le32(0) + chunk("data", "abcd")),
         kHead + formatReport(lettered) + chunkLine("B??Z", 0) + timeLine("0.000") + kDone,
         fmtLine(13) + dataLine(4), 0},
        // Declared 6: the 10 bytes given back are the next header and the data's first two
        // bytes, so the data chunk, which runs to the end of the file, is read whole. Of the 16
        // bytes read, the rate's high half is "da", the average "ta" and the data length's low
        // half, the block align that length's high half, the bits the data's first two bytes.
        {"format chunk declared 6 bytes, the data chunk to the end of the file",
         riffWrap(chunkHeader("fmt ", 6) + formatBody(kStereo16).substr(0, 6) +
                  chunk("data", std::string("\x10\0ab", 4))),
         kHead + formatReport({1, 2, 0x6164AC44, 0x00046174, 0, 16}) + timeLine("0.000") + kDone,
         fmtLine(6) + dataLine(4), 0},
        {"format chunk of 17 bytes, padded",
         riffWrap(chunk("fmt ", formatBody(kStereo16) + "z") + '\0' + chunk("data", "abcd")),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(17) + dataLine(4), 0},
        {"format chunk of 17 bytes, not padded",
         riffWrap(chunk("fmt ", formatBody(kStereo16) + "z") + chunk("data", "abcd")),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(17) + dataLine(4), 0},
        {"odd chunk not padded: the next header at the odd offset",
         riffWrap(fmt + chunk("odd ", "123") + chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("odd ", 3) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"odd LIST chunk with its pad byte",
         riffWrap(fmt + chunk("LIST", std::string("INFOISFT\5\0\0\0velto", 17)) + '\0' +
                  chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("LIST", 17) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"odd data padded, then more chunks",
         riffWrap(fmt + chunk("data", "abc") + '\0' + chunk("LIST", "INFO") + chunk("id3 ", "x") + '\0'),
         kHead + canonicalReport + chunkLine("LIST", 4) + chunkLine("id3 ", 1) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(3), 0},
        {"LIST after data, data chunk cut short by a header",
         riffWrap(fmt + chunk("data", "abcd") + chunk("LIST", "INFO") + "dat"),
         kHead + canonicalReport + chunkLine("LIST", 4) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"chunk tags never drive the terminal", riffWrap(fmt + chunk("data", "abcd") + controlTags),
         kHead + canonicalReport + controlLines + timeLine("0.000") + kDone, fmtLine(16) + dataLine(4), 0},
        {"data before format", riffWrap(chunk("data", second) + fmt),
         kHead + canonicalReport + timeLine("1.000") + kDone, dataLine(176400) + fmtLine(16), 0},
        {"chunks after the RIFF length are walked",
         riffHeader(4) + fmt + chunk("data", second),
         kHead + canonicalReport + timeLine("1.000") + kDone, fmtLine(16) + dataLine(176400), 0},
        {"unknown chunk running past the end", riffWrap(fmt + chunk("data", second) +
                                                        chunkHeader("junk", 0xFFFFFFFF) + "x"),
         kHead + canonicalReport + chunkLine("junk", 0xFFFFFFFF) + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
    };
}

void PrintTo(const ReportCase& row, std::ostream* os) { *os << row.name; }

}  // namespace testing_support
