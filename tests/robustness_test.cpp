// Whatever the input or the console, velto ends, keeps its memory to what the file justifies,
// and reports a finished conversion as finished.
#include <gtest/gtest.h>

#include <iostream>

#include "../fuzz/round_trip.h"
#include "../fuzz/seeds.h"
#include "support/support.h"

namespace {

using namespace testing_support;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

const Format kStereo16{};

TEST(Robustness, AFailingConsoleDoesNotChangeTheOutcome) {
    struct Case {
        const char* name;
        RunOptions options;
    };
    ScratchDir dir;
    const std::string clip = canonicalWav(kStereo16, noise(20000));
    writeFile(dir / "in.wav", clip);
    const std::vector<Case> cases = {
        {"stdout closed", {.workDir = dir.path, .closeStdout = true}},
        {"stderr closed", {.workDir = dir.path, .closeStderr = true}},
        {"both closed", {.workDir = dir.path, .closeStdout = true, .closeStderr = true}},
        {"stdout full", {.workDir = dir.path, .stdoutPath = "/dev/full"}},
        {"stdout a pipe nobody reads", {.workDir = dir.path, .stdoutBrokenPipe = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "out.wav");
        fs::remove(dir / "back.wav");
        EXPECT_EQ(runVelto({"in.wav", "out.wav"}, c.options).status, 0);
        EXPECT_EQ(runVelto({"out.wav", "back.wav"}, c.options).status, 0);
        EXPECT_EQ(readFile(dir / "back.wav"), clip);
        EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"back.wav", "in.wav", "out.wav"}));
        // A failure is still a failure with no console to say so.
        EXPECT_EQ(runVelto({"missing.wav", "out.wav"}, c.options).status, 255);
    }
}

TEST(Robustness, AdversarialInputsEndAndCostNoMoreMemoryThanTheFile) {
    struct Case {
        const char* name;
        std::string file;
        int status;
        bool piped = false;  // fed through a pipe, whose length velto cannot know
        long declaredKiB = 0;  // the data length declared where it is believed
    };
    const std::string fmt = chunk("fmt ", formatBody(kStereo16));
    std::string zeroChunks;
    for (int i = 0; i < 200000; ++i) zeroChunks += chunkHeader("zero", 0);
    const std::string big = canonicalWav(kStereo16, noise(48u << 20));
    const std::vector<Case> cases = {
        {"100 bytes declaring a 4 GiB data chunk",
         riffWrap(fmt + chunkHeader("data", 0xFFFFFFFF) + std::string(100 - 44, 'x')), 255},
        {"a chain of zero-length chunks", riffWrap(fmt + chunk("data", "abcd") + zeroChunks), 0},
        {"a tail of zeros", riffWrap(fmt + chunk("data", "abcd")) + std::string(1 << 20, '\0'), 0},
        {"an unknown chunk claiming 0xFFFFFFFF bytes",
         riffWrap(fmt + chunkHeader("junk", 0xFFFFFFFF) + chunk("data", "abcd")), 255},
        {"format chunk claiming 0xFFFFFFFF bytes",
         riffWrap(chunk("data", "abcd") + chunkHeader("fmt ", 0xFFFFFFFF) + formatBody(kStereo16)), 0},
        {"a 48 MiB clip", big, 0},
        {"a pipe declaring 2 GiB of data and delivering 100 bytes",
         riffWrap(fmt + chunkHeader("data", 2u << 30) + std::string(100, 'x')), 255, true, 2 << 20},
    };

    ScratchDir dir;
    writeFile(dir / "tiny.wav", canonicalWav(kStereo16, "abcd"));
    const long baseline = runVelto({"tiny.wav", "tiny-out.wav"}, {.workDir = dir.path}).maxRssKiB;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "in.wav", c.file);
        RunOptions options{.workDir = dir.path};
        if (c.piped) options.stdinPipe = c.file;
        // Outside the sanitizers, the heap is capped too: a buffer beyond the file, or a
        // second copy of the samples, cannot be had. A pipe's declared length is believed, so
        // there only the pages actually filled count.
        if (!kSanitized && !c.piped) options.dataLimit = static_cast<long long>(c.file.size()) + (16 << 20);
        const RunResult r = runVelto({c.piped ? "/dev/stdin" : "in.wav", "/dev/null"}, options);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.find(sjis("メモリが確保できません")), std::string::npos);
        if (c.piped) {
            EXPECT_TRUE(r.err.ends_with(sjis("[bytes]\n読み込みに失敗しました.\n"))) << r.err;
        }
        const long fileKiB = static_cast<long>(c.file.size() / 1024);
        // AddressSanitizer keeps one shadow byte for every eight of the heap.
        const long shadowKiB = kSanitized ? (fileKiB + c.declaredKiB) / 8 : 0;
        EXPECT_LE(r.maxRssKiB, baseline + fileKiB + shadowKiB + 4096)
            << "peak " << r.maxRssKiB << " KiB, baseline " << baseline << " KiB";
        std::cout << "  peak memory, " << c.name << ": " << r.maxRssKiB << " KiB (file "
                  << fileKiB << " KiB, baseline " << baseline << " KiB)\n";
    }
}

TEST(Robustness, FuzzSeedsAndPastFailuresConvertAndRestore) {
    ScratchDir dir;
    auto check = [&](const std::string& name, const std::string& bytes) {
        bool converted = false;
        EXPECT_EQ(roundTripCheck(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                 dir.path.string(), &converted),
                  "")
            << name;
        return converted;
    };
    // The seeds: thirteen layouts that convert, eleven that the reader refuses.
    int converted = 0;
    for (const auto& [name, bytes] : fuzzSeeds()) converted += check(name, bytes) ? 1 : 0;
    EXPECT_EQ(converted, 13);
    // Every input that ever made the fuzz target fail.
    for (const auto& entry : fs::directory_iterator(fs::path(VELTO_SOURCE_DIR) / "fuzz" / "regressions")) {
        if (entry.path().extension() == ".md") continue;
        check(entry.path().filename().string(), readFile(entry.path()));
    }
}

}  // namespace
