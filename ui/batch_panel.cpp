#include "ui/batch_panel.h"

#include "ui/elided_label.h"
#include "ui/look.h"
#include "ui/text_format.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cmath>

namespace taln {

namespace {

constexpr int kMargin = 18;
constexpr int kSpacing = 12;
constexpr int kRowSpacing = 4;
// Wide enough for a file name and its bar side by side, and for a failure's words on two lines.
constexpr int kMinimumWidth = 560;
constexpr int kBarWidth = 200;
// The list shows this many rows before it scrolls.
constexpr int kVisibleRows = 6;

struct FormatChoice {
    const char* title;
    BatchRun::Format format;
};

// In the order taln-clean's --format names them.
constexpr FormatChoice kFormats[] = {
    {"WAV", BatchRun::Format::wav},
    {"FLAC", BatchRun::Format::flac},
    {"M4A", BatchRun::Format::m4a},
    {"Video, in its own container", BatchRun::Format::video},
};

void setColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace

BatchPanel::BatchPanel(const QStringList& files, double strength, QWidget* parent)
    : QDialog(parent), run_(new BatchRun(files, this)), strengthPercent_(strength),
      folderLabel_(new ElidedLabel(this)),
      choose_(new QPushButton(QStringLiteral("Choose…"), this)), format_(new QComboBox(this)),
      strength_(new QLabel(formatStrength(strength), this)), summary_(new QLabel(this)),
      start_(new QPushButton(QStringLiteral("Start"), this)),
      stop_(new QPushButton(QStringLiteral("Stop"), this)),
      close_(new QPushButton(QStringLiteral("Close"), this)) {
    setObjectName(QStringLiteral("batchPanel"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Clean Several Files — Taln"));
    setMinimumWidth(kMinimumWidth);

    const auto count = static_cast<int>(run_->items().size());
    auto* title = new QLabel(QStringLiteral("Clean %1 files").arg(count), this);
    title->setObjectName(QStringLiteral("batchTitle"));
    title->setFont(look::font(look::TextStyle::title3));

    folderLabel_->setObjectName(QStringLiteral("batchFolderLabel"));
    folderLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    choose_->setObjectName(QStringLiteral("batchChooseFolderButton"));
    choose_->setAccessibleName(QStringLiteral("Choose the folder for the cleaned files"));
    format_->setObjectName(QStringLiteral("batchFormatBox"));
    format_->setAccessibleName(QStringLiteral("Format"));
    for (const FormatChoice& choice : kFormats) {
        format_->addItem(QString::fromLatin1(choice.title), static_cast<int>(choice.format));
    }
    strength_->setObjectName(QStringLiteral("batchStrengthLabel"));
    strength_->setFont(look::monospaceFont(look::TextStyle::body));
    strength_->setAccessibleName(QStringLiteral("Strength %1").arg(formatStrength(strength)));
    strength_->setToolTip(QStringLiteral("The strength set in the window"));

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folderLabel_, 1);
    folderRow->addWidget(choose_);
    auto* settings = new QFormLayout;
    settings->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    settings->addRow(QStringLiteral("Save to:"), folderRow);
    settings->addRow(QStringLiteral("Format:"), format_);
    settings->addRow(QStringLiteral("Strength:"), strength_);

    // The files, each with its bar and the line saying how it stands.
    auto* list = new QWidget;
    list->setObjectName(QStringLiteral("batchList"));
    auto* grid = new QGridLayout(list);
    grid->setVerticalSpacing(kRowSpacing);
    grid->setHorizontalSpacing(kSpacing);
    grid->setColumnStretch(0, 1);
    for (int i = 0; i < count; ++i) {
        const QString input = run_->items()[static_cast<std::size_t>(i)].input;
        const QString name = QFileInfo(input).fileName();
        auto* nameLabel = new ElidedLabel(list);
        nameLabel->setText(name);
        nameLabel->setToolTip(input);
        nameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        auto* bar = new QProgressBar(list);
        bar->setObjectName(QStringLiteral("batchProgress%1").arg(i));
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setFormat(QStringLiteral("%p %"));
        bar->setFixedWidth(kBarWidth);
        bar->setAccessibleName(QStringLiteral("Progress of %1").arg(name));
        // A failed file's bar goes, its place kept: the rows below do not move.
        QSizePolicy keep = bar->sizePolicy();
        keep.setRetainSizeWhenHidden(true);
        bar->setSizePolicy(keep);
        auto* status = new QLabel(list);
        status->setObjectName(QStringLiteral("batchStatus%1").arg(i));
        // Failures carry file names and library text: never read them as markup.
        status->setTextFormat(Qt::PlainText);
        status->setWordWrap(true);
        status->setFont(look::font(look::TextStyle::callout));
        status->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(nameLabel, 2 * i, 0);
        grid->addWidget(bar, 2 * i, 1);
        grid->addWidget(status, 2 * i + 1, 0, 1, 2);
        rows_.push_back({bar, status});
    }
    grid->setRowStretch(2 * count, 1);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("batchScroll"));
    scroll->setWidget(list);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::StyledPanel);
    scroll->setAccessibleName(QStringLiteral("Files"));
    // Room for each visible row's failure on two lines, so that words that wrap while the
    // batch runs do not push the list into scrolling.
    const int rowHeight = list->sizeHint().height() / std::max(count, 1) +
                          QFontMetrics(look::font(look::TextStyle::callout)).lineSpacing();
    scroll->setMinimumHeight(std::min(count, kVisibleRows) * rowHeight + 2 * kRowSpacing);

    summary_->setObjectName(QStringLiteral("batchSummary"));
    summary_->setTextFormat(Qt::PlainText);
    summary_->setFont(look::font(look::TextStyle::callout));
    setColor(summary_, look::secondary(this));

    start_->setObjectName(QStringLiteral("batchStartButton"));
    start_->setDefault(true);
    stop_->setObjectName(QStringLiteral("batchStopButton"));
    stop_->setToolTip(QStringLiteral("Stop cleaning (Esc)"));
    close_->setObjectName(QStringLiteral("batchCloseButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(summary_, 1);
    buttons->addWidget(close_);
    buttons->addWidget(stop_);
    buttons->addWidget(start_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(kSpacing);
    column->addWidget(title);
    column->addLayout(settings);
    column->addWidget(scroll, 1);
    column->addLayout(buttons);

    setTabOrder(choose_, format_);
    setTabOrder(format_, scroll);
    setTabOrder(scroll, close_);
    setTabOrder(close_, stop_);
    setTabOrder(stop_, start_);

    connect(choose_, &QPushButton::clicked, this, &BatchPanel::chooseFolder);
    connect(start_, &QPushButton::clicked, this, &BatchPanel::startRun);
    connect(stop_, &QPushButton::clicked, run_, &BatchRun::stop);
    connect(close_, &QPushButton::clicked, this, &QDialog::close);
    connect(run_, &BatchRun::itemChanged, this, &BatchPanel::refreshRow);
    connect(run_, &BatchRun::runningChanged, this, &BatchPanel::refreshButtons);

    setFolder(count > 0 ? QFileInfo(run_->items().front().input).absolutePath() : QDir::homePath());
    for (int i = 0; i < count; ++i) {
        refreshRow(i);
    }
    refreshButtons();
    start_->setFocus();
}

void BatchPanel::setFolder(const QString& folder) {
    folder_ = folder;
    folderLabel_->setText(QDir::toNativeSeparators(folder));
    folderLabel_->setToolTip(QDir::toNativeSeparators(folder));
    folderLabel_->setAccessibleName(QStringLiteral("Save to %1").arg(folder));
}

QString BatchPanel::statusText(BatchRun::State state, const QString& message) {
    switch (state) {
    case BatchRun::State::waiting:
        return QStringLiteral("Waiting");
    case BatchRun::State::cleaning:
        return QStringLiteral("Cleaning…");
    case BatchRun::State::done:
        return QStringLiteral("Done");
    case BatchRun::State::stopped:
        return QStringLiteral("Stopped");
    case BatchRun::State::failed:
        break;
    }
    return message.isEmpty() ? QStringLiteral("Failed") : message;
}

void BatchPanel::reject() {
    if (run_->isRunning()) {
        run_->stop();
        return;
    }
    QDialog::reject();
}

void BatchPanel::startRun() {
    BatchRun::Settings settings;
    settings.folder = folder_;
    settings.format = static_cast<BatchRun::Format>(format_->currentData().toInt());
    settings.strength = strengthPercent_;
    run_->start(settings);
}

void BatchPanel::chooseFolder() {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Choose a folder for the cleaned files"), folder_);
    if (!chosen.isEmpty()) {
        setFolder(chosen);
    }
}

void BatchPanel::refreshRow(int index) {
    const BatchRun::Item& item = run_->items()[static_cast<std::size_t>(index)];
    const Row& row = rows_[static_cast<std::size_t>(index)];
    row.bar->setValue(static_cast<int>(std::lround(item.progress * 100.0)));
    row.bar->setVisible(item.state != BatchRun::State::failed);
    row.status->setText(statusText(item.state, item.message));
    row.status->setToolTip(item.output.isEmpty() ? QString()
                                                 : QDir::toNativeSeparators(item.output));
    setColor(row.status,
             item.state == BatchRun::State::failed ? look::errorText(this) : look::secondary(this));
}

void BatchPanel::refreshButtons() {
    const bool running = run_->isRunning();
    const bool finished = run_->isFinished();
    start_->setVisible(!running && !finished);
    stop_->setVisible(running);
    close_->setVisible(!running);
    choose_->setEnabled(!running && !finished);
    format_->setEnabled(!running && !finished);
    if (running) {
        stop_->setDefault(true);
        stop_->setFocus();
    } else if (finished) {
        close_->setDefault(true);
        close_->setFocus();
        int done = 0;
        int failed = 0;
        int stopped = 0;
        for (const BatchRun::Item& item : run_->items()) {
            done += item.state == BatchRun::State::done ? 1 : 0;
            failed += item.state == BatchRun::State::failed ? 1 : 0;
            stopped += item.state == BatchRun::State::stopped ? 1 : 0;
        }
        const auto count = static_cast<int>(run_->items().size());
        QString summary = done == count ? QStringLiteral("All %1 files cleaned").arg(count)
                                        : QStringLiteral("%1 of %2 cleaned").arg(done).arg(count);
        if (failed > 0) {
            summary += QStringLiteral(", %1 failed").arg(failed);
        }
        if (stopped > 0) {
            summary += QStringLiteral(", %1 stopped").arg(stopped);
        }
        summary_->setText(summary);
    }
}

} // namespace taln
