#include "wav/wav_write.h"

#include <sys/types.h>

#include <array>
#include <cstring>
#include <limits>

#include "scramble/scramble.h"
#include "sys/console.h"
#include "text/messages.h"
#include "output/output_file.h"

namespace {

void putTag(std::uint8_t* p, const char (&tag)[5]) { std::memcpy(p, tag, 4); }

}  // namespace

std::int32_t wavHeaderWrite(std::FILE* stream, const WavInfo& info) {
    std::array<std::uint8_t, kWavHeaderSize> header{};
    std::uint8_t* h = header.data();
    putTag(h + 0, "RIFF");
    wavPutLe32(h + 4, info.dataLength + 36u);  // the RIFF body: 44 - 8 header bytes + data
    putTag(h + 8, "WAVE");
    putTag(h + 12, "fmt ");
    wavPutLe32(h + 16, 16);
    wavPutLe16(h + 20, 1);  // PCM
    wavPutLe16(h + 22, info.channels);
    wavPutLe32(h + 24, info.sampleRate);
    wavPutLe32(h + 28, wavByteRate(info));
    wavPutLe16(h + 32, static_cast<std::uint16_t>(wavFrameSize(info)));
    wavPutLe16(h + 34, info.bitsPerSample);
    putTag(h + 36, "data");
    wavPutLe32(h + 40, info.dataLength);

    // Counted from where the output's writing began: a descriptor appended to (`3>>log`) may
    // start anywhere in its file.
    const off_t start = ftello(stream);
    const std::size_t written = std::fwrite(header.data(), header.size(), 1, stream);
    const off_t position = ftello(stream);
    if (start < 0 || position < 0) return written == 1 ? kWavHeaderSize : 0;
    if (position - start > std::numeric_limits<std::int32_t>::max()) return -1;
    return static_cast<std::int32_t>(position - start);
}

int wavDataWrite(OutputFile& out, WavInfo& info) {
    if (info.bitsPerSample == 8) wavScramble8(info);
    else wavScramble16(info);
    if (info.dataLength != 0 &&
        (info.data == nullptr || outputWriteBulk(out, info.data.get(), info.dataLength) != 0)) {
        printMessage(stderr, msg::kWriteFailed.c_str());
        return -1;
    }
    return 0;
}

int wavFileWrite(const char* path, WavInfo& info) {
    OutputFile out;
    if (outputOpen(path, out) != 0) {
        printMessage(stderr, msg::kOutputOpenFailed.c_str(), path);
        return -1;
    }
    if (wavHeaderWrite(out.stream, info) != kWavHeaderSize) {
        printMessage(stderr, msg::kHeaderFailed.c_str(), path);
        return -1;
    }
    if (wavDataWrite(out, info) != 0) {
        printMessage(stderr, msg::kDataWriteFailed.c_str());
        return -1;
    }
    // Buffered bytes can still fail to reach the file when it is flushed and closed, and the
    // file can still fail to take its name.
    if (outputCommit(out) != 0) {
        printMessage(stderr, msg::kWriteFailed.c_str());
        return -1;
    }
    return 0;
}
