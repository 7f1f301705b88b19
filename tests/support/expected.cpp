// Expected answers written from the rules they check, never computed by the program's code.
#include <algorithm>
#include <cctype>

#include "support.h"

namespace testing_support {

std::string mirrored(std::string_view data, int bits, int channels) {
    std::string out(data);
    const std::size_t sampleBytes = static_cast<std::size_t>(bits / 8);
    const std::size_t frameBytes = sampleBytes * static_cast<std::size_t>(channels);
    if (frameBytes == 0) return out;
    const std::size_t whole = data.size() / frameBytes * frameBytes;
    for (std::size_t frame = 0; frame < whole; frame += frameBytes) {
        for (std::size_t i = frame; i < frame + sampleBytes * std::min(channels, 2); i += sampleBytes) {
            if (bits == 8) {
                out[i] = static_cast<char>((0x80 + 0x100 - static_cast<unsigned char>(data[i])) % 0x100);
            } else {
                const unsigned v = static_cast<unsigned char>(data[i]) |
                                   static_cast<unsigned>(static_cast<unsigned char>(data[i + 1])) << 8;
                const unsigned after = (0x8000 + 0x10000 - v) % 0x10000;
                out[i] = static_cast<char>(after & 0xFF);
                out[i + 1] = static_cast<char>(after >> 8);
            }
        }
    }
    return out;
}

const std::vector<MirrorRow> kMirrorTable = {
    {8, 0x00, 0x80},      {8, 0x01, 0x7F},      {8, 0x40, 0x40},      {8, 0x7F, 0x01},
    {8, 0x80, 0x00},      {8, 0x81, 0xFF},      {8, 0xC0, 0xC0},      {8, 0xFF, 0x81},
    {16, 0x0000, 0x8000}, {16, 0x0001, 0x7FFF}, {16, 0x4000, 0x4000}, {16, 0x7FFF, 0x0001},
    {16, 0x8000, 0x0000}, {16, 0x8001, 0xFFFF}, {16, 0xC000, 0xC000}, {16, 0xFFFF, 0x8001},
};

std::string rowName(std::string_view description) {
    std::string name;
    bool gap = false;
    for (const char c : description) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 && static_cast<unsigned char>(c) < 0x80) {
            if (gap && !name.empty()) name += '_';
            name += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    return name;
}

std::string replaced(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

}  // namespace testing_support
