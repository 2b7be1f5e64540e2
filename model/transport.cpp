#include "model/transport.h"

#include "model/notices.h"

#include <algorithm>
#include <cmath>

namespace taln {

namespace {

// Play from a position this close to the end starts from the beginning: 0.05 s is less than
// anyone could listen to.
constexpr double kEndTolerance = 0.05;

// Seconds to a frame index at `rate`: t × rate, truncated toward zero.
std::int64_t toFrame(double seconds, double rate) {
    return static_cast<std::int64_t>(seconds * rate);
}

// The player's positions in the model's order.
static_assert(static_cast<int>(Player::Listening::cleaned) ==
                  static_cast<int>(TalnModel::Listening::Cleaned) &&
              static_cast<int>(Player::Listening::original) ==
                  static_cast<int>(TalnModel::Listening::Original) &&
              static_cast<int>(Player::Listening::removed) ==
                  static_cast<int>(TalnModel::Listening::Removed));

} // namespace

Transport::Transport(TalnModel& model, std::unique_ptr<AudioOutput> output, Notices& notices)
    : model_(model), notices_(notices), player_(std::move(output)),
      isPlaying_(model, &TalnModel::isPlayingChanged),
      position_(model, &TalnModel::positionChanged), duration_(model, &TalnModel::durationChanged) {
}

void Transport::stop() {
    player_.stop();
    isPlaying_.set(false);
}

void Transport::endPlaying() {
    if (isPlaying()) {
        isPlaying_.set(false);
    }
}

void Transport::setDuration(double duration) {
    duration_.set(duration);
    position_.set(0.0);
}

void Transport::load(const ChunkedAudio& orig, const ChunkedAudio& cleaned, double rate,
                     std::uint64_t channelMask) {
    rate_ = rate;
    frames_ = orig.frameCount();
    player_.load(orig, cleaned, rate, channelMask);
    player_.setListening(static_cast<Player::Listening>(listening_));
}

void Transport::replaceClean(const ChunkedAudio& cleaned) {
    player_.replaceClean(cleaned);
}

bool Transport::startPlayer(std::int64_t frame) {
    if (auto failure = player_.start(frame)) {
        notices_.showError(Notices::Origin::playback,
                           QStringLiteral("Playback failed: ") + QString::fromStdString(*failure));
        return false;
    }
    // The output works again: an earlier failure to start it is no longer true.
    notices_.clearError(Notices::Origin::playback);
    return true;
}

void Transport::reachEnd() {
    player_.stop();
    isPlaying_.set(false);
    position_.set(0.0);
}

void Transport::togglePlay() {
    if (!loaded()) {
        return;
    }
    if (isPlaying()) {
        position_.set(player_.currentTime());
        player_.stop();
        isPlaying_.set(false);
        return;
    }
    if (position() >= duration() - kEndTolerance) {
        position_.set(0.0);
    }
    if (startPlayer(toFrame(position(), rate_))) {
        isPlaying_.set(true);
    }
}

void Transport::seek(double fraction) {
    if (!loaded() || std::isnan(fraction)) {
        return;
    }
    const double c = fraction <= 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
    position_.set(c * duration());
    if (!isPlaying()) {
        return;
    }
    const std::int64_t frame = toFrame(position(), rate_);
    // At the very end there is nothing left to play: end playback as the tick would.
    if (c >= 1.0 || frame >= frames_) {
        reachEnd();
    } else if (!startPlayer(frame)) {
        player_.stop();
        isPlaying_.set(false);
    }
}

void Transport::skip(double seconds) {
    if (!loaded() || !(duration() > 0.0)) {
        return;
    }
    const double now = isPlaying() ? player_.currentTime() : position();
    seek((now + seconds) / duration());
}

void Transport::setListening(TalnModel::Listening listening) {
    listening_ = listening;
    emit model_.listeningChanged();
    emit model_.hearOriginalChanged();
    player_.setListening(static_cast<Player::Listening>(listening));
}

void Transport::releaseRetired() {
    player_.releaseRetired();
}

void Transport::tick() {
    if (!isPlaying()) {
        return;
    }
    const double t = player_.currentTime();
    if (t >= duration()) {
        reachEnd();
    } else {
        position_.set(t);
    }
}

std::int64_t Transport::playheadFrame() const {
    const double seconds = isPlaying() ? player_.currentTime() : position();
    return std::clamp<std::int64_t>(toFrame(seconds, rate_), 0, frames_);
}

std::int64_t Transport::listenerFrame() {
    return isPlaying() ? player_.currentFrame() : toFrame(position(), rate_);
}

} // namespace taln
