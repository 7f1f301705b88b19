#include "round_trip.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "wav/wav_read.h"
#include "wav/wav_write.h"

namespace {

bool writeAll(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = size == 0 || std::fwrite(bytes, size, 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

std::vector<std::uint8_t> readAll(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    std::uint8_t block[65536];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) bytes.insert(bytes.end(), block, block + n);
    std::fclose(f);
    return bytes;
}

}  // namespace

std::string roundTripCheck(const std::uint8_t* bytes, std::size_t size, const std::string& scratchDir,
                           bool* converted) {
    if (converted != nullptr) *converted = false;
    const std::string in = scratchDir + "/in.wav";
    const std::string out = scratchDir + "/out.wav";
    const std::string back = scratchDir + "/back.wav";
    std::remove(out.c_str());
    std::remove(back.c_str());
    if (!writeAll(in, bytes, size)) return "cannot write the input";

    WavInfo info;
    if (wavFileRead(in.c_str(), info) != 0) {
        return access(out.c_str(), F_OK) != 0 ? "" : "a failed read left an output";
    }
    if (info.dataLength != 0 && info.data == nullptr) return "read succeeded without data";
    const std::vector<std::uint8_t> original(info.data.get(), info.data.get() + info.dataLength);
    const WavInfo format{info.sampleRate, info.bitsPerSample, info.dataLength, info.channels, 0, {}};
    if (wavFileWrite(out.c_str(), info) != 0) return "writing a read clip failed";
    if (converted != nullptr) *converted = true;

    const std::vector<std::uint8_t> scrambled = readAll(out);
    if (scrambled.size() != 44 + std::size_t{info.dataLength}) return "output has the wrong size";

    WavInfo again;
    if (wavFileRead(out.c_str(), again) != 0) return "the output cannot be read back";
    if (again.sampleRate != format.sampleRate || again.bitsPerSample != format.bitsPerSample ||
        again.channels != format.channels || again.dataLength != format.dataLength) {
        return "the output describes another format";
    }
    if (wavFileWrite(back.c_str(), again) != 0) return "writing the output again failed";

    const std::vector<std::uint8_t> restored = readAll(back);
    if (restored.size() != scrambled.size()) return "restored file has the wrong size";
    if (std::memcmp(restored.data(), scrambled.data(), 44) != 0) return "header not kept";
    if (!std::equal(original.begin(), original.end(), restored.begin() + 44)) {
        return "the data chunk was not restored";
    }
    return "";
}
