#pragma once

// LaneDrawing: what one WaveformLane of the WaveformsArea draws for a view of the file: its
// peaks (the model's summary while the whole file is in view; zoomed in, peaks of just the
// stretch on screen, one per device pixel column, read from the chunks) or its spectrogram
// (a Spectrogram of its own, computed on the worker pool and painted into the lane column by
// column as the columns land).
//
// Main thread.

#include "model/peak.h"
#include "model/spectrogram.h"
#include "model/waveform_peaks.h"
#include "ui/view_range.h"

#include <cstdint>
#include <vector>

class QObject;

namespace taln {

class ChunkedAudio;
class WaveformLane;

class LaneDrawing {
public:
    // Draws into `lane`, with the colour scale's legend beside its spectrogram when `legend`;
    // the spectrogram is a child of `owner`; `summaries` serve the zoomed-in peaks.
    LaneDrawing(WaveformLane* lane, bool legend, QObject* owner,
                WaveformPeaks::SummaryCache& summaries);
    LaneDrawing(const LaneDrawing&) = delete;
    LaneDrawing& operator=(const LaneDrawing&) = delete;

    // Peaks of `audio` for `view`: `wholePeaks` when the view is the whole file.
    void showPeaks(const ChunkedAudio& audio, const std::vector<Peak>& wholePeaks, ViewRange view);
    // The spectrogram of `source` for `view`, one column per device pixel column and one band
    // per device pixel row; asked for again only when the grid changed or `newSource` (other
    // audio, not just patched).
    void showSpectrogram(const Spectrogram::Source& source, ViewRange view, bool newSource);
    // Frames [from, to) of the source changed: their columns are computed again.
    void patchSpectrogram(const Spectrogram::Source& source, std::int64_t from, std::int64_t to);
    // Back to peaks: the picture goes, and the columns still queued have nothing to do.
    void stopSpectrogram();

private:
    void paintColumns(int first, int last);

    WaveformLane* lane_;
    bool legend_;
    Spectrogram* spectrogram_;
    WaveformPeaks::SummaryCache& summaries_;
};

} // namespace taln
