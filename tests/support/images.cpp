// The helpers that work the same on every platform: WAV images and whole files.
#include "support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::string le16(std::uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string le32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

std::string riffHeader(std::uint32_t riffLength) {
    return "RIFF" + le32(riffLength) + "WAVE";
}

std::string chunkHeader(std::string_view tag, std::uint32_t declared) {
    return std::string(tag) + le32(declared);
}

std::string chunk(std::string_view tag, std::string_view body) {
    return chunkHeader(tag, static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::string formatBody(const Format& f) {
    return le16(f.tag) + le16(f.channels) + le32(f.rate) + le32(f.average) + le16(f.align) +
           le16(f.bits);
}

std::string riffWrap(std::string_view chunks) {
    return riffHeader(static_cast<std::uint32_t>(chunks.size() + 4)) + std::string(chunks);
}

std::string canonicalWav(const Format& f, std::string_view data) {
    return riffWrap(chunk("fmt ", formatBody(f)) + chunk("data", data));
}

std::string noise(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string bytesOf(const WavInfo& info) {
    return {reinterpret_cast<const char*>(info.data.get()), info.dataLength};
}

bool sameFiles(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::string ba(1 << 20, '\0'), bb(1 << 20, '\0');
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || ba.compare(0, static_cast<std::size_t>(fa.gcount()), bb, 0,
                                                     static_cast<std::size_t>(fb.gcount())) != 0) {
            return false;
        }
    }
    return fa.eof() && fb.eof();
}

std::string programPath(const fs::path& p) {
    const std::u8string bytes = p.u8string();
    return {bytes.begin(), bytes.end()};
}

void writeFile(const fs::path& p, std::string_view bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + p.string());
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> listDir(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace testing_support
