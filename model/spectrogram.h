#pragma once

// Spectrogram: what a lane shows in the spectrogram view: for each pixel column of a stretch of
// a track, the level of each of a number of frequency bands, log-spaced from 50 Hz to half the
// sample rate, in dB.
//
// Analysis: the mean of the channels (one FFT per frame however many channels), Hann-windowed
// frames of fftLength(rate) samples: 8,192 at 44.1 kHz, 5.4 Hz bins, so that 50 Hz hum and its
// harmonics stand apart and the 50 to 100 Hz octave is ten bins, not two. A column averages
// the powers of up to kFramesPerColumn frames spread evenly over its frames (the whole file on
// a lane 1,000 px wide is one column per 1.2 s of a 20-minute recording: one frame alone would
// be a sample of it, not its level). With a second track to subtract, the frames are of the
// difference: the original minus the cleaned track is what the cleaning removed.
// Levels: 0 dB is a full-scale sine (amplitude 1 in a bin); each band is the mean power of the
// bins whose centres fall inside it, or, where a band is narrower than a bin (the low bands), the
// power interpolated between the two bins around its centre.
//
// Work: every column is computed on a shared worker pool, in tasks of kColumnsPerTask columns,
// from the chunks (shared, never copied); results come back to the main thread through a
// WorkerLink and are announced by columnsChanged. show() asks for a new stretch (every column
// again; the tasks of an earlier one stop at their next column); patch() asks again for the
// columns whose frames reach a changed stretch of the track (a cleaned piece that landed), as
// the waveform's buckets are patched.
// Threads: the object lives on the main thread; the destructor waits for a task computing
// for it to finish its column (a fraction of a millisecond). Memory: the levels (4 bytes per
// column and band), and per task a few FFT-sized buffers.

#include "audio/chunked_audio.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace taln {

class WorkerLink;

class Spectrogram : public QObject {
    Q_OBJECT

public:
    static constexpr double kLowestHz = 50.0;
    static constexpr int kFramesPerColumn = 4;
    static constexpr int kColumnsPerTask = 16;

    // The audio a spectrogram is of: `audio`, minus `subtract` when that is not empty (same
    // channel and frame counts), at `sampleRate`.
    struct Source {
        ChunkedAudio audio;
        ChunkedAudio subtract;
        double sampleRate = 0.0;
    };

    // Frames [from, to) of the source in `columns` columns (column c covers
    // [from + c·w, from + (c + 1)·w), w = (to − from) / columns) of `bands` bands.
    struct Grid {
        double from = 0.0;
        double to = 0.0;
        int columns = 0;
        int bands = 0;
        friend bool operator==(const Grid&, const Grid&) = default;
    };

    // The FFT length for `sampleRate`: the power of two whose bins are nearest 5.4 Hz wide,
    // 1,024 ... 32,768.
    static std::int64_t fftLength(double sampleRate);

    // Levels in dB of columns [first, last) of `grid` over `source`, into out[(c − first) ×
    // bands + b] (band 0 the lowest); stops before a column when `carryOn` (if given) says no.
    // The number of columns done. Any thread.
    static int compute(const Source& source, const Grid& grid, int first, int last, float* out,
                       const std::function<bool()>& carryOn = {});

    explicit Spectrogram(QObject* parent = nullptr);
    ~Spectrogram() override;

    // Shows `grid` of `source`: every column is computed again; the levels go back to NaN until
    // they come.
    void show(Source source, Grid grid);
    // The source's frames [from, to) changed; `source` holds the new ones. The columns that
    // read any of them are computed again; the others keep their levels.
    void patch(Source source, std::int64_t from, std::int64_t to);

    const Grid& grid() const { return grid_; }
    const Source& source() const { return source_; }
    // column-major: levels()[c × bands + b]; NaN for a column not computed yet.
    const std::vector<float>& levels() const { return levels_; }

signals:
    // Columns [first, last) of levels() have their levels.
    void columnsChanged(int first, int last);

private:
    struct Shared;
    // Runs the oldest result a task posted (see WorkerLink). Invoked by name through the event
    // loop, hence Q_INVOKABLE; not for callers.
    Q_INVOKABLE void runPosted();
    void request(int first, int last);
    void arrive(std::uint64_t generation, int first, const std::vector<std::uint32_t>& versions,
                std::vector<float> levels);

    Source source_;
    Grid grid_;
    std::vector<float> levels_;
    // Per column: bumped by each request, so that only the latest result of a column lands.
    std::vector<std::uint32_t> versions_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<WorkerLink> link_;
};

} // namespace taln
