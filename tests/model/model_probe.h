#pragma once

// TalnModelProbe: the model's test hooks, for the model's and the window's tests.

#include "model/taln_model.h"

#include <QString>
#include <functional>

namespace taln {

// Reaches the model's test hooks (a friend of TalnModel).
class TalnModelProbe {
public:
    static void onLoadFinished(TalnModel& model, std::function<void(const QString&)> hook) {
        model.loadFinishedHook_ = std::move(hook);
    }
    static void onCleaningFinished(TalnModel& model, std::function<void()> hook) {
        model.cleaningFinishedHook_ = std::move(hook);
    }
    static void onExportStarting(TalnModel& model, std::function<void()> hook) {
        model.exportStartingHook_ = std::move(hook);
    }
};

} // namespace taln
