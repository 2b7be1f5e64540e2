#pragma once

// What every model test stands on: a model with fake panels and a ManualOutput, audio
// fixtures written at test time, hooks that can hold a worker's result back, and waiting
// on the event loop without assuming any speed.

#include "model/file_panels.h"
#include "model/taln_model.h"
#include "model/worker_hooks.h"
#include "tests/support/chunked_copies.h"
#include "tests/support/manual_output.h"

#include <QString>
#include <QTemporaryDir>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace taln {
namespace test {

// Generous: the tests also run under ThreadSanitizer on a busy machine.
inline constexpr int kWaitMs = 120000;

// Processes events until `done` holds; false if it never did within kWaitMs.
bool waitFor(const std::function<bool()>& done);

// Waits until every background worker has ended, then delivers what they posted.
void drainWorkers();

// A worker thread stops at the gate until the test opens it.
class Gate {
public:
    void pass();              // worker: count the arrival, then wait until open
    bool waitArrivals(int n); // test thread: process events until n workers arrived
    void open();
    int arrivals() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    int arrivals_ = 0;
    bool open_ = false;
};

class FakePanels : public FilePanels {
public:
    struct State {
        std::deque<QString> openAnswers; // a null QString cancels the panel
        // Answers of the panel taking several files, before any of `openAnswers`.
        std::deque<QStringList> openManyAnswers;
        std::optional<QString> exportAnswer;
        // Runs while the export panel is "open", as the event loop of a modal panel would.
        std::function<void()> whileExportPanelOpen;
        int openCalls = 0;
        std::vector<std::pair<AudioExporter::Kind, QString>> exportCalls;
        std::vector<QString> exportFolders;
    };
    explicit FakePanels(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::optional<QString> chooseFileToOpen() override;
    QStringList chooseFilesToOpen() override;
    std::optional<QString> chooseExportDestination(AudioExporter::Kind kind,
                                                   const QString& suggestedName,
                                                   const QString& folder) override;
    // Recorded in `exportCalls` with the m4a kind; answers `exportAnswer`.
    std::optional<QString> chooseVideoDestination(const QString& extension,
                                                  const QString& suggestedName,
                                                  const QString& folder,
                                                  bool& keepOriginalAudio) override;

private:
    std::shared_ptr<State> state_;
};

// Noise with bursts of a 440 Hz tone, so that every strength cleans it differently.
// Deterministic for a given seed.
std::vector<float> noisyTone(std::int64_t frames, unsigned seed);

struct Harness {
    Harness();

    // Writes `channels` as a 16-bit WAV named `name` in the temp dir; returns its path.
    QString writeWav(const QString& name, const std::vector<std::vector<float>>& channels);
    // A noisy-tone file of `seconds` with `channelCount` channels.
    QString writeTone(const QString& name, double seconds, int channelCount);

    // Loads and waits until the file is installed and its first cleaning published.
    void loadAndSettle(const QString& path);

    // The cleaned audio the engine makes of the loaded original at `percent`.
    Channels expectedClean(double percent) const;

    QTemporaryDir dir;
    std::shared_ptr<FakePanels::State> panels = std::make_shared<FakePanels::State>();
    ManualOutput* output = nullptr; // owned by the model's player
    std::shared_ptr<WorkerHooks> hooks = std::make_shared<WorkerHooks>();
    std::unique_ptr<TalnModel> model;
};

// Sample-for-sample equality of two Channels values.
bool sameAudio(const Channels& a, const Channels& b);

// Each channel of `a` within 1e-6 relative RMS of `b`'s: what the cleaning by pieces promises
// against the engine's whole-channel run.
bool closeAudio(const Channels& a, const Channels& b);

// Pulls `frames` stereo frames from the output and returns the left channel.
std::vector<float> pullLeft(ManualOutput& output, std::int64_t frames);

} // namespace test
} // namespace taln
