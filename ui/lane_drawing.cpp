#include "ui/lane_drawing.h"

#include "audio/chunked_audio.h"
#include "ui/look.h"
#include "ui/waveform_lane.h"

#include <algorithm>

namespace taln {

namespace {

// The spectrogram's bands: one per device pixel row, within these bounds.
constexpr int kFewestBands = 16;
constexpr int kMostBands = 1024;

} // namespace

LaneDrawing::LaneDrawing(WaveformLane* lane, bool legend, QObject* owner,
                         WaveformPeaks::SummaryCache& summaries)
    : lane_(lane), legend_(legend), spectrogram_(new Spectrogram(owner)), summaries_(summaries) {
    QObject::connect(spectrogram_, &Spectrogram::columnsChanged, spectrogram_,
                     [this](int first, int last) { paintColumns(first, last); });
}

void LaneDrawing::showPeaks(const ChunkedAudio& audio, const std::vector<Peak>& wholePeaks,
                            ViewRange view) {
    if (view.isWhole()) {
        lane_->setPeaks(wholePeaks);
        return;
    }
    const auto frames = static_cast<double>(audio.frameCount());
    lane_->setPeaks(WaveformPeaks::columnPeaks(
        audio, view.from * frames, view.to * frames,
        static_cast<std::int64_t>(lane_->width() * lane_->devicePixelRatioF()), summaries_));
}

void LaneDrawing::showSpectrogram(const Spectrogram::Source& source, ViewRange view,
                                  bool newSource) {
    const double ratio = lane_->devicePixelRatioF();
    const auto frames = static_cast<double>(source.audio.frameCount());
    Spectrogram::Grid grid;
    grid.from = view.from * frames;
    grid.to = view.to * frames;
    grid.columns = std::max(1, static_cast<int>(lane_->width() * ratio));
    grid.bands = std::clamp(static_cast<int>(lane_->height() * ratio), kFewestBands, kMostBands);
    if (lane_->showsPicture() && grid == spectrogram_->grid() && !newSource) {
        return;
    }
    lane_->startPicture(grid.columns, grid.bands, view);
    lane_->setFrequencyScale(Spectrogram::kLowestHz, source.sampleRate / 2.0, legend_);
    spectrogram_->show(source, grid);
}

void LaneDrawing::patchSpectrogram(const Spectrogram::Source& source, std::int64_t from,
                                   std::int64_t to) {
    spectrogram_->patch(source, from, to);
}

void LaneDrawing::stopSpectrogram() {
    lane_->stopPicture();
    spectrogram_->show({}, {});
}

void LaneDrawing::paintColumns(int first, int last) {
    const int bands = spectrogram_->grid().bands;
    std::vector<QRgb> colours(static_cast<std::size_t>(bands));
    const float* levels = spectrogram_->levels().data();
    for (int c = first; c < last; ++c) {
        const float* column = levels + static_cast<std::ptrdiff_t>(c) * bands;
        for (int b = 0; b < bands; ++b) {
            colours[static_cast<std::size_t>(b)] = look::spectrogramColor(column[b]);
        }
        lane_->setPictureColumn(c, colours.data());
    }
}

} // namespace taln
