#include "ui/content_view.h"

#include "model/taln_model.h"
#include "ui/busy_spinner.h"
#include "ui/controls_bar.h"
#include "ui/drop_zone.h"
#include "ui/elided_label.h"
#include "ui/look.h"
#include "ui/noise_sample_buttons.h"
#include "ui/settings.h"
#include "ui/text_format.h"
#include "ui/waveform_lane.h"
#include "ui/waveforms_area.h"

#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <chrono>

namespace taln {

namespace {

constexpr int kMargin = 18;
constexpr int kSpacing = 14;
// The export bar's width: long enough to read its progress, short enough for the header.
constexpr int kExportBarWidth = 170;
// How long the strength must rest before it is remembered.
constexpr std::chrono::milliseconds kSaveStrengthDelay{1000};

} // namespace

ContentView::ContentView(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model), fileName_(new ElidedLabel(this)),
      spinner_(new BusySpinner(this)), open_(new QPushButton(QStringLiteral("Open…"), this)),
      export_(new QPushButton(QStringLiteral("Export"), this)), dropZone_(new DropZone(this)),
      waveforms_(new WaveformsArea(model, this)), controls_(new ControlsBar(model, this)),
      error_(new QLabel(this)), notice_(new QLabel(this)), progress_(new QLabel(this)),
      exportProgress_(new QProgressBar(this)) {
    setAcceptDrops(true);

    auto* title = new QLabel(QStringLiteral("Taln"), this);
    title->setObjectName(QStringLiteral("titleLabel"));
    QFont titleFont = look::font(look::TextStyle::title2);
    titleFont.setBold(true);
    title->setFont(titleFont);

    fileName_->setObjectName(QStringLiteral("fileNameLabel"));
    QPalette secondary = fileName_->palette();
    secondary.setColor(QPalette::WindowText, look::secondary(this));
    fileName_->setPalette(secondary);
    fileName_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    spinner_->setObjectName(QStringLiteral("spinner"));
    open_->setObjectName(QStringLiteral("openButton"));
    export_->setObjectName(QStringLiteral("exportButton"));
    export_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto* exportMenu = new QMenu(export_);
    exportMenu->setObjectName(QStringLiteral("exportMenu"));
    QAction* m4a = exportMenu->addAction(QStringLiteral("Export as M4A…"));
    QAction* wav = exportMenu->addAction(QStringLiteral("Export as WAV…"));
    QAction* flac = exportMenu->addAction(QStringLiteral("Export as FLAC…"));
    exportVideo_ = exportMenu->addAction(QStringLiteral("Export Video…"));
    exportVideo_->setObjectName(QStringLiteral("exportMenuVideoAction"));
    exportMenu->addSeparator();
    loudness_ = exportMenu->addAction(QStringLiteral("Normalise loudness (−16 LUFS)"));
    loudness_->setObjectName(QStringLiteral("normaliseLoudnessAction"));
    loudness_->setCheckable(true);
    export_->setMenu(exportMenu);
    open_->setToolTip(QStringLiteral("Open an audio or video file (Ctrl+O)"));
    open_->setAccessibleName(QStringLiteral("Open"));
    export_->setToolTip(QStringLiteral(
        "Export the cleaned audio: M4A (Ctrl+E), WAV (Ctrl+Shift+E) or FLAC (Ctrl+Alt+E)"));
    export_->installEventFilter(this);
    waveforms_->originalLane()->setAccessibleName(QStringLiteral("Original waveform"));
    waveforms_->cleanedLane()->setAccessibleName(QStringLiteral("Cleaned waveform"));

    progress_->setObjectName(QStringLiteral("progressLabel"));
    progress_->setTextFormat(Qt::PlainText);
    progress_->setPalette(secondary);
    exportProgress_->setObjectName(QStringLiteral("exportProgress"));
    exportProgress_->setRange(0, 100);
    exportProgress_->setFormat(QStringLiteral("Exporting… %p %"));
    exportProgress_->setFixedWidth(kExportBarWidth);
    exportProgress_->setAccessibleName(QStringLiteral("Export progress"));
    exportProgress_->setToolTip(QStringLiteral("Exporting; Esc cancels"));

    auto* header = new QHBoxLayout;
    header->addWidget(title);
    // The name takes what the buttons leave and elides in the middle inside it.
    header->addWidget(fileName_, 1);
    // Pushes the buttons to the trailing edge while there is no name to do it.
    header->addStretch(0);
    header->addWidget(progress_);
    header->addWidget(exportProgress_);
    header->addWidget(spinner_);
    header->addWidget(open_);
    header->addWidget(export_);

    error_->setObjectName(QStringLiteral("errorLine"));
    // Messages carry file names and library text: never read them as markup.
    error_->setTextFormat(Qt::PlainText);
    error_->setWordWrap(true);
    error_->setFont(look::font(look::TextStyle::callout));
    QPalette red = error_->palette();
    red.setColor(QPalette::WindowText, look::errorText(this));
    error_->setPalette(red);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error_->setAccessibleDescription(QStringLiteral("Error"));

    // Notices (a file that ends early) are news, not alarms: secondary text under the header.
    notice_->setObjectName(QStringLiteral("noticeLine"));
    // Rich text for the link only: the notice itself is escaped (file names are no markup).
    notice_->setTextFormat(Qt::RichText);
    notice_->setWordWrap(true);
    notice_->setFont(look::font(look::TextStyle::callout));
    QPalette quiet = notice_->palette();
    quiet.setColor(QPalette::WindowText, look::secondary(this));
    notice_->setPalette(quiet);
    notice_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                     Qt::LinksAccessibleByKeyboard);

    // A saved export's notice ends in a link that opens its folder.
    connect(notice_, &QLabel::linkActivated, this, [this] {
        const QString saved = model_->savedFile();
        if (!saved.isNull()) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(saved).absolutePath()));
        }
    });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(kSpacing);
    column->addLayout(header);
    column->addWidget(notice_);
    column->addWidget(dropZone_, 1);
    column->addWidget(waveforms_, 1);
    column->addWidget(controls_);
    column->addWidget(error_);

    // Tab follows the layout: the header, the drop zone or the notice's link, the waveforms,
    // then the controls row by row, from left to right.
    NoiseSampleButtons* noise = controls_->noiseSampleButtons();
    QWidget* const order[] = {open_,
                              export_,
                              dropZone_->chooseButton(),
                              notice_,
                              waveforms_,
                              controls_->playButton(),
                              controls_->compareButton(),
                              controls_->removedButton(),
                              controls_->strengthSlider(),
                              noise->useSelectionButton(),
                              noise->automaticButton()};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }

    connect(open_, &QPushButton::clicked, model_, &TalnModel::openPanel);
    connect(dropZone_, &DropZone::chooseFileRequested, model_, &TalnModel::openPanel);
    connect(m4a, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::m4a); });
    connect(wav, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::wav); });
    connect(flac, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::flac); });
    connect(exportVideo_, &QAction::triggered, model_, &TalnModel::exportVideo);
    // The choice is the user's for every export, remembered across runs.
    {
        QSettings settings;
        model_->setNormaliseLoudness(
            settings.value(QStringLiteral("export/normaliseLoudness"), false).toBool());
        model_->setKeepOriginalAudio(
            settings.value(QStringLiteral("export/keepOriginalAudio"), false).toBool());
    }
    connect(model_, &TalnModel::keepOriginalAudioChanged, this, [this] {
        QSettings().setValue(QStringLiteral("export/keepOriginalAudio"),
                             model_->keepOriginalAudio());
    });
    // So is the strength: the next run (and the next window) starts where this one was left.
    if (const auto strength = Settings::strength()) {
        model_->setStrength(*strength);
    }
    saveStrength_.setSingleShot(true);
    saveStrength_.setInterval(kSaveStrengthDelay);
    connect(&saveStrength_, &QTimer::timeout, this,
            [this] { Settings::setStrength(model_->strength()); });
    // Written once the slider rests: every write of the settings rewrites their file.
    connect(model_, &TalnModel::strengthChanged, &saveStrength_, qOverload<>(&QTimer::start));
    connect(loudness_, &QAction::toggled, model_, [this](bool on) {
        model_->setNormaliseLoudness(on);
        QSettings().setValue(QStringLiteral("export/normaliseLoudness"), on);
    });
    connect(model_, &TalnModel::hasVideoChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::normaliseLoudnessChanged, this, &ContentView::refresh);

    connect(model_, &TalnModel::fileNameChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::isLoadingChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::isProcessingChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::errorMessageChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::noticeChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::loadProgressChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::isExportingChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::exportProgressChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::savedFileChanged, this, &ContentView::refresh);
    // `orig` is not announced itself; it changes in the same turn as these.
    connect(model_, &TalnModel::durationChanged, this, &ContentView::refresh);
    connect(model_, &TalnModel::origPeaksChanged, this, &ContentView::refresh);
    // A file just opened is for listening: the keyboard goes to the waveforms, where Space
    // plays, unless it was somewhere else on purpose (Open… or Choose File… had it for the
    // opening, and a focused button takes Space for itself).
    connect(model_, &TalnModel::origPeaksChanged, this, [this] {
        const QWidget* focus = window()->focusWidget();
        if (!model_->orig().empty() &&
            (focus == nullptr || focus == open_ || focus == dropZone_->chooseButton() ||
             !focus->isVisible())) {
            waveforms_->setFocus();
        }
    });
    refresh();
}

ContentView::~ContentView() {
    // A strength set just before the window closed is remembered too.
    if (saveStrength_.isActive()) {
        Settings::setStrength(model_->strength());
    }
}

QUrl ContentView::droppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls()) {
        return {};
    }
    const QList<QUrl> urls = mime->urls();
    if (urls.isEmpty() || !urls.front().isLocalFile() || urls.front().toLocalFile().isEmpty()) {
        return {};
    }
    return urls.front();
}

QStringList ContentView::droppedFiles(const QMimeData* mime) {
    QStringList paths;
    if (mime == nullptr || !mime->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) {
            paths.push_back(url.toLocalFile());
        }
    }
    return paths;
}

void ContentView::dragEnterEvent(QDragEnterEvent* event) {
    if (droppedFile(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    dropZone_->setTargeted(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent* event) {
    // Accepted for the whole view, the margins included.
    if (droppedFile(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent* event) {
    dropZone_->setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void ContentView::dropEvent(QDropEvent* event) {
    dropZone_->setTargeted(false);
    const QUrl file = droppedFile(event->mimeData());
    if (file.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // Loaded (or handed on) after the drop has been answered, so the drag source is not kept
    // waiting.
    const QStringList paths = droppedFiles(event->mimeData());
    if (paths.size() > 1) {
        QMetaObject::invokeMethod(
            this, [this, paths] { emit filesDropped(paths); }, Qt::QueuedConnection);
        return;
    }
    const QString path = file.toLocalFile();
    QMetaObject::invokeMethod(
        model_, [model = model_, path] { model->load(path); }, Qt::QueuedConnection);
}

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == export_ && event->type() == QEvent::KeyPress && export_->isEnabled()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Down) {
            export_->showMenu();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ContentView::refresh() {
    const bool loaded = !model_->orig().empty();
    const bool loading = model_->isLoading();
    const bool processing = model_->isProcessing();

    // While another file is read, the header names it.
    const QString name = loading && !model_->loadingFileName().isNull() ? model_->loadingFileName()
                                                                        : model_->fileName();
    fileName_->setText(name);
    fileName_->setAccessibleName(name);
    fileName_->setVisible(!name.isNull());
    const double progress = model_->loadProgress();
    // A spinner only where there is no percent to show.
    spinner_->setVisible((loading && progress < 0.0) || processing);
    // Over a loaded file the drop zone is hidden: the header says how far reading got.
    progress_->setText(loadingText(progress));
    progress_->setVisible(loading && loaded);
    exportProgress_->setVisible(model_->isExporting());
    exportProgress_->setValue(static_cast<int>(model_->exportProgress() * 100.0));
    export_->setEnabled(loaded && !processing);

    exportVideo_->setVisible(loaded && model_->hasVideo());
    {
        const QSignalBlocker blocker(loudness_);
        loudness_->setChecked(model_->normaliseLoudness());
    }
    dropZone_->setVisible(!loaded);
    dropZone_->setLoading(loading, progress);
    waveforms_->setVisible(loaded);
    controls_->setVisible(loaded);

    const QString message = model_->errorMessage();
    error_->setText(breakable(message));
    error_->setVisible(!message.isNull());
    const QString notice = model_->notice();
    QString noticeText = breakable(notice).toHtmlEscaped();
    if (!model_->savedFile().isNull()) {
        noticeText += QStringLiteral(" — <a href=\"folder\">Show in Folder</a>");
    }
    notice_->setText(noticeText);
    // Tab stops at the notice for its link only.
    notice_->setFocusPolicy(model_->savedFile().isNull() ? Qt::NoFocus : Qt::StrongFocus);
    // Read out as the words, never as the markup of the link.
    notice_->setAccessibleName(
        model_->savedFile().isNull() ? notice : notice + QStringLiteral(" — Show in Folder"));
    notice_->setVisible(!notice.isEmpty());
}

} // namespace taln
