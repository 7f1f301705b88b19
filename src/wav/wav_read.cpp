#include "wav/wav_read.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "sys/console.h"
#include "text/messages.h"
#include "sys/input_file.h"

namespace {

struct FileClose {
    void operator()(std::FILE* f) const noexcept { inputFileClose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileClose>;

bool tagIs(const std::uint8_t* tag, const char (&name)[5]) {
    return std::memcmp(tag, name, 4) == 0;
}

// Reads up to `n` bytes, those given back first; returns how many were read.
std::size_t wavInputRead(WavInput& input, std::uint8_t* to, std::size_t n) {
    const std::size_t early = std::min(n, input.aheadLength);
    std::memcpy(to, input.ahead, early);
    std::memmove(input.ahead, input.ahead + early, input.aheadLength - early);
    input.aheadLength -= early;
    if (early == n) return n;
    return early + inputFileRead(input.stream, to + early, n - early);
}

// Gives back `n` bytes (at most 16 in all) to be read again before anything else.
void wavInputUnread(WavInput& input, const std::uint8_t* bytes, std::size_t n) {
    std::memmove(input.ahead + n, input.ahead, input.aheadLength);
    std::memcpy(input.ahead, bytes, n);
    input.aheadLength += n;
}

// Passes over `n` bytes, or to the end of the input when fewer are left. A pipe has its bytes
// read and dropped in small pieces: nothing is held but one piece.
void wavInputSkip(WavInput& input, std::uint64_t n) {
    const std::size_t early = static_cast<std::size_t>(std::min<std::uint64_t>(n, input.aheadLength));
    std::uint8_t dropped[sizeof input.ahead];
    wavInputRead(input, dropped, early);
    n -= early;
    if (n == 0) return;
    if (input.seekable && inputFileSeekForward(input.stream, n)) return;
    std::uint8_t piece[64 * 1024];
    while (n > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof piece));
        const std::size_t got = std::fread(piece, 1, want, input.stream);
        n -= got;
        if (got < want) return;
    }
}

// After a body of odd length, a NUL byte is the pad byte that the RIFF rule puts there, and is
// skipped. Any other byte begins the next chunk header, as in files written without padding:
// a chunk tag is four printable characters, so it never starts with NUL.
void skipPadByte(WavInput& input, std::uint32_t bodyLength) {
    if (bodyLength % 2 == 0) return;
    std::uint8_t next = 0;
    if (wavInputRead(input, &next, 1) == 1 && next != 0) wavInputUnread(input, &next, 1);
}

// Bytes between the input's position and the end of the file, or -1 when the input is not a
// regular file and its size is unknown.
long long wavInputBytesLeft(const WavInput& input) {
    const long long inFile = inputFileBytesLeft(input.stream);
    return inFile < 0 ? -1 : inFile + static_cast<long long>(input.aheadLength);
}

// Loads the body of a data chunk whose header has just been read. False when it cannot be
// loaded, after writing the message that says why.
bool readDataChunk(WavInput& input, std::uint32_t length, WavInfo& info) {
    info.dataLength = length;
    printMessage(stderr, msg::kDataLength.c_str(), static_cast<unsigned long>(length));
    // Only the last data chunk is kept: an earlier one's buffer goes before the next is taken.
    info.data.reset();
    if (length == 0) return true;
    // A length beyond the end of the file can only come up short; refuse it before it costs
    // any memory. A pipe's length is believed: the buffer's pages are only touched as its
    // bytes arrive, so memory follows what is actually delivered.
    const long long left = wavInputBytesLeft(input);
    if (left >= 0 && length > left) {
        printMessage(stderr, msg::kReadFailed.c_str());
        return false;
    }
    info.data = wavBufferAllocate(length, left >= 0);
    if (!info.data) {
        printMessage(stderr, msg::kNoMemory.c_str());
        return false;
    }
    if (wavInputRead(input, info.data.get(), length) != length) {
        printMessage(stderr, msg::kReadFailed.c_str());
        info.data.reset();
        return false;
    }
    return true;
}

// A chunk tag as it is shown on the console: control bytes, which could drive the terminal,
// are shown as '?'; every other byte, CP932 included, as it is.
char shownTagByte(std::uint8_t b) { return b < 0x20 || b == 0x7F ? '?' : static_cast<char>(b); }

void reportPlayingTime(const WavInfo& info) {
    // The stored average is what the file claims; where it claims nothing, the rate implied
    // by the format stands in for it.
    const std::uint32_t rate = info.bytesPerSecond != 0 ? info.bytesPerSecond : wavByteRate(info);
    const double seconds =
        rate == 0 ? 0.0
                  : static_cast<double>(static_cast<long double>(info.dataLength) / rate);
    printMessage(stdout, msg::kPlayingTime.c_str(), seconds);
}

}  // namespace

int wavFmtRead(WavInput& input, WavFmt& fmt) {
    if (wavInputRead(input, fmt.bytes, sizeof fmt.bytes) != sizeof fmt.bytes) return -1;
    fmt.formatTag = wavGetLe16(fmt.bytes + 0);
    fmt.channels = wavGetLe16(fmt.bytes + 2);
    fmt.samplesPerSec = wavGetLe32(fmt.bytes + 4);
    fmt.avgBytesPerSec = wavGetLe32(fmt.bytes + 8);
    fmt.blockAlign = wavGetLe16(fmt.bytes + 12);
    fmt.bitsPerSample = wavGetLe16(fmt.bytes + 14);

    printMessage(stdout, msg::kFormatTag.c_str(), unsigned{fmt.formatTag});
    printMessage(stdout, msg::kChannels.c_str(), unsigned{fmt.channels});
    printMessage(stdout, msg::kSampleRate.c_str(), static_cast<unsigned long>(fmt.samplesPerSec));
    printMessage(stdout, msg::kBytesPerSec.c_str(), static_cast<unsigned long>(fmt.avgBytesPerSec));
    printMessage(stdout, msg::kBlockAlign.c_str(), unsigned{fmt.blockAlign});
    printMessage(stdout, msg::kBitsPerSample.c_str(), unsigned{fmt.bitsPerSample});

    if (fmt.formatTag != 1) {
        printMessage(stderr, msg::kOnlyPcm.c_str());
        printMessage(stderr, msg::kFormatIs.c_str(), unsigned{fmt.formatTag});
        return -1;
    }
    if (fmt.bitsPerSample != 8 && fmt.bitsPerSample != 16) {
        printMessage(stderr, msg::kOnly8or16.c_str());
        printMessage(stderr, msg::kBitsAre.c_str(), int{fmt.bitsPerSample});
        return -1;
    }
    // A clip of no channels has no frames to scramble.
    if (fmt.channels == 0) {
        printMessage(stderr, msg::kOnlyChannels.c_str());
        printMessage(stderr, msg::kChannelsAre.c_str(), unsigned{fmt.channels});
        return -1;
    }
    return 0;
}

int wavFileRead(const char* path, WavInfo& info) {
    info.data.reset();
    InputFile in(inputFileOpen(path));
    if (!in) {
        printMessage(stderr, msg::kInputOpenFailed.c_str(), path);
        return -1;
    }
    WavInput input;
    input.stream = in.get();
    input.seekable = inputFileSeekable(input.stream);
    printMessage(stdout, msg::kFileName.c_str(), path);

    std::uint8_t riff[12];
    const std::size_t riffRead = wavInputRead(input, riff, sizeof riff);
    if (riffRead != sizeof riff) {
        printMessage(stderr, msg::kReadFailedAt.c_str(), static_cast<long long>(riffRead));
        return -1;
    }
    if (!tagIs(riff + 8, "WAVE")) {
        printMessage(stderr, msg::kNoWave.c_str());
        return -1;
    }
    if (!tagIs(riff, "RIFF")) {
        printMessage(stderr, msg::kNotRiff.c_str());
        return -1;
    }

    bool haveFmt = false;
    bool haveData = false;
    // Every pass consumes a whole 8-byte header, so the walk always moves forward and ends
    // when the input has no full header left.
    std::uint8_t header[8];
    while (wavInputRead(input, header, sizeof header) == sizeof header) {
        const std::uint32_t length = wavGetLe32(header + 4);
        if (tagIs(header, "fmt ")) {
            printMessage(stderr, msg::kFmtLength.c_str(), static_cast<unsigned long>(length));
            WavFmt fmt;
            if (wavFmtRead(input, fmt) != 0) return -1;
            info.sampleRate = fmt.samplesPerSec;
            info.bitsPerSample = fmt.bitsPerSample;
            info.channels = fmt.channels;
            info.bytesPerSecond = fmt.avgBytesPerSec;
            haveFmt = true;
            // The walk resumes at the declared end of the body: past the bytes after the 16
            // read, or, for a shorter chunk, back among them.
            if (length >= sizeof fmt.bytes) {
                wavInputSkip(input, length - sizeof fmt.bytes);
            } else {
                wavInputUnread(input, fmt.bytes + length, sizeof fmt.bytes - length);
            }
        } else if (tagIs(header, "data")) {
            if (!readDataChunk(input, length, info)) return -1;
            haveData = true;
        } else {
            printMessage(stdout, msg::kChunkLength.c_str(), shownTagByte(header[0]), shownTagByte(header[1]),
                shownTagByte(header[2]), shownTagByte(header[3]), static_cast<unsigned long>(length));
            wavInputSkip(input, length);
        }
        skipPadByte(input, length);
    }
    in.reset();

    if (!haveFmt) {
        printMessage(stderr, msg::kNoFmt.c_str());
        return -1;
    }
    if (!haveData) {
        printMessage(stderr, msg::kNoData.c_str());
        return -1;
    }
    reportPlayingTime(info);
    return 0;
}
