#include "ui/view_range.h"

#include <algorithm>
#include <cmath>

namespace taln {

namespace {

// Where `following` puts the playhead: a tenth of the view in, so what comes next fills the
// other nine tenths.
constexpr double kFollowLead = 0.1;

// [from, from + length] moved (not resized) to lie inside [0, 1].
ViewRange inside(double from, double length) {
    length = std::clamp(length, 0.0, 1.0);
    from = std::clamp(from, 0.0, 1.0 - length);
    return {from, from + length};
}

} // namespace

double ViewRange::fractionAt(double x, double width) const {
    return from + x / std::max(width, 1.0) * length();
}

double ViewRange::xOf(double fraction, double width) const {
    return length() > 0.0 ? (fraction - from) / length() * width : 0.0;
}

ViewRange ViewRange::zoomed(double factor, double anchor, double shortest) const {
    if (!(factor > 0.0) || !std::isfinite(factor) || !std::isfinite(anchor)) {
        return *this;
    }
    const double length = std::clamp(this->length() / factor, std::min(shortest, 1.0), 1.0);
    // The anchor keeps its place: the share of the view to its left stays the same.
    const double share = this->length() > 0.0 ? (anchor - from) / this->length() : 0.0;
    return inside(anchor - std::clamp(share, 0.0, 1.0) * length, length);
}

ViewRange ViewRange::scrolled(double delta) const {
    if (!std::isfinite(delta)) {
        return *this;
    }
    return inside(from + delta, length());
}

ViewRange ViewRange::following(double fraction) const {
    if (contains(fraction) || !std::isfinite(fraction)) {
        return *this;
    }
    return inside(fraction - kFollowLead * length(), length());
}

} // namespace taln
