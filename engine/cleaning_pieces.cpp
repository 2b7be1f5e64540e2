#include "engine/cleaning_pieces.h"

#include "engine/precondition.h"

#include <algorithm>
#include <cmath>

namespace taln {

std::int64_t CleaningPieces::warmUp(double sampleRate) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "CleaningPieces needs a positive, finite sample rate");
    // An absurd rate (the decoder never hands one over, a caller might) would overflow the
    // count: no channel is longer than 2^52 samples, so a warm-up that long means all of it.
    constexpr double kLongest = 4503599627370496.0;
    const auto seconds =
        static_cast<std::int64_t>(std::min(std::ceil(kWarmUpSeconds * sampleRate), kLongest));
    const std::int64_t samples = seconds + kWarmUpFrames * Cleaner::kHop;
    return (samples + Cleaner::kHop - 1) / Cleaner::kHop * Cleaner::kHop;
}

std::int64_t CleaningPieces::inputBegin(std::int64_t begin, double sampleRate) {
    const std::int64_t start = begin - warmUp(sampleRate);
    if (start <= 0) {
        return 0;
    }
    // Down to the frame grid: the whole run's frames start at multiples of the hop (less 2048).
    return start / Cleaner::kHop * Cleaner::kHop;
}

std::int64_t CleaningPieces::inputEnd(std::int64_t end, std::int64_t n) {
    return std::min(end + Cleaner::kFrameLength, n);
}

bool CleaningPieces::clean(std::span<const float> input, Range piece, std::int64_t n,
                           std::span<float> out, std::span<const float> noise, float strength,
                           double sampleRate, const CancelToken& token, Cleaner::HumMask hum,
                           Cleaner::Engine engine, const NoiseTrack* track, bool effects) {
    requirePrecondition(0 <= piece.begin && piece.begin <= piece.end && piece.end <= n,
                        "CleaningPieces::clean needs a piece inside the channel");
    const std::int64_t first = inputBegin(piece.begin, sampleRate);
    const std::int64_t last = inputEnd(piece.end, n);
    requirePrecondition(static_cast<std::int64_t>(input.size()) == last - first,
                        "CleaningPieces::clean needs the input [inputBegin, inputEnd)");
    requirePrecondition(static_cast<std::int64_t>(out.size()) == piece.end - piece.begin,
                        "CleaningPieces::clean needs one output sample per piece sample");
    if (piece.begin == piece.end) {
        return !token.cancelled();
    }
    // Cleaning the input alone is the whole run over [first, last): its frames lie on the same
    // grid, the history over the warm-up converges to the whole run's, and every frame that
    // reaches the piece ends before `last` (or the channel ends there too).
    return Cleaner::cleanPart(input, noise, strength, sampleRate, token, hum, piece.begin - first,
                              out, engine, track, first, effects);
}

bool CleaningPieces::cleanInChannel(std::span<const float> channel, Range piece,
                                    std::span<float> out, std::span<const float> noise,
                                    float strength, double sampleRate, const CancelToken& token,
                                    Cleaner::HumMask hum, Cleaner::Engine engine,
                                    const NoiseTrack* track, bool effects) {
    const auto n = static_cast<std::int64_t>(channel.size());
    requirePrecondition(0 <= piece.begin && piece.begin <= piece.end && piece.end <= n,
                        "CleaningPieces::clean needs a piece inside the channel");
    const std::int64_t first = inputBegin(piece.begin, sampleRate);
    const std::int64_t last = inputEnd(piece.end, n);
    return clean(
        channel.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first)),
        piece, n, out, noise, strength, sampleRate, token, hum, engine, track, effects);
}

std::vector<CleaningPieces::Range> CleaningPieces::split(std::int64_t n, std::int64_t count) {
    std::vector<Range> pieces;
    if (n <= 0) {
        return pieces;
    }
    count = std::clamp<std::int64_t>(count, 1, n);
    pieces.reserve(static_cast<std::size_t>(count));
    // Boundary k at floor(k·n / count), computed as k·q + floor(k·r / count) with n = q·count + r
    // so that nothing overflows for counts below 3·10^9.
    const std::int64_t q = n / count;
    const std::int64_t r = n % count;
    const auto at = [&](std::int64_t k) { return k * q + k * r / count; };
    for (std::int64_t i = 0; i < count; ++i) {
        pieces.push_back({at(i), at(i + 1)});
    }
    return pieces;
}

std::int64_t CleaningPieces::pieceCount(std::int64_t n, double sampleRate, int threads) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "CleaningPieces needs a positive, finite sample rate");
    if (n <= 0) {
        return 0;
    }
    const auto length = std::max<std::int64_t>(1, std::llround(kPieceSeconds * sampleRate));
    const double shortest = kMinPieceSeconds * sampleRate;
    const std::int64_t count = (n + length - 1) / length;
    const std::int64_t t = std::max(threads, 1);
    const std::int64_t even = (count + t - 1) / t * t;
    return static_cast<double>(n) / static_cast<double>(even) >= shortest ? even : count;
}

std::vector<CleaningPieces::Range> CleaningPieces::splitForThreads(std::int64_t n,
                                                                   double sampleRate, int threads) {
    const std::int64_t count = pieceCount(n, sampleRate, threads);
    // The last piece of each thread is the last `halved` pieces.
    const std::int64_t halved = std::max(threads, 1);
    // Counted in half pieces: two for each piece but the last ones, one for each of those.
    const std::int64_t halves = 2 * count - halved;
    if (halved == 1 || count < 2 * halved || n < halves) {
        return split(n, count);
    }
    const std::int64_t q = n / halves;
    const std::int64_t r = n % halves;
    const auto at = [&](std::int64_t k) { return k * q + k * r / halves; };
    std::vector<Range> pieces;
    pieces.reserve(static_cast<std::size_t>(count));
    std::int64_t k = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t next = k + (i < count - halved ? 2 : 1);
        pieces.push_back({at(k), at(next)});
        k = next;
    }
    return pieces;
}

} // namespace taln
