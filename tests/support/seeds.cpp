#include "seeds.h"

#include "support/support.h"

using namespace testing_support;

std::vector<std::pair<std::string, std::string>> fuzzSeeds() {
    const Format stereo16{};
    const Format mono8{1, 1, 8000, 8000, 1, 8};
    const Format six16{1, 6, 48000, 576000, 12, 16};
    const Format three8{1, 3, 11025, 33075, 3, 8};
    const std::string fmt = chunk("fmt ", formatBody(stereo16));

    return {
        {"stereo16", canonicalWav(stereo16, noise(400, 1))},
        {"mono8-odd", canonicalWav(mono8, noise(101, 2))},
        {"six16-partial-frame", canonicalWav(six16, noise(250, 3))},
        {"three8", canonicalWav(three8, noise(99, 4))},
        {"list-and-fmt18", riffWrap(chunk("fmt ", formatBody(stereo16) + std::string(2, '\0')) +
                                    chunk("LIST", std::string("INFOISFT\4\0\0\0velt", 16)) + chunk("data", noise(64, 5)))},
        {"fmt-declared-14", riffWrap(chunkHeader("fmt ", 14) + formatBody(mono8) + "XY" + le32(0) +
                                     chunk("data", noise(32, 6)))},
        {"two-data", riffWrap(fmt + chunk("data", noise(16, 7)) + chunk("data", noise(48, 8)))},
        {"data-first", riffWrap(chunk("data", noise(40, 9)) + fmt)},
        {"odd-chunk", riffWrap(fmt + chunk("odd ", "123") + chunk("data", noise(20, 10)))},
        {"odd-chunks-padded", riffWrap(chunk("fmt ", formatBody(mono8) + "z") + '\0' + chunk("LIST", "INFOx") +
                                       '\0' + chunk("data", noise(21, 12)) + '\0' + chunk("id3 ", "abc") + '\0')},
        {"empty-data", canonicalWav(stereo16, "")},
        {"no-average", canonicalWav(with(stereo16, [](Format& f) { f.average = 0; }), noise(8, 11))},
        {"empty", ""},
        {"short", "RIFF\1"},
        {"no-wave", std::string("RIFX\0\0\0\0WAVX", 12) + fmt},
        {"no-riff", std::string("RIFX\0\0\0\0WAVE", 12) + fmt},
        {"fmt-cut", riffWrap(chunkHeader("fmt ", 16) + std::string("\1\0", 2))},
        {"not-pcm", canonicalWav(with(stereo16, [](Format& f) { f.tag = 3; }), "ab")},
        {"bits24", canonicalWav(with(stereo16, [](Format& f) { f.bits = 24; }), "ab")},
        {"no-channels", canonicalWav(with(stereo16, [](Format& f) { f.channels = 0; }), "ab")},
        {"data-too-long", riffWrap(fmt + chunkHeader("data", 1000) + "xyz")},
        {"no-fmt", riffWrap(chunk("data", "abcd"))},
        {"no-data", riffWrap(fmt)},
        {"huge-unknown", riffWrap(fmt + chunk("data", "ab") + chunkHeader("junk", 0xFFFFFFFF))},
    };
}
