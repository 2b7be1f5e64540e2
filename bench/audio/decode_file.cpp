// taln-decode-bench FILE: decodes FILE with AudioDecoder into memory and prints the channel
// and frame counts. Exit status 1 with the error on stderr when decoding fails.

#include "audio/audio_decoder.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("Usage: taln-decode-bench FILE\n", stderr);
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);
    try {
        const taln::Channels channels = taln::AudioDecoder::decode(argv[1]);
        std::printf("%zu channels, %lld frames\n", channels.size(),
                    static_cast<long long>(taln::frameCount(channels)));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "taln-decode-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
