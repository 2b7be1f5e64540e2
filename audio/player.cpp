#include "audio/player.h"

#include "audio/stereo_downmix.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace taln {

namespace {

// Every real start (play, seek) opens with 0.05 s of silence (2,205 frames at 44,100 Hz),
// counted from the first buffer that carries the new schedule; then both tracks begin on the
// same output frame. A seek thus never cuts from one position's audio straight into another's.
// A new cleaned version is no start: it continues at the position reached, without the lead.
constexpr double kStartLeadSeconds = 0.05;

// The two track gains travel together in one atomic word: the mixer can never see the new
// gain of one track beside the old gain of the other (both audible, or both silent).
struct Gains {
    float orig = 0.0f;
    float clean = 1.0f;
};
static_assert(std::atomic<Gains>::is_always_lock_free,
              "the mixer reads the gains from the audio thread and must not lock");

Gains gainsFor(Player::Listening listening) {
    switch (listening) {
    case Player::Listening::original:
        return {1.0f, 0.0f};
    case Player::Listening::removed:
        return {1.0f, -1.0f};
    case Player::Listening::cleaned:
        break;
    }
    return {0.0f, 1.0f};
}

} // namespace

// What the mixer plays: made whole on the main thread, then only read by the audio thread,
// except for `rendered`, which only the audio thread writes once the schedule is published.
// A schedule that is not playing is silence (the player is stopped).
struct Schedule {
    std::uint64_t generation = 0;
    // The generation of the start that began this stretch of playback. A schedule that only
    // brings a new cleaned version keeps its predecessor's epoch, and the mixer carries the
    // predecessor's clock over to it.
    std::uint64_t epoch = 0;
    bool playing = false;
    ChunkedAudio orig;
    ChunkedAudio clean;
    StereoDownmix fold;          // how both versions are heard on two speakers
    std::int64_t startFrame = 0; // first frame of both versions to play
    std::int64_t lead = 0;       // frames of silence before both tracks begin
    // Frames mixed since this epoch reached the mixer, the lead included. It keeps counting
    // after both tracks have run out.
    std::atomic<std::int64_t> rendered{0};
};

struct Player::Impl {
    std::unique_ptr<AudioOutput> output;

    // Main thread only.
    ChunkedAudio orig;
    ChunkedAudio clean;
    double sampleRate = 44100.0;
    StereoDownmix fold = StereoDownmix::forLayout(1, 0);
    std::int64_t startFrame = 0;
    Listening listening = Listening::cleaned;
    Schedule* latest = nullptr; // the last schedule handed to the mixer
    std::uint64_t nextGeneration = 1;
    // Every schedule the mixer may still hold, oldest first; freed here, never by the mixer.
    std::vector<std::unique_ptr<Schedule>> schedules;

    // Shared with the audio thread; written by the mixer except `published` and `gains`.
    std::atomic<Schedule*> published{nullptr};
    std::atomic<std::uint64_t> acknowledged{0}; // generation the mixer plays now
    std::atomic<std::uint64_t> released{0};     // the mixer reads no older generation
    std::atomic<Gains> gains{gainsFor(Listening::cleaned)};

    // Audio thread only (and the main thread while the output is stopped).
    Schedule* current = nullptr;
    const Schedule* fadeFrom = nullptr; // the schedule whose cleaned version fades out
    std::int64_t fadeDone = 0;          // frames of that crossfade mixed so far

    explicit Impl(std::unique_ptr<AudioOutput> out) : output(std::move(out)) {}

    static void render(void* user, float* out, std::int64_t frames);
    void mix(float* out, std::int64_t frames);
    void pickUp();

    void publish(std::unique_ptr<Schedule> schedule);
    void publishSilence();
    void freeRetired();
    void stopOutput();
};

// Audio thread. No allocation, freeing, locking or I/O.
void Player::Impl::render(void* user, float* out, std::int64_t frames) {
    static_cast<Impl*>(user)->mix(out, frames);
}

namespace {

// Adds `gain` × the track's frames, folded to stereo by `fold`, to output frames [begin, end)
// of the interleaved `out`, output frame i playing track frame at + i. Track frames before
// `lowest` (the lead) and past the track's end stay silent.
void addTrack(float* out, std::int64_t begin, std::int64_t end, const ChunkedAudio& track,
              const StereoDownmix& fold, std::int64_t at, std::int64_t lowest, float gain) {
    if (gain == 0.0f) {
        return; // a muted track adds nothing (and cannot turn the mix into NaN)
    }
    begin = std::max(begin, lowest - at);
    end = std::min(end, track.frameCount() - at);
    const int channels = track.channelCount();
    while (begin < end) {
        const std::int64_t frame = at + begin;
        const std::int64_t chunk = ChunkedAudio::chunkOf(frame);
        const std::int64_t offset = frame - ChunkedAudio::chunkStart(chunk);
        const std::int64_t count = std::min(end - begin, kChunkFrames - offset);
        float* o = out + 2 * begin;
        for (int c = 0; c < channels; ++c) {
            const float* x = track.chunkData(c, chunk) + offset;
            // A weight of 0 adds nothing (and skipping it keeps a NaN of an unheard channel
            // out of the mix); a weight of 1 gives the track's very samples.
            const float sides[2] = {gain * fold.left[static_cast<std::size_t>(c)],
                                    gain * fold.right[static_cast<std::size_t>(c)]};
            for (int side = 0; side < 2; ++side) {
                if (sides[side] == 0.0f) {
                    continue;
                }
                for (std::int64_t i = 0; i < count; ++i) {
                    o[2 * i + side] += sides[side] * x[i];
                }
            }
        }
        begin += count;
    }
}

// One output side of a track's frame, folded to stereo; silence outside the track.
float sampleAt(const ChunkedAudio& track, const StereoDownmix& fold, int side, std::int64_t frame) {
    if (frame < 0 || frame >= track.frameCount()) {
        return 0.0f;
    }
    const std::int64_t chunk = ChunkedAudio::chunkOf(frame);
    const std::int64_t offset = frame - ChunkedAudio::chunkStart(chunk);
    const auto& weights = side == 0 ? fold.left : fold.right;
    float sum = 0.0f;
    for (int c = 0; c < track.channelCount(); ++c) {
        const float w = weights[static_cast<std::size_t>(c)];
        if (w != 0.0f) {
            sum += w * track.chunkData(c, chunk)[offset];
        }
    }
    return sum;
}

// Adds output frames [0, count) of a crossfade from `from` to `to`, `done` frames into it, with
// the mapping and the silence of addTrack. Frames the two versions share come out exactly.
void addCrossfade(float* out, std::int64_t count, const ChunkedAudio& from, const ChunkedAudio& to,
                  const StereoDownmix& fold, std::int64_t at, std::int64_t lowest,
                  std::int64_t done, float gain) {
    if (gain == 0.0f) {
        return;
    }
    for (std::int64_t i = std::max<std::int64_t>(0, lowest - at); i < count; ++i) {
        const float w =
            static_cast<float>(done + i + 1) / static_cast<float>(Player::kCrossfadeFrames);
        for (int side = 0; side < 2; ++side) {
            const float a = sampleAt(from, fold, side, at + i);
            const float b = sampleAt(to, fold, side, at + i);
            out[2 * i + side] += gain * (a == b ? b : (1.0f - w) * a + w * b);
        }
    }
}

} // namespace

// Audio thread. Takes up the newest schedule (one atomic load, and two stores when it has
// changed). A schedule of the same epoch carries on the clock of the one it replaces and starts
// a crossfade from its cleaned version.
void Player::Impl::pickUp() {
    Schedule* next = published.load(std::memory_order_acquire);
    if (next == current) {
        return;
    }
    if (next != nullptr && current != nullptr && current->playing &&
        next->epoch == current->epoch) {
        next->rendered.store(current->rendered.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
        fadeFrom = current;
        fadeDone = 0;
    }
    current = next;
    if (next != nullptr) {
        acknowledged.store(next->generation, std::memory_order_release);
        // From here on the mixer never touches a schedule older than this: the main thread
        // may free them once it sees this store.
        released.store(fadeFrom != nullptr ? fadeFrom->generation : next->generation,
                       std::memory_order_release);
    }
}

void Player::Impl::mix(float* out, std::int64_t frames) {
    std::fill(out, out + 2 * frames, 0.0f);

    // A crossfade runs to its end before a newer schedule is taken up: at most
    // kCrossfadeFrames later, and the mixer never needs more than two cleaned versions.
    if (fadeFrom == nullptr) {
        pickUp();
    }
    Schedule* schedule = current;
    if (schedule == nullptr || !schedule->playing) {
        return;
    }

    const Gains g = gains.load(std::memory_order_relaxed);
    const std::int64_t rendered = schedule->rendered.load(std::memory_order_relaxed);
    const std::int64_t lowest = schedule->startFrame;
    const std::int64_t at = lowest + rendered - schedule->lead; // track frame of output frame 0
    addTrack(out, 0, frames, schedule->orig, schedule->fold, at, lowest, g.orig);
    std::int64_t faded = 0;
    if (fadeFrom != nullptr) {
        faded = std::min(frames, kCrossfadeFrames - fadeDone);
        addCrossfade(out, faded, fadeFrom->clean, schedule->clean, schedule->fold, at, lowest,
                     fadeDone, g.clean);
        fadeDone += faded;
        if (fadeDone == kCrossfadeFrames) {
            fadeFrom = nullptr;
            released.store(schedule->generation, std::memory_order_release);
        }
    }
    addTrack(out, faded, frames, schedule->clean, schedule->fold, at, lowest, g.clean);
    schedule->rendered.store(rendered + frames, std::memory_order_release);
}

// Main thread. Hands `schedule` to the mixer without waiting for it.
void Player::Impl::publish(std::unique_ptr<Schedule> schedule) {
    freeRetired();
    schedule->generation = nextGeneration++;
    if (schedule->epoch == 0) {
        schedule->epoch = schedule->generation;
    }
    latest = schedule.get();
    published.store(latest, std::memory_order_release);
    schedules.push_back(std::move(schedule));
}

void Player::Impl::publishSilence() {
    if (latest == nullptr || !latest->playing) {
        return; // already silent
    }
    publish(std::make_unique<Schedule>());
}

// Main thread. Frees the schedules the mixer has moved past: those older than the oldest it
// may still read. The newest is kept whatever the mixer has seen.
void Player::Impl::freeRetired() {
    const std::uint64_t inUse = released.load(std::memory_order_acquire);
    std::erase_if(schedules, [&](const std::unique_ptr<Schedule>& s) {
        return s.get() != latest && s->generation < inUse;
    });
}

// Main thread. Stops the output (when it returns the mixer is not running) and drops every
// schedule: the next start begins from a clean slate.
void Player::Impl::stopOutput() {
    output->stop();
    published.store(nullptr, std::memory_order_relaxed);
    current = nullptr;
    fadeFrom = nullptr;
    fadeDone = 0;
    latest = nullptr;
    schedules.clear();
}

Player::Player(std::unique_ptr<AudioOutput> output)
    : impl_(std::make_unique<Impl>(std::move(output))) {}

Player::~Player() {
    // The output's thread holds a pointer to impl_: stop it before anything goes away.
    impl_->stopOutput();
}

void Player::load(ChunkedAudio orig, ChunkedAudio clean, double sampleRate,
                  std::uint64_t channelMask) {
    impl_->stopOutput();
    impl_->fold = StereoDownmix::forLayout(orig.channelCount(), channelMask);
    impl_->orig = std::move(orig);
    impl_->clean = std::move(clean);
    impl_->sampleRate = sampleRate;
}

std::optional<std::string> Player::start(std::int64_t frame) {
    Impl& p = *impl_;
    p.publishSilence();

    // The player never reads before the data: a negative frame plays from the start.
    const std::int64_t from = std::max<std::int64_t>(0, frame);
    if (p.orig.frameCount() - from <= 0) {
        return std::nullopt; // nothing left to play: stopped, start frame unchanged
    }
    // Until the first cleaning result the cleaned track may be empty; both then play the
    // original, so the compare switch changes nothing audible.
    const ChunkedAudio& clean = p.clean.empty() ? p.orig : p.clean;
    if (clean.frameCount() - from <= 0) {
        return std::nullopt;
    }

    if (auto reason =
            p.output->start(&Impl::render, &p, static_cast<int>(std::lround(p.sampleRate)))) {
        return reason; // the device cannot play: nothing is scheduled
    }

    auto schedule = std::make_unique<Schedule>();
    schedule->playing = true;
    schedule->orig = p.orig;
    schedule->clean = clean;
    schedule->fold = p.fold;
    schedule->startFrame = from;
    schedule->lead = std::max<std::int64_t>(0, std::llround(kStartLeadSeconds * p.sampleRate));
    p.startFrame = from;
    p.gains.store(gainsFor(p.listening), std::memory_order_relaxed);
    p.publish(std::move(schedule));
    return std::nullopt;
}

void Player::stop() {
    impl_->publishSilence();
}

void Player::setListening(Listening listening) {
    impl_->listening = listening;
    impl_->gains.store(gainsFor(listening), std::memory_order_relaxed);
}

void Player::replaceClean(ChunkedAudio clean) {
    Impl& p = *impl_;
    p.clean = std::move(clean);
    if (p.latest == nullptr || !p.latest->playing) {
        p.freeRetired();
        return; // stopped: the next start plays it
    }
    auto next = std::make_unique<Schedule>();
    next->epoch = p.latest->epoch;
    next->playing = true;
    next->orig = p.latest->orig;
    next->clean = p.clean.empty() ? p.latest->orig : p.clean;
    next->fold = p.latest->fold;
    next->startFrame = p.latest->startFrame;
    next->lead = p.latest->lead;
    p.publish(std::move(next));
}

void Player::releaseRetired() {
    impl_->freeRetired();
}

std::int64_t Player::currentFrame() const {
    const Impl& p = *impl_;
    if (p.latest == nullptr || !p.latest->playing) {
        return p.startFrame;
    }
    // The clock of this epoch is the one of the newest of its schedules that the mixer has
    // taken up; none yet means the start has not reached the mixer.
    const std::uint64_t picked = p.acknowledged.load(std::memory_order_acquire);
    for (auto it = p.schedules.rbegin(); it != p.schedules.rend(); ++it) {
        const Schedule& s = **it;
        if (s.epoch == p.latest->epoch && s.generation <= picked) {
            const std::int64_t rendered = s.rendered.load(std::memory_order_acquire);
            return p.startFrame + std::max<std::int64_t>(0, rendered - s.lead);
        }
    }
    return p.startFrame;
}

double Player::currentTime() const {
    return static_cast<double>(currentFrame()) / impl_->sampleRate;
}

} // namespace taln
