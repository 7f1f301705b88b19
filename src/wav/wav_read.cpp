#include "wav/wav_read.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "text/console.h"
#include "text/messages.h"

namespace {

struct FileClose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileClose>;

bool tagIs(const std::uint8_t* tag, const char (&name)[5]) {
    return std::memcmp(tag, name, 4) == 0;
}

// Bytes between the stream's position and the end of the file, or -1 when the input is not a
// regular file and its size is unknown.
long long bytesLeft(std::FILE* stream) {
    struct stat st {};
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const off_t pos = ftello(stream);
    if (pos < 0) return -1;
    return pos >= st.st_size ? 0 : static_cast<long long>(st.st_size - pos);
}

// Moves to `bodyStart + length`, where the next chunk header is expected. Positions are
// 64-bit, so no length can wrap the target back before the body. Where the seek fails (a
// pipe), the walk goes on from the current position, which still lies ahead.
void skipTo(std::FILE* stream, off_t bodyStart, std::uint32_t length) {
    if (bodyStart < 0) return;
    fseeko(stream, bodyStart + static_cast<off_t>(length), SEEK_SET);
}

// Loads the body of a data chunk whose header has just been read. Returns 0 or -1.
int readDataChunk(std::FILE* stream, std::uint32_t length, WavInfo& info) {
    info.dataLength = length;
    say(stderr, msg::kDataLength.c_str(), static_cast<unsigned long>(length));
    // Only the last data chunk is kept: an earlier one's buffer goes before the next is taken.
    info.data.reset();
    if (length == 0) return 0;
    // A length beyond the end of the file can only come up short; refuse it before it costs
    // any memory.
    const long long left = bytesLeft(stream);
    if (left >= 0 && length > left) {
        say(stderr, msg::kReadFailed.c_str());
        return -1;
    }
    info.data = wavBufferAllocate(length);
    if (!info.data) {
        say(stderr, msg::kNoMemory.c_str());
        return -1;
    }
    if (std::fread(info.data.get(), length, 1, stream) != 1) {
        say(stderr, msg::kReadFailed.c_str());
        info.data.reset();
        return -1;
    }
    return 0;
}

void reportPlayingTime(const WavInfo& info) {
    // The stored average is what the file claims; where it claims nothing, the rate implied
    // by the format stands in for it.
    const std::uint32_t rate = info.bytesPerSecond != 0 ? info.bytesPerSecond : wavByteRate(info);
    const double seconds =
        rate == 0 ? 0.0
                  : static_cast<double>(static_cast<long double>(info.dataLength) / rate);
    say(stdout, msg::kPlayingTime.c_str(), seconds);
}

}  // namespace

int wavFmtRead(std::FILE* stream, WavFmt& fmt) {
    std::uint8_t body[16];
    if (std::fread(body, sizeof body, 1, stream) != 1) return -1;
    fmt.formatTag = wavGetLe16(body + 0);
    fmt.channels = wavGetLe16(body + 2);
    fmt.samplesPerSec = wavGetLe32(body + 4);
    fmt.avgBytesPerSec = wavGetLe32(body + 8);
    fmt.blockAlign = wavGetLe16(body + 12);
    fmt.bitsPerSample = wavGetLe16(body + 14);

    say(stdout, msg::kFormatTag.c_str(), unsigned{fmt.formatTag});
    say(stdout, msg::kChannels.c_str(), unsigned{fmt.channels});
    say(stdout, msg::kSampleRate.c_str(), static_cast<unsigned long>(fmt.samplesPerSec));
    say(stdout, msg::kBytesPerSec.c_str(), static_cast<unsigned long>(fmt.avgBytesPerSec));
    say(stdout, msg::kBlockAlign.c_str(), unsigned{fmt.blockAlign});
    say(stdout, msg::kBitsPerSample.c_str(), unsigned{fmt.bitsPerSample});

    if (fmt.formatTag != 1) {
        say(stderr, msg::kOnlyPcm.c_str());
        say(stderr, msg::kFormatIs.c_str(), unsigned{fmt.formatTag});
        return -1;
    }
    if (fmt.bitsPerSample != 8 && fmt.bitsPerSample != 16) {
        say(stderr, msg::kOnly8or16.c_str());
        say(stderr, msg::kBitsAre.c_str(), int{fmt.bitsPerSample});
        return -1;
    }
    // A clip of no channels has no frames to scramble.
    if (fmt.channels == 0) {
        say(stderr, msg::kOnlyChannels.c_str());
        say(stderr, msg::kChannelsAre.c_str(), unsigned{fmt.channels});
        return -1;
    }
    return 0;
}

int wavFileRead(const char* path, WavInfo& info) {
    info.data.reset();
    InputFile in(std::fopen(path, "rb"));
    if (!in) {
        say(stderr, msg::kInputOpenFailed.c_str(), path);
        return -1;
    }
    std::FILE* stream = in.get();
    say(stdout, msg::kFileName.c_str(), path);

    std::uint8_t riff[12];
    if (std::fread(riff, sizeof riff, 1, stream) != 1) {
        say(stderr, msg::kReadFailedAt.c_str(), static_cast<long long>(ftello(stream)));
        return -1;
    }
    if (!tagIs(riff + 8, "WAVE")) {
        say(stderr, msg::kNoWave.c_str());
        return -1;
    }
    if (!tagIs(riff, "RIFF")) {
        say(stderr, msg::kNotRiff.c_str());
        return -1;
    }

    bool haveFmt = false;
    bool haveData = false;
    // Every pass consumes a whole 8-byte header, so the walk always moves forward and ends
    // when the file has no full header left.
    std::uint8_t header[8];
    while (std::fread(header, sizeof header, 1, stream) == 1) {
        const std::uint32_t length = wavGetLe32(header + 4);
        if (tagIs(header, "fmt ")) {
            say(stderr, msg::kFmtLength.c_str(), static_cast<unsigned long>(length));
            const off_t bodyStart = ftello(stream);
            WavFmt fmt;
            if (wavFmtRead(stream, fmt) != 0) return -1;
            info.sampleRate = fmt.samplesPerSec;
            info.bitsPerSample = fmt.bitsPerSample;
            info.channels = fmt.channels;
            info.bytesPerSecond = fmt.avgBytesPerSec;
            haveFmt = true;
            skipTo(stream, bodyStart, length);
        } else if (tagIs(header, "data")) {
            if (readDataChunk(stream, length, info) != 0) return -1;
            haveData = true;
        } else {
            say(stdout, msg::kChunkLength.c_str(), header[0], header[1], header[2], header[3],
                static_cast<unsigned long>(length));
            skipTo(stream, ftello(stream), length);
        }
    }
    in.reset();

    if (!haveFmt) {
        say(stderr, msg::kNoFmt.c_str());
        return -1;
    }
    if (!haveData) {
        say(stderr, msg::kNoData.c_str());
        return -1;
    }
    reportPlayingTime(info);
    return 0;
}
