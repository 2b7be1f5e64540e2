#include "cli/options.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace taln::cli {
namespace {

// Plain decimal seconds and nothing else: strtod would take hex, "inf" and leading spaces.
TEST(Options, NumbersArePlainDecimals) {
    struct Row {
        const char* text;
        bool signedNumber;
        std::optional<double> value;
    };
    const Row rows[] = {
        {"0.5", false, 0.5},  {".5", false, 0.5},   {"2.", false, 2.0},   {"1e-3", false, 1e-3},
        {"2E+2", false, 200}, {"-16", true, -16.0}, {"+60", true, 60.0},  {"-16", false, {}},
        {"0x10", false, {}},  {"inf", true, {}},    {"nan", true, {}},    {" 5", false, {}},
        {"5 ", false, {}},    {"1e", false, {}},    {"1e999", false, {}}, {".", false, {}},
        {"", false, {}},      {"1,5", false, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(parseDecimal(row.text, row.signedNumber), row.value) << '"' << row.text << '"';
    }
    EXPECT_EQ(parseStretch("1e-3-0.1"), std::make_pair(1e-3, 0.1));
    EXPECT_EQ(parseStretch("0.5-3.5"), std::make_pair(0.5, 3.5));
    for (const char* bad : {"0x10-0x20", "1-1", "3-1", "-1-2", "1-", "1e-3", "1--2", "1-2-3"}) {
        EXPECT_THROW(parseStretch(bad), UsageError) << bad;
    }
}

Options parsed(const std::vector<std::string>& arguments) {
    Options options;
    EXPECT_EQ(parse(arguments, options), Request::clean);
    return options;
}

TEST(Options, FormsAndFormats) {
    const Options single = parsed({"--strength=35", "-j3", "--noise-from", "1e-3-0.1", "in.mp3",
                                   "--removed", "r.FLAC", "out.flac"});
    EXPECT_EQ(single.strength, 35.0);
    EXPECT_EQ(single.jobs, 3);
    EXPECT_EQ(single.format, Format::flac);
    EXPECT_EQ(single.input, "in.mp3");
    EXPECT_EQ(single.removed, "r.FLAC");
    EXPECT_FALSE(single.folder);
    const Options batch = parsed({"--format", "video", "-o", "out", "a.mp4", "--", "-b.mov"});
    EXPECT_EQ(batch.format, Format::video);
    EXPECT_EQ(batch.inputs, (std::vector<std::filesystem::path>{"a.mp4", "-b.mov"}));
    EXPECT_EQ(parsed({"in.wav", "clip.MKV"}).format, Format::video);
    EXPECT_EQ(parsed({"--format", "m4a", "-", "-"}).format, Format::m4a);
    Options options;
    EXPECT_EQ(parse({"in.wav", "--version", "--bogus"}, options), Request::version);
}

// Numbers that strtod would take, options that do not go together, and --removed naming OUTPUT
// through a hard link once OUTPUT exists (taln-clean's own tests cover the other usage errors).
TEST(Options, UsageErrors) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--strength", "0x10", "in.wav", "out.wav"},
             {"--strength", " 50", "in.wav", "out.wav"},
             {"--loudness", "-1e3", "in.wav", "out.wav"},
             {"--float", "a.wav", "--format", "flac", "-o", "x"},
             {"--removed", "r.wav", "a.wav", "-o", "x"},
             {"-", "-o", "x"},
             {"--hum", "sometimes", "in.wav", "out.wav"},
             {"--format", "wav", "in.wav", "out.wav"},
             // Two names of a file not made yet, relative.
             {"--removed", "./taln-not-made.wav", "in.wav", "taln-not-made.wav"},
         }) {
        Options options;
        EXPECT_THROW(parse(arguments, options), UsageError) << arguments[1];
    }
    const auto folder = std::filesystem::temp_directory_path() /
                        ("taln_options_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto out = (folder / "out.wav").string();
    std::ofstream(folder / "out.wav") << "RIFF";
    std::filesystem::create_hard_link(folder / "out.wav", folder / "hard.wav");
    Options options;
    EXPECT_THROW(parse({"--removed", (folder / "hard.wav").string(), "in.wav", out}, options),
                 UsageError);
    EXPECT_EQ(parsed({"--removed", (folder / "r.wav").string(), "in.wav", out}).removed,
              folder / "r.wav");
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace taln::cli
