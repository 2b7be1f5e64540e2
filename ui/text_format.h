#pragma once

// Text formatting of the window's labels, as free functions so they can be tested directly.
// Pure; any thread.

#include <QString>

namespace taln {

// Seconds as "m:ss": floored to whole seconds, minutes without padding or an hours field
// (65.3 -> "1:05", 3600 -> "60:00"). Values that are not finite or below zero read "0:00".
QString formatTime(double seconds);

// Seconds as "m:ss.t", floored to tenths (65.37 -> "1:05.3"), for the transport and the
// selection; as formatTime otherwise.
QString formatTenths(double seconds);

// The selection's readout: its start and end (formatTenths) and its length in seconds to a
// tenth ("0:01.2 – 0:03.5 (2.3 s)"), or in m:ss.t from a minute on.
QString selectionText(double from, double to);

// The strength's value label: the percent truncated toward zero, a plain integer and the
// percent sign (59.9 -> "59 %"). Values that are not finite read "0 %"; the rest is clamped
// to 0...100.
QString formatStrength(double strength);

// What a load shows: "Reading audio… 43 %" for a progress of 0.43 (truncated, clamped to
// 0 ... 100), "Reading audio…" alone while the progress is unknown (negative or not finite).
QString loadingText(double progress);

// `text` with a zero-width space after every character of each word longer than a line can
// be expected to hold, so that a wrapping label breaks such a word instead of clipping it.
QString breakable(const QString& text);

} // namespace taln
