#include "model/notices.h"

#include "model/noise_choice.h"
#include "model/taln_model.h"

#include <QFileInfo>
#include <QStringList>

namespace taln {

Notices::Notices(TalnModel& model)
    : errorMessage_(model, &TalnModel::errorMessageChanged),
      notice_(model, &TalnModel::noticeChanged), savedFile_(model, &TalnModel::savedFileChanged) {}

void Notices::showError(Origin origin, const QString& message) {
    origin_ = origin;
    errorMessage_.set(message);
}

void Notices::clearError() {
    errorMessage_.set(QString());
}

void Notices::clearError(Origin origin) {
    if (!errorMessage_.get().isNull() && origin_ == origin) {
        clearError();
    }
}

void Notices::startLoad() {
    loadLines_.clear();
    noise_ = Noise::none;
    dismissSaved();
    refresh();
}

void Notices::setLoadLines(const QString& lines) {
    loadLines_ = lines;
}

void Notices::setNoise(Noise noise) {
    noise_ = noise;
    refresh();
}

void Notices::setSaved(const QString& path, const QString& message) {
    savedFile_.set(path);
    savedLine_ = QStringLiteral("Saved ") + QFileInfo(path).fileName();
    if (!message.isEmpty()) {
        savedLine_ += QLatin1Char('\n') + message;
    }
    refresh();
}

void Notices::dismissSaved() {
    if (savedFile_.get().isNull()) {
        return;
    }
    savedFile_.set(QString());
    savedLine_.clear();
    refresh();
}

void Notices::refresh() {
    QString noise;
    switch (noise_) {
    case Noise::doubtful:
        noise = NoiseChoice::doubtfulNotice();
        break;
    case Noise::tooShort:
        noise = NoiseChoice::tooShortNotice();
        break;
    case Noise::none:
        break;
    }
    QStringList lines;
    for (const QString& line : {loadLines_, noise, savedLine_}) {
        if (!line.isEmpty()) {
            lines << line;
        }
    }
    notice_.set(lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')));
}

} // namespace taln
