// fuzz_decoder: arbitrary bytes as a file on disk -> AudioDecoder::decodeFile.
//
// Input: one byte choosing the file's extension (FFmpeg weighs it when probing), then the
// file's contents. Every input must end in Channels or in a TalnError / std::runtime_error;
// a successful decode must hold 1 to 8 channels of equal, non-zero length with only finite
// samples (the decoder promises NaN and infinities never reach the engine), at a rate of
// 8 to 192 kHz, with a layout of as many channels, and holes that lie within the audio.

#include "audio/audio_decoder.h"
#include "audio/taln_error.h"
#include "fuzz/fuzz_temp_dir.h"

extern "C" {
#include <libavutil/log.h>
}

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

constexpr std::array<const char*, 8> kExtensions = {"",      ".wav", ".mp3",  ".m4a",
                                                    ".flac", ".ogg", ".aiff", ".mp4"};

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_decoder: %s\n", what);
    std::abort();
}

void checkDecoded(const taln::AudioDecoder::Decoded& decoded) {
    const taln::Channels& channels = decoded.channels;
    if (channels.empty() || channels.size() > taln::AudioDecoder::kMaxChannels) {
        fail("decoded no channels or more than eight");
    }
    if (decoded.format.sampleRate < 8000 || decoded.format.sampleRate > 192000) {
        fail("decoded at a rate outside 8 to 192 kHz");
    }
    if (std::popcount(decoded.format.channelMask) != static_cast<int>(channels.size())) {
        fail("the layout does not match the channels");
    }
    const std::int64_t frames = taln::frameCount(channels);
    if (frames <= 0) {
        fail("a successful decode returned no frames");
    }
    for (const auto& channel : channels) {
        if (!channel || static_cast<std::int64_t>(channel->size()) != frames) {
            fail("decoded channels differ in length");
        }
        for (const float sample : *channel) {
            if (!std::isfinite(sample)) {
                fail("decoded a sample that is not finite");
            }
        }
    }
    std::int64_t end = 0;
    for (const auto& gap : decoded.gaps) {
        if (gap.frame < end || gap.frames <= 0 || gap.frame + gap.frames > frames) {
            fail("a hole lies outside the audio or before the one ahead of it");
        }
        end = gap.frame + gap.frames;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const auto path = taln::FuzzTempDir::path() /
                      (std::string("input") + kExtensions[data[0] % kExtensions.size()]);
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        if (!file) {
            fail("cannot write the input file");
        }
    }
    try {
        checkDecoded(taln::AudioDecoder::decodeFile(path));
    } catch (const taln::TalnError&) {
    } catch (const std::runtime_error& error) {
        // Every message names the file and gives FFmpeg's or the system's text, or says the
        // file is too long for the memory available.
        const std::string message = error.what();
        const std::string name = path.filename().string();
        if (message.rfind(name + ": ", 0) != 0 && message.rfind(name + " is too long: ", 0) != 0) {
            fail("an error message does not start with the file's name");
        }
    }
    taln::FuzzTempDir::clear();
    return 0;
}
