// End to end: what the program prints, on which stream, and its exit status, for inputs it
// accepts and for each way an input can be refused.
#include <gtest/gtest.h>

#include "support/support.h"

namespace {

using namespace testing_support;

// One row of the report table, run twice: from a file, then from a pipe (the same bytes on
// stdin as /dev/stdin, which cannot seek). The report, the status and the output are the same
// but for the name.
class ReportTable : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTable, PrintsExactlyItsTextsOnTheirStreamsWithItsStatus) {
    const ReportCase& c = GetParam();
    ScratchDir dir;
    writeFile(dir / "in.wav", c.file);
    const RunResult r = runVelto({"in.wav", "out.wav"}, {.workDir = dir.path});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, toCp932(c.out));
    EXPECT_EQ(r.err, toCp932(c.err));
    EXPECT_EQ(fs::exists(dir / "out.wav"), c.status == 0);
    const std::string fromFile = c.status == 0 ? readFile(dir / "out.wav") : "";

    fs::remove(dir / "out.wav");
    const RunResult p = runVelto({"/dev/stdin", "out.wav"}, {.workDir = dir.path, .stdinPipe = c.file});
    EXPECT_EQ(p.status, c.status) << "through a pipe";
    EXPECT_EQ(p.out, toCp932(replaced(c.out, "[in.wav]", "[/dev/stdin]"))) << "through a pipe";
    EXPECT_EQ(p.err, toCp932(c.err)) << "through a pipe";
    if (c.status == 0) {
        EXPECT_EQ(readFile(dir / "out.wav"), fromFile) << "through a pipe";
    }
}

INSTANTIATE_TEST_SUITE_P(Input, ReportTable, ::testing::ValuesIn(reportCases()),
                         [](const auto& row) { return rowName(row.param.name); });

TEST(Report, WrongArgumentCountPrintsUsageAndTouchesNoFile) {
    const std::string usage =
        "WAV ファイルを暗号化します.\n\n"
        "引数に <入力ファイル名> <出力ファイル名>を指定してください.\n\n"
        "例 : velto  foo.wav  out.wav\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"in.wav"}, {"in.wav", "out.wav", "more.wav"}}) {
        ScratchDir dir;
        writeFile(dir / "in.wav", canonicalWav(kStereo16, "abcd"));
        const RunResult r = runVelto(args, {.workDir = dir.path});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, toCp932(usage));
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"in.wav"});
        EXPECT_EQ(readFile(dir / "in.wav"), canonicalWav(kStereo16, "abcd"));
    }
}

TEST(Report, MissingInputIsNamedOnStderrOnly) {
    ScratchDir dir;
    const RunResult r = runVelto({"none.wav", "out.wav"}, {.workDir = dir.path});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, toCp932(" none.wavをオープンできません.\n"));
    EXPECT_TRUE(listDir(dir.path).empty());
}

TEST(Report, FileNamesArePrintedByteForByteAndNeverAsFormats) {
    ScratchDir dir;
    const std::string in = "in %s%n\xff\x81 .wav";
    const std::string out = "out %d\xfe.wav";
    writeFile(dir / in, canonicalWav(kStereo16, "abcd"));
    const RunResult r = runVelto({in, out}, {.workDir = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(toCp932("\nファイル名[") + in + "]\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with(toCp932("\n[") + in + toCp932("] を [") + out + toCp932("] へ変換しました.\n")));

    const RunResult missing = runVelto({"gone %s.wav", out}, {.workDir = dir.path});
    EXPECT_EQ(missing.err, toCp932(" gone %s.wavをオープンできません.\n"));
}

}  // namespace
