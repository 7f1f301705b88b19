#include "round_trip.h"

#include <cstdio>

#include "support/support.h"
#include "wav/wav_read.h"
#include "wav/wav_write.h"

using testing_support::readFile;
using testing_support::writeFile;

std::string roundTripCheck(const std::uint8_t* bytes, std::size_t size, const std::string& scratchDir,
                           bool* converted) {
    if (converted != nullptr) *converted = false;
    const std::string in = scratchDir + "/in.wav";
    const std::string out = scratchDir + "/out.wav";
    const std::string back = scratchDir + "/back.wav";
    std::remove(out.c_str());
    std::remove(back.c_str());
    writeFile(in, {reinterpret_cast<const char*>(bytes), size});

    WavInfo info;
    if (wavFileRead(in.c_str(), info) != 0) {
        return fs::exists(out) ? "a failed read left an output" : "";
    }
    if (info.dataLength != 0 && info.data == nullptr) return "read succeeded without data";
    const std::string original(reinterpret_cast<const char*>(info.data.get()), info.dataLength);
    if (wavFileWrite(out.c_str(), info) != 0) return "writing a read clip failed";
    if (converted != nullptr) *converted = true;

    const std::string scrambled = readFile(out);
    if (scrambled.size() != 44 + original.size()) return "output has the wrong size";

    // Writing leaves the format fields of the record as they were read.
    WavInfo again;
    if (wavFileRead(out.c_str(), again) != 0) return "the output cannot be read back";
    if (again.sampleRate != info.sampleRate || again.bitsPerSample != info.bitsPerSample ||
        again.channels != info.channels || again.dataLength != info.dataLength) {
        return "the output describes another format";
    }
    if (wavFileWrite(back.c_str(), again) != 0) return "writing the output again failed";

    const std::string restored = readFile(back);
    if (restored.size() != scrambled.size()) return "restored file has the wrong size";
    if (restored.compare(0, 44, scrambled, 0, 44) != 0) return "header not kept";
    if (restored.compare(44, std::string::npos, original) != 0) return "the data chunk was not restored";
    return "";
}
