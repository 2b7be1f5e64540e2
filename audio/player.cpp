#include "audio/player.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace taln {

namespace {

// Every start opens with 0.05 s of silence (2,205 frames at 44,100 Hz), counted from the
// first buffer that carries the new schedule; then both tracks begin on the same output
// frame. A restart (a seek, a new cleaning result) thus never cuts from one schedule's
// audio straight into the next one's.
constexpr double kStartLeadSeconds = 0.05;

// The two track gains travel together in one atomic word: the mixer can never see the new
// gain of one track beside the old gain of the other (both audible, or both silent).
struct Gains {
    float orig = 0.0f;
    float clean = 1.0f;
};
static_assert(std::atomic<Gains>::is_always_lock_free,
              "the mixer reads the gains from the audio thread and must not lock");

Gains gainsFor(bool hearOriginal) {
    return hearOriginal ? Gains{1.0f, 0.0f} : Gains{0.0f, 1.0f};
}

// One version as the mixer reads it: the left and right sample arrays (the same array twice
// for a mono file) and how many frames it holds. The ChannelPtrs keep the data alive.
struct Track {
    Channels channels;
    const float* left = nullptr;
    const float* right = nullptr;
    std::int64_t frames = 0;
};

// The frames every channel of `channels` holds. A Channels value keeps its channels equally
// long; taking the shortest keeps the mixer inside every array even if one does not.
std::int64_t playableFrames(const Channels& channels) {
    if (channels.empty()) {
        return 0;
    }
    std::int64_t frames = -1;
    for (const ChannelPtr& channel : channels) {
        const std::int64_t n = channel ? static_cast<std::int64_t>(channel->size()) : 0;
        frames = frames < 0 ? n : std::min(frames, n);
    }
    return frames;
}

Track makeTrack(const Channels& channels) {
    Track track;
    track.channels = channels;
    track.frames = playableFrames(channels);
    if (track.frames > 0) {
        track.left = channels.front()->data();
        track.right = channels.size() > 1 ? channels[1]->data() : track.left;
    }
    return track;
}

} // namespace

// What the mixer plays: made whole on the main thread, then only read by the audio thread,
// except for `rendered`, which only the audio thread writes. A schedule without tracks is
// silence (the player is stopped).
struct Schedule {
    std::uint64_t generation = 0;
    bool playing = false;
    Track orig;
    Track clean;
    std::int64_t startFrame = 0; // first frame of both versions to play
    std::int64_t lead = 0;       // frames of silence before both tracks begin
    // Frames mixed since this schedule reached the mixer, the lead included. It keeps
    // counting after both tracks have run out.
    std::atomic<std::int64_t> rendered{0};
};

struct Player::Impl {
    std::unique_ptr<AudioOutput> output;

    // Main thread only.
    Channels orig;
    Channels clean;
    double sampleRate = kSampleRate;
    std::int64_t startFrame = 0;
    bool hearOriginal = false;
    Schedule* latest = nullptr; // the last schedule handed to the mixer
    std::uint64_t nextGeneration = 1;
    // Every schedule the mixer may still hold, oldest first; freed here, never by the mixer.
    std::vector<std::unique_ptr<Schedule>> schedules;

    // Shared with the audio thread.
    std::atomic<Schedule*> published{nullptr};  // written by the main thread
    std::atomic<std::uint64_t> acknowledged{0}; // generation the mixer has moved on to
    std::atomic<Gains> gains{gainsFor(false)};

    // Audio thread only (and the main thread while the output is stopped).
    Schedule* current = nullptr;

    explicit Impl(std::unique_ptr<AudioOutput> out) : output(std::move(out)) {}

    static void render(void* user, float* out, std::int64_t frames);
    void mix(float* out, std::int64_t frames);

    void publish(std::unique_ptr<Schedule> schedule);
    void publishSilence();
    void freeRetired();
    void stopOutput();
};

// Audio thread. Picks up the newest schedule (one atomic load, and one store when it has
// changed), then mixes. No allocation, freeing, locking or I/O.
void Player::Impl::render(void* user, float* out, std::int64_t frames) {
    static_cast<Impl*>(user)->mix(out, frames);
}

namespace {

// Adds `gain` × the track's frames [from, from + count) to the interleaved output.
void addTrack(float* out, const Track& track, std::int64_t from, std::int64_t count, float gain) {
    const float* left = track.left + from;
    const float* right = track.right + from;
    for (std::int64_t i = 0; i < count; ++i) {
        out[2 * i] += gain * left[i];
        out[2 * i + 1] += gain * right[i];
    }
}

// Mixes one track of `schedule` into `out`, which covers the schedule's frames
// [rendered, rendered + frames) counted from the moment it reached the mixer.
void mixTrack(float* out, std::int64_t frames, const Schedule& schedule, const Track& track,
              std::int64_t rendered, float gain) {
    if (gain == 0.0f) {
        return; // a muted track adds nothing (and cannot turn the mix into NaN)
    }
    // Output index i plays track frame startFrame + (rendered + i - lead).
    const std::int64_t offset = rendered - schedule.lead;
    const std::int64_t remaining = track.frames - schedule.startFrame;
    const std::int64_t first = std::max<std::int64_t>(0, -offset);
    const std::int64_t last = std::min(frames, remaining - offset);
    if (last <= first) {
        return;
    }
    addTrack(out + 2 * first, track, schedule.startFrame + offset + first, last - first, gain);
}

} // namespace

void Player::Impl::mix(float* out, std::int64_t frames) {
    std::fill(out, out + 2 * frames, 0.0f);

    Schedule* schedule = published.load(std::memory_order_acquire);
    if (schedule != current) {
        current = schedule;
        // From here on the mixer never touches an older schedule: the main thread may free
        // every schedule before this generation once it sees this store.
        if (schedule != nullptr) {
            acknowledged.store(schedule->generation, std::memory_order_release);
        }
    }
    if (schedule == nullptr || !schedule->playing) {
        return;
    }

    const Gains g = gains.load(std::memory_order_relaxed);
    const std::int64_t rendered = schedule->rendered.load(std::memory_order_relaxed);
    mixTrack(out, frames, *schedule, schedule->orig, rendered, g.orig);
    mixTrack(out, frames, *schedule, schedule->clean, rendered, g.clean);
    schedule->rendered.store(rendered + frames, std::memory_order_release);
}

// Main thread. Hands `schedule` to the mixer without waiting for it.
void Player::Impl::publish(std::unique_ptr<Schedule> schedule) {
    freeRetired();
    schedule->generation = nextGeneration++;
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

// Main thread. Frees the schedules the mixer has moved past: those older than the one it
// last acknowledged. The newest is kept whatever the mixer has seen.
void Player::Impl::freeRetired() {
    const std::uint64_t inUse = acknowledged.load(std::memory_order_acquire);
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
    latest = nullptr;
    schedules.clear();
}

Player::Player(std::unique_ptr<AudioOutput> output)
    : impl_(std::make_unique<Impl>(std::move(output))) {}

Player::~Player() {
    // The output's thread holds a pointer to impl_: stop it before anything goes away.
    impl_->stopOutput();
}

void Player::load(Channels orig, Channels clean, double sampleRate) {
    impl_->stopOutput();
    impl_->orig = std::move(orig);
    impl_->clean = std::move(clean);
    impl_->sampleRate = sampleRate;
}

std::optional<std::string> Player::start(std::int64_t frame) {
    Impl& p = *impl_;
    p.publishSilence();

    // The player never reads before the data: a negative frame plays from the start.
    const std::int64_t from = std::max<std::int64_t>(0, frame);
    Track orig = makeTrack(p.orig);
    if (orig.frames - from <= 0) {
        return std::nullopt; // nothing left to play: stopped, start frame unchanged
    }
    // Until the first cleaning result the cleaned track may be empty; both then play the
    // original, so the compare switch changes nothing audible.
    Track clean = p.clean.empty() ? orig : makeTrack(p.clean);
    if (clean.frames - from <= 0) {
        return std::nullopt;
    }

    if (auto reason = p.output->start(&Impl::render, &p)) {
        return reason; // the device cannot play: nothing is scheduled
    }

    auto schedule = std::make_unique<Schedule>();
    schedule->playing = true;
    schedule->orig = std::move(orig);
    schedule->clean = std::move(clean);
    schedule->startFrame = from;
    schedule->lead = std::max<std::int64_t>(0, std::llround(kStartLeadSeconds * p.sampleRate));
    p.startFrame = from;
    p.gains.store(gainsFor(p.hearOriginal), std::memory_order_relaxed);
    p.publish(std::move(schedule));
    return std::nullopt;
}

void Player::stop() {
    impl_->publishSilence();
}

void Player::setHearOriginal(bool hearOriginal) {
    impl_->hearOriginal = hearOriginal;
    impl_->gains.store(gainsFor(hearOriginal), std::memory_order_relaxed);
}

void Player::setClean(Channels clean) {
    impl_->clean = std::move(clean);
}

double Player::currentTime() const {
    const Impl& p = *impl_;
    std::int64_t played = 0;
    if (p.latest != nullptr && p.latest->playing) {
        const std::int64_t rendered = p.latest->rendered.load(std::memory_order_acquire);
        played = std::max<std::int64_t>(0, rendered - p.latest->lead);
    }
    return static_cast<double>(p.startFrame + played) / p.sampleRate;
}

} // namespace taln
