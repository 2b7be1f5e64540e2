#pragma once

// ViewRange: the stretch of the file the waveforms show, as fractions of its length, and the
// arithmetic of zooming and scrolling it. The whole file is [0, 1]; a zoomed view is shorter
// and always lies inside it. Pure values; any thread.

namespace taln {

struct ViewRange {
    double from = 0.0;
    double to = 1.0;

    double length() const { return to - from; }
    bool isWhole() const { return from <= 0.0 && to >= 1.0; }

    // The file fraction at `x` in a view `width` wide, and back; unclamped.
    double fractionAt(double x, double width) const;
    double xOf(double fraction, double width) const;

    // `factor` times closer (below 1: farther), keeping `anchor` (a file fraction) where it is
    // on screen; no shorter than `shortest` (a fraction of the file), no longer than the file,
    // moved back inside it where it would stick out.
    ViewRange zoomed(double factor, double anchor, double shortest) const;

    // Moved by `delta` (a fraction of the file), held inside the file.
    ViewRange scrolled(double delta) const;

    // The view that shows `fraction`: this one when it does; else the same length, moved so
    // that `fraction` sits a tenth of the way in (a page on, when playback runs off the right).
    ViewRange following(double fraction) const;

    bool contains(double fraction) const { return fraction >= from && fraction <= to; }

    friend bool operator==(const ViewRange&, const ViewRange&) = default;
};

} // namespace taln
