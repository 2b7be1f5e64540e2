// The taln-clean command, run as a process from the build tree (<build>/cli/taln-clean, or
// the path in TALN_CLEAN).

#include "audio/audio_decoder.h"
#include "engine/cleaner.h"
#include "engine/noise_sample.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace taln {
namespace {

using test::TestFiles;

std::filesystem::path cleanCommand() {
    if (const char* path = std::getenv("TALN_CLEAN")) {
        return path;
    }
    // audio_tests lives in <build>/tests/audio, the command in <build>/cli.
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path() /
           "cli" / "taln-clean";
}

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs taln-clean with `arguments`, standard input read from `input` when one is given.
CommandResult runClean(const std::vector<std::string>& arguments,
                       const std::filesystem::path& input = {}) {
    const auto folder = TestFiles::shared().folder();
    const auto outPath = folder / "clean.stdout";
    const auto errPath = folder / "clean.stderr";
    const std::string command = cleanCommand().string();
    std::vector<char*> argv{const_cast<char*>(command.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!input.empty()) {
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, command.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CommandResult run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
}

// Speech-like bursts (a 170 Hz voice with two harmonics, syllables at 3 Hz) in the first
// half of every two seconds, over steady white noise on both channels. 170, 340 and 510 Hz
// stay off the multiples of 50 and 60 Hz, where the cleaner's hum notches sit.
const std::string kVoice = "(0.3*sin(2*PI*170*t)+0.15*sin(2*PI*340*t)+0.08*sin(2*PI*510*t))"
                           "*gt(sin(2*PI*3*t)\\,0.2)*gt(sin(2*PI*0.5*t)\\,0)";

std::filesystem::path noisyRecording() {
    return TestFiles::shared().make(
        "noisy_voice_170.m4a",
        "-f lavfi -i \"aevalsrc=" + kVoice + "|" + kVoice +
            ":s=44100:d=4\" -f lavfi -i \"anoisesrc=a=0.03:c=white:d=4:r=44100\" "
            "-filter_complex \"[1]asplit[a][b];[a][b]amerge=inputs=2[n];"
            "[0][n]amix=inputs=2:normalize=0\" -c:a aac -b:a 192k");
}

double rms(const Channel& channel, double fromSeconds, double toSeconds) {
    const auto from = static_cast<std::size_t>(fromSeconds * 44100.0);
    const auto to = std::min(channel.size(), static_cast<std::size_t>(toSeconds * 44100.0));
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sum += double(channel[i]) * channel[i];
    }
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

TEST(TalnClean, CleansANoisyRecordingEndToEnd) {
    const auto input = noisyRecording();
    const auto output = TestFiles::shared().freshFolder("clean_end_to_end") / "cleaned.wav";

    const CommandResult run = runClean({"--strength", "80", input.string(), output.string()});

    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const test::WavFormat format = test::readWavFormat(output);
    EXPECT_EQ(format.formatTag, 1);
    EXPECT_EQ(format.bitsPerSample, 16);
    const Channels original = AudioDecoder::decode(input);
    const Channels cleaned = AudioDecoder::decode(output);
    ASSERT_EQ(cleaned.size(), 2u);
    EXPECT_EQ(frameCount(cleaned), frameCount(original));
    for (std::size_t c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        // 1.2 to 1.8 s holds only the noise: it must drop by more than 10 dB.
        EXPECT_LT(rms(*cleaned[c], 1.2, 1.8), 0.316 * rms(*original[c], 1.2, 1.8));
        // 0.1 to 0.9 s holds the voice: it must stay (within 3 dB).
        EXPECT_GT(rms(*cleaned[c], 0.1, 0.9), 0.7 * rms(*original[c], 0.1, 0.9));
    }
}

// --hum chooses the reference engine's notches: auto those the noise sample holds, always all
// sixteen, off none. Each output must be the engine's own cleaning with that mask (to float
// rounding: the command cleans by pieces), and the default engine's its own with the noise track;
// --verbose names what auto found.
TEST(TalnClean, HumModesCleanWithTheirNotches) {
    const auto input = TestFiles::shared().make(
        "voice_hum_50.wav",
        "-f lavfi -i \"aevalsrc=" + kVoice +
            "+0.02*sin(2*PI*50*t)+0.01*sin(2*PI*150*t):s=44100:d=4\" "
            "-f lavfi -i \"anoisesrc=a=0.01:c=white:d=4:r=44100:seed=7\" "
            "-filter_complex \"[0][1]amix=inputs=2:normalize=0\" -c:a pcm_f32le");
    const Channel original = *AudioDecoder::decode(input).front();
    const NoiseSample noise = NoiseSample::measure(original, kSampleRate);
    ASSERT_NE(noise.hum & 1u, 0u) << "the 50 Hz line must be found in the pauses";
    const auto folder = TestFiles::shared().freshFolder("clean_hum_modes");
    struct Case {
        const char* mode;
        Cleaner::HumMask mask;
        const char* engine;
    };
    for (const Case& c :
         {Case{"auto", noise.hum, "reference"}, Case{"always", Cleaner::kAllHum, "reference"},
          Case{"off", Cleaner::kNoHum, "reference"}, Case{"auto", noise.hum, "adaptive"}}) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.engine);
        const bool adaptive = std::string(c.engine) == "adaptive";
        const auto output = folder / (std::string(c.mode) + c.engine + ".wav");
        const CommandResult run = runClean({"--float", "--verbose", "--hum", c.mode, "--engine",
                                            c.engine, input.string(), output.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("hum at 50") != std::string::npos, std::string(c.mode) == "auto")
            << run.err;
        const CancelToken token;
        const auto expected = Cleaner::clean(
            original, noise.profile, 0.6f, kSampleRate, token, c.mask,
            adaptive ? Cleaner::Engine::adaptive : Cleaner::Engine::reference, &noise.track);
        const Channel got = *AudioDecoder::decode(output).front();
        ASSERT_EQ(got.size(), expected->size());
        double error = 0.0;
        double power = 0.0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            error += (double(got[i]) - (*expected)[i]) * (double(got[i]) - (*expected)[i]);
            power += double((*expected)[i]) * (*expected)[i];
        }
        EXPECT_LT(std::sqrt(error / power), 1e-6);
    }
}

TEST(TalnClean, WritesTheFormatTheOutputNames) {
    const auto input = noisyRecording();
    const auto folder = TestFiles::shared().freshFolder("clean_formats");

    CommandResult run = runClean({"--float", input.string(), (folder / "cleaned.WAV").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const test::WavFormat format = test::readWavFormat(folder / "cleaned.WAV");
    EXPECT_EQ(format.formatTag, 3);
    EXPECT_EQ(format.bitsPerSample, 32);

    run = runClean({"--strength=0", input.string(), (folder / "cleaned.m4a").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto bytes = test::readBytes(folder / "cleaned.m4a");
    EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 12), "ftypM4A ");
    EXPECT_EQ(AudioDecoder::decode(folder / "cleaned.m4a").size(), 2u);

    const auto mono = TestFiles::shared().make(
        "mono_44100_noise.wav", "-f lavfi -i \"anoisesrc=a=0.1:d=1:r=44100\" -c:a pcm_s16le");
    run = runClean({mono.string(), (folder / "mono.wav").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::readWavFormat(folder / "mono.wav").channels, 1);
}

// What comes out is what went in: the source's rate, every channel in its layout, its depth
// (lossy as 16-bit), through files and through pipes. Channel c of each source holds a tone of
// its own at -12 - 6·c dBFS, sounding in the first half of every second, over white noise at
// -50 dBFS: every channel must keep its tone's level (within 2 dB: at 8 dB above the noise, the
// quietest tone loses a little with it) and lose noise in its pauses.
TEST(TalnClean, KeepsTheSourcesRateLayoutAndDepth) {
    struct Row {
        const char* name;
        int rate;
        const char* layout;
        int channels;
        const char* codec; // of the source
        const char* output;
        std::vector<std::string> options;
        bool pipe;         // INPUT - and OUTPUT -
        SampleDepth depth; // read back
    };
    const Row rows[] = {
        {"48k_stereo_s24.wav",
         48000,
         "stereo",
         2,
         "pcm_s24le",
         "out.wav",
         {},
         false,
         SampleDepth::int24},
        {"96k_mono_f32.wav",
         96000,
         "mono",
         1,
         "pcm_f32le",
         "out.flac",
         {},
         false,
         SampleDepth::int24},
        {"8k_mono_s16.wav", 8000, "mono", 1, "pcm_s16le", "out.m4a", {}, false, SampleDepth::lossy},
        {"48k_5.1_aac.m4a",
         48000,
         "5.1",
         6,
         "aac -b:a 384k",
         "out.wav",
         {},
         false,
         SampleDepth::int16},
        {"44k_stereo_s32.wav", 44100, "stereo", 2, "pcm_s32le", "-", {}, true, SampleDepth::int32},
        {"22k_stereo_s16.wav",
         22050,
         "stereo",
         2,
         "pcm_s16le",
         "-",
         {"--format", "flac"},
         true,
         SampleDepth::int16},
    };
    const auto folder = TestFiles::shared().freshFolder("clean_keeps_format");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string tones;
        for (int c = 0; c < row.channels; ++c) {
            if (c > 0) {
                tones += '|';
            }
            tones += std::to_string(std::pow(10.0, (-12.0 - 6.0 * c) / 20.0));
            // A 5.1 source's LFE (channel 3) holds what an LFE holds: 70 Hz, under AAC's 120 Hz
            // low-pass for it and off the hum notches.
            const bool effects = row.channels == 6 && c == 3;
            tones += "*sqrt(2)*sin(2*PI*" + std::to_string(effects ? 70 : 300 + 110 * c);
            tones += "*t)*gt(sin(2*PI*t)\\,0)";
        }
        // The same noise in every channel (an upmix would leave some of them silent).
        std::string spread = row.layout;
        for (int c = 0; c < row.channels; ++c) {
            spread += "|c" + std::to_string(c) + "=c0";
        }
        const std::string rate = std::to_string(row.rate);
        const auto input = TestFiles::shared().make(
            row.name, "-f lavfi -i \"aevalsrc=" + tones + ":s=" + rate + ":d=6:c=" + row.layout +
                          "\" -f lavfi -i \"anoisesrc=a=0.0045:c=white:d=6:r=" + rate +
                          "\" -filter_complex \"[1]pan=" + spread +
                          "[n];[0][n]amix=inputs=2:normalize=0,aformat=channel_layouts=" +
                          row.layout + "\" -c:a " + row.codec);
        std::vector<std::string> arguments = row.options;
        arguments.push_back(row.pipe ? "-" : input.string());
        arguments.push_back(row.pipe ? "-" : (folder / row.output).string());
        const CommandResult run = runClean(arguments, row.pipe ? input : std::filesystem::path());
        ASSERT_EQ(run.status, 0) << run.err;
        const auto written = row.pipe ? folder / "piped" : folder / row.output;
        if (row.pipe) {
            test::writeBytes(written, std::vector<std::uint8_t>(run.out.begin(), run.out.end()));
        }
        const AudioDecoder::Decoded in = AudioDecoder::decodeFile(input);
        const AudioDecoder::Decoded out = AudioDecoder::decodeFile(written);
        EXPECT_EQ(out.format.sampleRate, row.rate);
        EXPECT_EQ(out.format.channelMask, in.format.channelMask);
        EXPECT_EQ(out.format.depth, row.depth);
        ASSERT_EQ(out.channels.size(), in.channels.size());
        const auto level = [&](const Channel& x, double offset) {
            // Seconds 1 to 5, the halves `offset` into every second (0: tone, 0.5: pause).
            double sum = 0.0;
            std::int64_t count = 0;
            for (int second = 1; second < 5; ++second) {
                const auto from = static_cast<std::size_t>((second + offset + 0.1) * row.rate);
                const auto to = static_cast<std::size_t>((second + offset + 0.4) * row.rate);
                for (std::size_t i = from; i < std::min(to, x.size()); ++i, ++count) {
                    sum += double(x[i]) * x[i];
                }
            }
            return 10.0 * std::log10(sum / double(std::max<std::int64_t>(count, 1)) + 1e-30);
        };
        for (std::size_t c = 0; c < in.channels.size(); ++c) {
            SCOPED_TRACE("channel " + std::to_string(c));
            EXPECT_NEAR(level(*out.channels[c], 0.0), level(*in.channels[c], 0.0), 2.0);
            // An LFE's pauses hold only what AAC leaves of the noise under 120 Hz, near -70 dBFS.
            if (!(row.channels == 6 && c == 3)) {
                EXPECT_LT(level(*out.channels[c], 0.5), level(*in.channels[c], 0.5) - 6.0);
            }
        }
    }
}

// A hole of a second in a video's sound stays a second of silence, so that the sound after
// it plays with its picture (within 20 ms), and the warning says where the hole was.
TEST(TalnClean, AHoleInAVideosSoundStaysSilentAndInStep) {
    const auto input = TestFiles::shared().make(
        "hole_2s_1s.mkv",
        "-f lavfi -i \"testsrc=size=160x120:rate=25:d=5\" -f lavfi -i "
        "\"aevalsrc=0.5*sin(2*PI*440*t)*gte(t\\,2.5):s=48000:d=4\" "
        "-filter:a \"asetpts=PTS+gte(T\\,2)*48000\" -map 0:v -map 1:a -c:v libx264 "
        "-c:a pcm_s16le");
    const auto output = TestFiles::shared().freshFolder("clean_hole") / "out.mkv";
    const CommandResult run = runClean({input.string(), output.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("1.0 s of the sound was missing at 0:02 and is silent"),
              std::string::npos)
        << run.err;
    const AudioDecoder::Decoded out = AudioDecoder::decodeFile(output);
    const Channel& sound = *out.channels[0];
    const auto onset =
        std::find_if(sound.begin(), sound.end(), [](float v) { return std::fabs(v) > 0.05f; });
    // The tone began 0.5 s after the hole, at 3.5 s on the source's timeline.
    EXPECT_NEAR(out.startSeconds + double(onset - sound.begin()) / 48000.0, 3.5, 0.020);
    EXPECT_NEAR(double(sound.size()) / 48000.0, 5.0, 0.05);
}

TEST(TalnClean, FailuresExitWithOneLineAndNoOutput) {
    const auto folder = TestFiles::shared().freshFolder("clean_failures");
    const auto output = folder / "out.wav";

    CommandResult run = runClean({(folder / "missing.m4a").string(), output.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "taln-clean: missing.m4a can't be found; it may have been moved or deleted "
                       "(No such file or directory)\n");

    const auto silentVideo = TestFiles::shared().make(
        "silent_video.mp4", "-f lavfi -i testsrc=s=64x48:r=10:d=1 -c:v mpeg4 -an");
    run = runClean({silentVideo.string(), output.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "taln-clean: That file doesn't contain an audio track.\n");
    EXPECT_FALSE(std::filesystem::exists(output));
}

// What is wrong with OUTPUT is found before INPUT is read (a missing INPUT would be reported
// otherwise), and reads differently from a missing INPUT; OUTPUT naming INPUT by any path is
// refused and the recording kept; a decode well short of its stated length is a warning.
TEST(TalnClean, ChecksBeforeTheWorkAndWarnings) {
    const auto folder = TestFiles::shared().freshFolder("clean_checks");
    const auto missing = (folder / "missing.m4a").string();
    const auto input = folder / "take.wav";
    std::filesystem::copy_file(
        TestFiles::shared().make("mono_44100_noise.wav",
                                 "-f lavfi -i \"anoisesrc=a=0.1:d=1:r=44100\" -c:a pcm_s16le"),
        input);
    const auto original = test::readBytes(input);
    std::filesystem::create_symlink(input, folder / "link.wav");
    std::filesystem::create_hard_link(input, folder / "hard.wav");
    const auto whole = test::readBytes(TestFiles::shared().make(
        "mono_44100_6s_faststart.m4a", "-f lavfi -i sine=d=6 -c:a aac -movflags +faststart"));
    test::writeBytes(folder / "cut.m4a",
                     std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 3));
    const std::string isInput =
        " is the input file: choose another OUTPUT to keep the original recording\n";
    const auto out = (folder / "out.wav").string();
    std::filesystem::create_symlink(folder / "out.wav", folder / "to-out.wav");
    const std::string removedIsOutput =
        "taln-clean: --removed FILE must be another file than OUTPUT";

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string errStart; // stderr starts with it
    };
    const Case cases[] = {
        {{missing, (folder / "no" / "out.wav").string()},
         1,
         "taln-clean: cannot write to the folder '" + (folder / "no").string() +
             "': No such file or directory\n"},
        {{missing, (folder / "take.wav" / "out.wav").string()},
         1,
         "taln-clean: cannot write to the folder '" + input.string() + "': Not a directory\n"},
        {{input.string(), input.string()}, 1, "taln-clean: take.wav" + isInput},
        {{input.string(), (folder / "link.wav").string()}, 1, "taln-clean: link.wav" + isInput},
        {{(folder / "hard.wav").string(), input.string()}, 1, "taln-clean: take.wav" + isInput},
        {{"--noise-from", "0.98-1.5", input.string(), (folder / "short.wav").string()},
         1,
         "taln-clean: the --noise-from stretch holds 882 samples of the input; a noise sample "
         "needs at least 2048 (0.05 s)\n"},
        {{"--removed", input.string(), input.string(), (folder / "out.wav").string()},
         1,
         "taln-clean: take.wav" + isInput},
        {{(folder / "cut.m4a").string(), (folder / "cut.wav").string()},
         0,
         "taln-clean: warning: cut.m4a ends early: "},
        {{"--removed", out, input.string(), out}, 2, removedIsOutput},
        {{"--removed", (folder / "." / "out.wav").string(), input.string(), out},
         2,
         removedIsOutput},
        {{"--removed", (folder / "to-out.wav").string(), input.string(), out}, 2, removedIsOutput},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const CommandResult run = runClean(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.substr(0, c.errStart.size()), c.errStart) << run.err;
    }
    EXPECT_EQ(test::readBytes(input), original);
    EXPECT_FALSE(std::filesystem::exists(out));
}

// True once process `pid` holds a file in `folder` open (an unnamed one reads
// "<folder>/#<inode> (deleted)"): its export has begun.
bool writesInto(pid_t pid, const std::filesystem::path& folder) {
    std::error_code ec;
    const std::string prefix = folder.string() + "/";
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// A run ended by a signal in the middle of its export, or by a file-size limit, leaves
// nothing in OUTPUT's folder, and says how it ended: 128 + the signal, or one line and 1.
TEST(TalnClean, InterruptedExportsLeaveNothingBehind) {
    const auto input = TestFiles::shared().make(
        "stereo_44100_noise_30s.wav",
        "-f lavfi -i \"anoisesrc=a=0.1:d=30:r=44100\" -ac 2 -c:a pcm_s16le");
    const auto folder = TestFiles::shared().freshFolder("clean_interrupted");
    const auto errPath = TestFiles::shared().folder() / "interrupted.stderr";
    struct Case {
        int signal;       // sent once the export has begun; 0: none
        rlim_t fileLimit; // RLIMIT_FSIZE of the run
        int exitStatus;   // -1: ended by the signal itself
        std::string err;
    };
    const Case cases[] = {
        {SIGINT, RLIM_INFINITY, 130, ""},
        {SIGTERM, RLIM_INFINITY, 143, ""},
        {SIGHUP, RLIM_INFINITY, 129, ""},
        {SIGKILL, RLIM_INFINITY, -1, ""},
        {0, 64 * 1024, 1, "taln-clean: cleaned.m4a: File too large\n"},
    };
    const std::string command = cleanCommand().string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal == 0 ? "file-size limit" : strsignal(c.signal));
        const auto output = folder / "cleaned.m4a";
        const pid_t pid = fork();
        if (pid == 0) {
            const rlimit limit{c.fileLimit, c.fileLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            execl(command.c_str(), command.c_str(), input.c_str(), output.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        if (c.signal != 0) {
            bool begun = false;
            int status = 0;
            while (!begun && waitpid(pid, &status, WNOHANG) == 0) {
                begun = writesInto(pid, folder);
                usleep(200);
            }
            ASSERT_TRUE(begun) << "the export ended before it could be interrupted";
            kill(pid, c.signal);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (c.exitStatus < 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal);
        } else {
            EXPECT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.exitStatus);
        }
        // Noise alone makes a doubtful noise sample; that warning comes before the export.
        std::string err = slurp(errPath);
        const std::string warning = "taln-clean: warning: ";
        if (err.rfind(warning, 0) == 0) {
            err.erase(0, err.find('\n') + 1);
        }
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(std::filesystem::is_empty(folder));
    }
}

// --noise-from gives the engine exactly that stretch's sample; --removed adds up with OUTPUT
// to INPUT. Float output, so that only float rounding separates them.
TEST(TalnClean, NoiseFromAStretchAndWhatWasRemoved) {
    const auto input = noisyRecording();
    const auto folder = TestFiles::shared().freshFolder("clean_noise_from");
    const auto output = folder / "cleaned.wav";
    const auto removed = folder / "removed.wav";

    const CommandResult run = runClean({"--float", "--noise-from", "0.5-3.5", "--removed",
                                        removed.string(), input.string(), output.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::readWavFormat(removed).formatTag, 3);
    const Channels original = AudioDecoder::decode(input);
    const Channels cleaned = AudioDecoder::decode(output);
    const Channels difference = AudioDecoder::decode(removed);
    ASSERT_EQ(cleaned.size(), original.size());
    ASSERT_EQ(difference.size(), original.size());
    const CancelToken token;
    for (std::size_t c = 0; c < original.size(); ++c) {
        SCOPED_TRACE(c);
        // floor(0.5 × 44,100) up to floor(3.5 × 44,100).
        const NoiseSample noise = NoiseSample::measure(*original[c], 44100.0, 22050, 154350);
        const auto expected = Cleaner::clean(*original[c], noise.profile, 0.6f, 44100.0, token,
                                             noise.hum, Cleaner::kDefaultEngine, &noise.track);
        ASSERT_EQ(cleaned[c]->size(), expected->size());
        ASSERT_EQ(difference[c]->size(), expected->size());
        // Relative RMS: the command cleans by pieces, each equal to the whole run to float
        // rounding, not bit for bit.
        double error = 0.0;
        double power = 0.0;
        double worstSum = 0.0;
        for (std::size_t i = 0; i < expected->size(); ++i) {
            const double want = (*expected)[i];
            error += ((*cleaned[c])[i] - want) * ((*cleaned[c])[i] - want);
            power += want * want;
            worstSum = std::max(worstSum, std::abs(double((*cleaned[c])[i]) + (*difference[c])[i] -
                                                   (*original[c])[i]));
        }
        EXPECT_LE(std::sqrt(error / power), 1e-5);
        EXPECT_LE(worstSum, 1e-5);
    }
}

// --removed and OUTPUT are written together or not at all: a destination that cannot be
// replaced (a folder in its place) on either side leaves neither file. What was removed is
// INPUT minus the cleaning before any loudness change: nothing at all at strength 0.
TEST(TalnClean, RemovedIsWrittenWithOutputOrNotAtAll) {
    const auto input = TestFiles::shared().make(
        "mono_44100_noise.wav", "-f lavfi -i \"anoisesrc=a=0.1:d=1:r=44100\" -c:a pcm_s16le");
    const auto folder = TestFiles::shared().freshFolder("clean_removed_together");
    const auto out = folder / "out.wav";
    const auto removed = folder / "removed.wav";
    struct Row {
        std::vector<std::string> options;
        std::filesystem::path blocked; // a folder, non-empty, where a file goes; none: none
        int status;
    };
    const Row rows[] = {
        {{}, removed, 1},
        {{}, out, 1},
        {{"--strength", "0", "--loudness", "-16"}, {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.blocked.string());
        std::filesystem::remove_all(out);
        std::filesystem::remove_all(removed);
        if (!row.blocked.empty()) {
            std::filesystem::create_directories(row.blocked / "inside");
        }
        std::vector<std::string> arguments = row.options;
        for (const auto& path : {removed, input, out}) {
            arguments.push_back(path == removed ? "--removed=" + path.string() : path.string());
        }
        const CommandResult run = runClean(arguments);
        EXPECT_EQ(run.status, row.status) << run.err;
        if (!row.blocked.empty()) {
            EXPECT_FALSE(std::filesystem::is_regular_file(out));
            EXPECT_FALSE(std::filesystem::is_regular_file(removed));
            continue;
        }
        const Channels difference = AudioDecoder::decode(removed);
        ASSERT_EQ(difference.size(), 1u);
        EXPECT_EQ(*std::max_element(difference[0]->begin(), difference[0]->end()), 0.0f);
        EXPECT_EQ(*std::min_element(difference[0]->begin(), difference[0]->end()), 0.0f);
        EXPECT_NEAR(test::measureLoudness(out).integrated, -16.0, 0.5);
    }
}

// The doubtful-sample warning: not for noise alone then bursts with pauses, but for a chord
// held under noise; neither changes the exit status, and a chosen stretch is never doubtful.
TEST(TalnClean, WarnsWhenTheQuietestStretchesAreNoQuieter) {
    const auto folder = TestFiles::shared().freshFolder("clean_doubtful");
    const auto bursts = TestFiles::shared().make(
        "noise_then_bursts.wav",
        "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*170*t)*gt(t\\,4)*lt(mod(t\\,1)\\,0.6):s=44100:d=8\" "
        "-f lavfi -i \"anoisesrc=a=0.01:c=white:d=8:r=44100\" "
        "-filter_complex \"[0][1]amix=inputs=2:normalize=0\" -c:a pcm_f32le");
    const auto chord = TestFiles::shared().make(
        "chord_under_noise.wav",
        "-f lavfi -i \"aevalsrc=0.1*sin(2*PI*220*t)+0.1*sin(2*PI*277.2*t)+0.1*sin(2*PI*329.6*t)"
        ":s=44100:d=6\" -f lavfi -i \"anoisesrc=a=0.01:c=white:d=6:r=44100\" "
        "-filter_complex \"[0][1]amix=inputs=2:normalize=0\" -c:a pcm_f32le");
    const std::string warning = "taln-clean: warning: The quietest parts of this recording";
    struct Row {
        std::vector<std::string> arguments;
        bool warns;
    };
    const Row rows[] = {
        {{bursts.string()}, false},
        {{chord.string()}, true},
        {{"--noise-from", "1-2", chord.string()}, false},
    };
    for (const Row& row : rows) {
        std::vector<std::string> arguments = row.arguments;
        arguments.push_back((folder / "out.wav").string());
        SCOPED_TRACE(arguments.front());
        const CommandResult run = runClean(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find(warning) != std::string::npos, row.warns) << run.err;
    }
}

TEST(TalnClean, BadUsageExitsWithStatus2) {
    const std::vector<std::vector<std::string>> badUsages{
        {},
        {"in.wav"},
        {"in.wav", "out.wav", "extra.wav"},
        {"--strength", "101", "in.wav", "out.wav"},
        {"--strength", "-1", "in.wav", "out.wav"},
        {"--strength", "loud", "in.wav", "out.wav"},
        {"--strength=nan", "in.wav", "out.wav"},
        {"in.wav", "out.wav", "--strength"},
        {"--bogus", "in.wav", "out.wav"},
        {"in.wav", "out.mp3"},
        {"--float", "in.wav", "out.m4a"},
        {"in.wav", "out.avi"},
        {"--float", "in.mp4", "out.mp4"},
        {"--loudness", "5", "in.wav", "out.wav"},
        {"--loudness=quiet", "in.wav", "out.wav"},
        {"--format", "video", "in.wav", "out.wav"},
        {"--format", "mp3", "in.wav", "-o", "folder"},
        {"-o", "folder"},
        {"in.wav", "-o"},
        {"-j", "0", "in.wav", "out.wav"},
        {"-j2.5", "in.wav", "out.wav"},
        {"in.wav", "out.wav", "-j"},
        {"--noise-from", "3-1", "in.wav", "out.wav"},
        {"--noise-from", "-1-2", "in.wav", "out.wav"},
        {"--noise-from", "1", "in.wav", "out.wav"},
        {"--noise-from=1-x", "in.wav", "out.wav"},
        {"--removed", "r.m4a", "in.wav", "out.wav"},
        {"--removed=", "in.wav", "out.wav"},
        {"--keep-original-audio", "in.mp4", "out.wav"},
        {"--format", "video", "in.wav", "-"},
        {"-", "out.mp4"},
        {"--removed", "r.wav", "in.wav", "-"},
        {"a.wav", "-", "-o", "folder"},
        {"--engine", "fast", "in.wav", "out.wav"},
        {"a.wav", "-o", "x", "-o", "y"},
        {"--noise-from", "0x10-0x20", "in.wav", "out.wav"},
    };
    for (const auto& arguments : badUsages) {
        const CommandResult run = runClean(arguments);
        std::string line;
        for (const auto& a : arguments) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.rfind("taln-clean: ", 0), 0u) << run.err;
    }

    const CommandResult version = runClean({"--version"});
    EXPECT_EQ(version.status, 0);
    // "taln-clean " and the project's version, digits and dots.
    const std::string prefix = "taln-clean ";
    ASSERT_GT(version.out.size(), prefix.size() + 1);
    EXPECT_EQ(version.out.substr(0, prefix.size()), prefix);
    EXPECT_EQ(version.out.back(), '\n');
    const std::string number =
        version.out.substr(prefix.size(), version.out.size() - prefix.size() - 1);
    EXPECT_EQ(number.find_first_not_of("0123456789."), std::string::npos) << version.out;

    const CommandResult help = runClean({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: taln-clean [options] INPUT OUTPUT\n", 0), 0u);
}

// The noisy recording at about -35 and -11 LUFS, as float WAV so the loud one keeps its peaks.
std::filesystem::path noisyAtLevel(const std::string& name, const std::string& gain) {
    return TestFiles::shared().make(name, "-i " + test::shellQuote(noisyRecording().string()) +
                                              " -af volume=" + gain + " -c:a pcm_f32le");
}

// Every good INPUT is cleaned, normalised and named after itself; the bad one is named on
// stderr (not a terminal here, so no progress lines) and makes the exit status 1.
TEST(TalnClean, BatchCleansEveryGoodInputAndNamesTheBadOne) {
    const auto quiet = noisyAtLevel("noisy_voice_minus35lufs.wav", "-20.6dB");
    const auto loud = noisyAtLevel("noisy_voice_minus11lufs.wav", "3.4dB");
    const auto folder = TestFiles::shared().freshFolder("clean_batch");
    const auto broken = folder / "broken.wav";
    const std::string text = "not a recording";
    test::writeBytes(broken, std::vector<std::uint8_t>(text.begin(), text.end()));
    const auto out = folder / "out";

    const CommandResult run = runClean(
        {"--loudness", "-16", quiet.string(), broken.string(), loud.string(), "-o", out.string()});

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("taln-clean: " + broken.string() +
                                " isn't an audio or video file Taln can read (",
                            0),
              0u)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    for (const auto& name :
         {"noisy_voice_minus35lufs (Taln).wav", "noisy_voice_minus11lufs (Taln).wav"}) {
        SCOPED_TRACE(name);
        const test::LoudnessReading reading = test::measureLoudness(out / name);
        EXPECT_NEAR(reading.integrated, -16.0, 0.5);
        EXPECT_LE(reading.truePeak, -1.0);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out),
                            std::filesystem::directory_iterator()),
              2);
}

// The batch never writes over one of its INPUTs (in either order, "x (Taln).wav" being an INPUT
// as well), cleans an INPUT given twice once, names INPUTs by the paths given, and lets b/x.wav
// write what c/x.wav failed to.
TEST(TalnClean, BatchKeepsEveryInputAndNamesThemByPath) {
    const auto folder = TestFiles::shared().freshFolder("clean_batch_inputs");
    const auto noise = TestFiles::shared().make(
        "mono_44100_noise.wav", "-f lavfi -i \"anoisesrc=a=0.1:d=1:r=44100\" -c:a pcm_s16le");
    for (const char* sub : {"b", "c"}) {
        std::filesystem::create_directories(folder / sub);
    }
    std::filesystem::copy_file(noise, folder / "x.wav");
    std::filesystem::copy_file(noise, folder / "x (Taln).wav");
    std::filesystem::copy_file(noise, folder / "b" / "x.wav");
    const std::string text = "not a recording";
    test::writeBytes(folder / "c" / "x.wav", std::vector<std::uint8_t>(text.begin(), text.end()));
    const auto original = test::readBytes(folder / "x (Taln).wav");
    const std::string x = (folder / "x.wav").string();
    const std::string taln = (folder / "x (Taln).wav").string();
    const std::string refused =
        "taln-clean: " + x + ": its OUTPUT " + taln + " is the INPUT " + taln + ", which is kept";
    struct Row {
        std::vector<std::string> inputs;
        int status;
        std::string error;                // the start of the one line that is not a warning
        std::vector<std::string> written; // in out/
    };
    const Row rows[] = {
        {{x, taln}, 1, refused, {}},
        {{taln, x}, 1, refused, {}},
        {{x, (folder / "." / "x.wav").string()}, 0, "", {"x (Taln).wav"}},
        {{(folder / "c" / "x.wav").string(), (folder / "b" / "x.wav").string()},
         1,
         "taln-clean: " + (folder / "c" / "x.wav").string() + " isn't an audio or video file",
         {"x (Taln).wav"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.inputs.front() + " " + row.inputs.back());
        const bool intoInputs = row.written.empty();
        const auto out = intoInputs ? folder : folder / "out";
        std::filesystem::remove_all(folder / "out");
        std::vector<std::string> arguments = row.inputs;
        arguments.insert(arguments.end(), {"-o", out.string()});
        const CommandResult run = runClean(arguments);
        EXPECT_EQ(run.status, row.status);
        // Noise alone makes a doubtful noise sample: its warnings are not counted.
        std::istringstream lines(run.err);
        std::vector<std::string> errors;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("taln-clean: warning: ", 0) != 0) {
                errors.push_back(line);
            }
        }
        ASSERT_EQ(errors.size(), row.error.empty() ? 0u : 1u) << run.err;
        if (!row.error.empty()) {
            EXPECT_EQ(errors[0].substr(0, row.error.size()), row.error);
        }
        EXPECT_EQ(test::readBytes(folder / "x (Taln).wav"), original);
        if (intoInputs) {
            EXPECT_TRUE(std::filesystem::exists(folder / "x (Taln) (Taln).wav"));
            std::filesystem::remove(folder / "x (Taln) (Taln).wav");
        }
        for (const auto& name : row.written) {
            EXPECT_TRUE(std::filesystem::exists(out / name)) << name;
        }
    }
}

// A video OUTPUT carries the sound of the WAV the same INPUT makes; an INPUT without video
// is refused for a video OUTPUT, in either form, before anything is written.
TEST(TalnClean, VideoOutputCarriesTheWavsSound) {
    const auto video = TestFiles::shared().make("noisy_voice_mpeg4.mp4",
                                                "-f lavfi -i testsrc2=s=160x120:r=25:d=4 -i " +
                                                    test::shellQuote(noisyRecording().string()) +
                                                    " -c:v mpeg4 -c:a aac -shortest");
    const auto audioOnly = noisyRecording();
    const auto folder = TestFiles::shared().freshFolder("clean_video");
    const std::string noVideo = " has no video; write .m4a or .wav\n";

    CommandResult run = runClean({audioOnly.string(), (folder / "x.mp4").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "taln-clean: " + audioOnly.string() + noVideo);
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    run =
        runClean({"--format", "video", video.string(), audioOnly.string(), "-o", folder.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "taln-clean: " + audioOnly.string() + noVideo);
    run = runClean({video.string(), (folder / "cleaned.wav").string()});
    ASSERT_EQ(run.status, 0) << run.err;

    const Channels fromVideo = AudioDecoder::decode(folder / "noisy_voice_mpeg4 (Taln).mp4");
    const Channels fromWav = AudioDecoder::decode(folder / "cleaned.wav");
    const test::Alignment aligned = test::bestAlignment(fromVideo, fromWav, 441);
    EXPECT_GE(aligned.correlation, 0.98);
    EXPECT_LE(std::abs(aligned.lag), 44); // 1 ms
}

// On a terminal the batch form shows each file's progress: name, percentage, speed.
TEST(TalnClean, BatchShowsProgressOnATerminal) {
    const auto input = noisyRecording();
    const auto folder = TestFiles::shared().freshFolder("clean_progress");
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string command = cleanCommand().string();
    const std::string in = input.string();
    const std::string out = folder.string();
    std::vector<char*> argv{const_cast<char*>(command.c_str()), const_cast<char*>(in.c_str()),
                            const_cast<char*>("-o"), const_cast<char*>(out.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Opened here, so the terminal has a user from the start.
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    posix_spawn_file_actions_adddup2(&actions, side, 2);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, command.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(side);
    std::string shown;
    char buffer[4096];
    ssize_t n = 0;
    // The terminal reports EIO once the command, its only other user, has ended.
    while ((n = read(terminal, buffer, sizeof buffer)) > 0) {
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(terminal);
    EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
    const std::size_t done = shown.find("noisy_voice_170.m4a  100%  ");
    ASSERT_NE(done, std::string::npos) << shown;
    EXPECT_NE(shown.find("x real time", done), std::string::npos) << shown;
}

} // namespace
} // namespace taln
