// Whatever the input or the console, velto ends, keeps its memory to what the file justifies,
// and reports a finished conversion as finished.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "support/round_trip.h"
#include "support/seeds.h"
#include "support/support.h"

namespace {

using namespace testing_support;


struct Console {
    const char* name;
    RunOptions options;  // the work directory is filled in by the test
};

void PrintTo(const Console& row, std::ostream* os) { *os << row.name; }

class FailingConsole : public ::testing::TestWithParam<Console> {};

TEST_P(FailingConsole, DoesNotChangeTheOutcome) {
    ScratchDir dir;
    const std::string clip = canonicalWav(kStereo16, noise(20000));
    writeFile(dir / "in.wav", clip);
    RunOptions options = GetParam().options;
    options.workDir = dir.path;
    EXPECT_EQ(runVelto({"in.wav", "out.wav"}, options).status, 0);
    EXPECT_EQ(runVelto({"out.wav", "back.wav"}, options).status, 0);
    EXPECT_EQ(readFile(dir / "back.wav"), clip);
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"back.wav", "in.wav", "out.wav"}));
    // A failure is still a failure with no console to say so.
    EXPECT_EQ(runVelto({"missing.wav", "out.wav"}, options).status, 255);
}

INSTANTIATE_TEST_SUITE_P(Robustness, FailingConsole,
                         ::testing::Values(Console{"stdout closed", {.closeStdout = true}},
                                           Console{"stderr closed", {.closeStderr = true}},
                                           Console{"both closed", {.closeStdout = true, .closeStderr = true}},
                                           Console{"stdout full", {.stdoutPath = "/dev/full"}},
                                           Console{"stdout a pipe nobody reads", {.stdoutBrokenPipe = true}}),
                         [](const auto& row) { return rowName(row.param.name); });

struct Adversarial {
    std::string name;
    std::function<std::string()> file;  // made when the row runs, not when the tests are listed
    int status;
    bool piped = false;    // fed through a pipe, whose length velto cannot know
    long declaredKiB = 0;  // the data length declared where it is believed
};

const std::string kFmt = chunk("fmt ", formatBody(kStereo16));

std::vector<Adversarial> adversarialInputs() {
    auto bytes = [](std::string file) { return [=] { return file; }; };
    return {
        {"100 bytes declaring a 4 GiB data chunk",
         bytes(riffWrap(kFmt + chunkHeader("data", 0xFFFFFFFF) + std::string(100 - 44, 'x'))), 255},
        // Nothing left after the header: no byte of the clip can come, so no buffer is taken.
        {"a data header at the very end declaring 1 GiB", bytes(riffWrap(kFmt + chunkHeader("data", 1u << 30))),
         255},
        {"a chain of zero-length chunks",
         [] {
             std::string zeroChunks;
             for (int i = 0; i < 200000; ++i) zeroChunks += chunkHeader("zero", 0);
             return riffWrap(kFmt + chunk("data", "abcd") + zeroChunks);
         },
         0},
        {"a tail of zeros", [] { return riffWrap(kFmt + chunk("data", "abcd")) + std::string(1 << 20, '\0'); }, 0},
        {"an unknown chunk claiming 0xFFFFFFFF bytes",
         bytes(riffWrap(kFmt + chunkHeader("junk", 0xFFFFFFFF) + chunk("data", "abcd"))), 255},
        {"format chunk claiming 0xFFFFFFFF bytes",
         bytes(riffWrap(chunk("data", "abcd") + chunkHeader("fmt ", 0xFFFFFFFF) + formatBody(kStereo16))), 0},
        {"a 48 MiB clip", [] { return canonicalWav(kStereo16, noise(48u << 20)); }, 0},
        {"a pipe declaring 2 GiB of data and delivering 100 bytes",
         bytes(riffWrap(kFmt + chunkHeader("data", 2u << 30) + std::string(100, 'x'))), 255, true, 2 << 20},
    };
}

void PrintTo(const Adversarial& row, std::ostream* os) { *os << row.name; }

class AdversarialInput : public ::testing::TestWithParam<Adversarial> {};

TEST_P(AdversarialInput, EndsAndCostsNoMoreMemoryThanTheFile) {
    const Adversarial& c = GetParam();
    const std::string file = c.file();
    ScratchDir dir;
    writeFile(dir / "tiny.wav", canonicalWav(kStereo16, "abcd"));
    const long baseline = runVelto({"tiny.wav", "tiny-out.wav"}, {.workDir = dir.path}).maxRssKiB;
    writeFile(dir / "in.wav", file);
    RunOptions options{.workDir = dir.path};
    if (c.piped) options.stdinPipe = file;
    // Outside the sanitizers, the heap is capped too: a buffer beyond the file, or a second
    // copy of the samples, cannot be had. A pipe's declared length is believed, so there only
    // the pages actually filled count.
    if (!kSanitizedBuild && !c.piped) options.dataLimit = static_cast<long long>(file.size()) + (16 << 20);
    const RunResult r = runVelto({c.piped ? "/dev/stdin" : "in.wav", "/dev/null"}, options);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.find(toCp932("メモリが確保できません")), std::string::npos);
    if (c.piped) {
        EXPECT_TRUE(r.err.ends_with(toCp932("[bytes]\n" + kReadFailed))) << r.err;
    }
    const long fileKiB = static_cast<long>(file.size() / 1024);
    // AddressSanitizer keeps one shadow byte for every eight of the heap.
    const long shadowKiB = kSanitizedBuild ? (fileKiB + c.declaredKiB) / 8 : 0;
    EXPECT_LE(r.maxRssKiB, baseline + fileKiB + shadowKiB + 4096)
        << "peak " << r.maxRssKiB << " KiB, baseline " << baseline << " KiB";
    std::cout << "  peak memory: " << r.maxRssKiB << " KiB (file " << fileKiB << " KiB, baseline "
              << baseline << " KiB)\n";
}

INSTANTIATE_TEST_SUITE_P(Robustness, AdversarialInput, ::testing::ValuesIn(adversarialInputs()),
                         [](const auto& row) { return rowName(row.param.name); });

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
