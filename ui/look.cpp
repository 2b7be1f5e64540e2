#include "ui/look.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cmath>

namespace taln::look {

namespace {

// Bar heights of the drawn waveform glyph, as fractions of its half height.
constexpr std::array<double, 9> kGlyphBars = {0.25, 0.55, 0.9, 0.6, 1.0, 0.7, 0.4, 0.8, 0.3};

double scaleOf(TextStyle style) {
    switch (style) {
    case TextStyle::body:
    case TextStyle::headline:
        return 1.0;
    case TextStyle::title2:
        return 17.0 / 13.0;
    case TextStyle::title3:
        return 15.0 / 13.0;
    case TextStyle::callout:
        return 12.0 / 13.0;
    case TextStyle::caption:
        return 10.0 / 13.0;
    }
    return 1.0;
}

QFont scaled(QFont base, TextStyle style) {
    const qreal points = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    base.setPointSizeF(points * scaleOf(style));
    if (style == TextStyle::headline) {
        base.setWeight(QFont::DemiBold);
    }
    return base;
}

QPalette paletteOf(const QWidget* widget) {
    return widget != nullptr ? widget->palette() : QApplication::palette();
}

// A monochrome theme symbol recoloured to `color`, at the sizes buttons ask for.
QIcon tinted(const QIcon& symbol, const QColor& color) {
    QIcon result;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = symbol.pixmap(QSize(side, side));
        if (pixmap.isNull()) {
            continue;
        }
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
        painter.end();
        result.addPixmap(pixmap, QIcon::Normal);
        QPixmap faded = pixmap;
        faded.fill(Qt::transparent);
        QPainter fader(&faded);
        fader.setOpacity(0.35);
        fader.drawPixmap(0, 0, pixmap);
        fader.end();
        result.addPixmap(faded, QIcon::Disabled);
    }
    return result;
}

// The theme's symbolic (monochrome) variant first, drawn in the button text colour so it
// reads on light and dark palettes alike; then the theme's full-colour icon; then the
// style's own.
QIcon themed(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
    const QString base = QString::fromLatin1(name);
    const QIcon symbolic = QIcon::fromTheme(base + QStringLiteral("-symbolic"));
    if (!symbolic.isNull()) {
        const QIcon icon = tinted(symbolic, paletteOf(widget).color(QPalette::ButtonText));
        if (!icon.isNull()) {
            return icon;
        }
    }
    QIcon icon = QIcon::fromTheme(base);
    if (!icon.isNull()) {
        return icon;
    }
    const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    return style->standardIcon(fallback, nullptr, widget);
}

// Bars centred on the middle of `area`, each as tall as its share of kGlyphBars.
void drawGlyphBars(QPainter& painter, const QRectF& area, const QColor& color) {
    const double step = area.width() / static_cast<double>(kGlyphBars.size());
    const double barWidth = step * 0.55;
    const double mid = area.center().y();
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    for (std::size_t i = 0; i < kGlyphBars.size(); ++i) {
        const double half = kGlyphBars[i] * area.height() * 0.5;
        const QRectF bar(area.left() + step * static_cast<double>(i) + (step - barWidth) / 2,
                         mid - half, barWidth, 2 * half);
        painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
}

} // namespace

QFont font(TextStyle style) {
    return scaled(QApplication::font(), style);
}

QFont monospaceFont(TextStyle style) {
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF()
                                                              : 10.0);
    return scaled(fixed, style);
}

namespace {

// `top` at `opacity` over the opaque `bottom`.
QColor blend(const QColor& top, const QColor& bottom, double opacity) {
    const auto mix = [opacity](double a, double b) { return opacity * a + (1.0 - opacity) * b; };
    return QColor::fromRgbF(static_cast<float>(mix(top.redF(), bottom.redF())),
                            static_cast<float>(mix(top.greenF(), bottom.greenF())),
                            static_cast<float>(mix(top.blueF(), bottom.blueF())));
}

double luminance(const QColor& color) {
    const auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

// The lanes' background (the window text at 5 % over the window), the darkest (on light
// windows; the lightest on dark ones) that secondary text sits on; a little more for margin.
constexpr double kDeepestBackground = 0.08;
constexpr double kSecondaryOpacity = 0.5;
constexpr double kFadeStep = 0.02;

} // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor secondary(const QWidget* widget) {
    const QPalette palette = paletteOf(widget);
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const QColor deepest = blend(text, window, kDeepestBackground);
    double opacity = kSecondaryOpacity;
    QColor color = blend(text, window, opacity);
    while (opacity < 1.0 &&
           std::min(contrastRatio(color, window), contrastRatio(color, deepest)) < kTextContrast) {
        opacity = std::min(1.0, opacity + kFadeStep);
        color = blend(text, window, opacity);
    }
    return color;
}

QColor errorText(const QWidget* widget) {
    const QColor window = paletteOf(widget).color(QPalette::Window);
    const QColor toward = luminance(window) > 0.5 ? QColor(Qt::black) : QColor(Qt::white);
    QColor color = systemRed();
    for (double amount = kFadeStep; contrastRatio(color, window) < kTextContrast && amount <= 1.0;
         amount += kFadeStep) {
        color = blend(toward, systemRed(), amount);
    }
    return color;
}

QRgb spectrogramColor(float decibels) {
    // Stops of the ramp, evenly spaced from the floor to the top.
    static constexpr std::array<std::array<int, 3>, 6> kStops{{
        {0x00, 0x00, 0x04},
        {0x3b, 0x0f, 0x70},
        {0x8c, 0x29, 0x81},
        {0xde, 0x49, 0x68},
        {0xfe, 0x9f, 0x6d},
        {0xfc, 0xfd, 0xbf},
    }};
    const float span = kSpectrogramTopDb - kSpectrogramFloorDb;
    const float t = std::isnan(decibels)
                        ? 0.0f
                        : std::clamp((decibels - kSpectrogramFloorDb) / span, 0.0f, 1.0f);
    const float at = t * static_cast<float>(kStops.size() - 1);
    const auto i = std::min(static_cast<std::size_t>(at), kStops.size() - 2);
    const float f = at - static_cast<float>(i);
    int rgb[3];
    for (int k = 0; k < 3; ++k) {
        rgb[k] = static_cast<int>(
            std::lround(static_cast<float>(kStops[i][static_cast<std::size_t>(k)]) * (1.0f - f) +
                        static_cast<float>(kStops[i + 1][static_cast<std::size_t>(k)]) * f));
    }
    return qRgb(rgb[0], rgb[1], rgb[2]);
}

QColor primary(const QWidget* widget, double opacity) {
    QColor color = paletteOf(widget).color(QPalette::WindowText);
    color.setAlphaF(static_cast<float>(opacity));
    return color;
}

QColor accent(const QWidget* widget) {
    return paletteOf(widget).color(QPalette::Highlight);
}

QColor systemRed() {
    return QColor(0xe0, 0x1b, 0x24);
}

QColor systemOrange() {
    return QColor(0xff, 0x95, 0x00);
}

QColor systemGray() {
    return QColor(0x8e, 0x8e, 0x93);
}

QColor systemTeal() {
    return QColor(0x30, 0xb0, 0xc7);
}

QIcon playIcon(const QWidget* widget) {
    return themed("media-playback-start", QStyle::SP_MediaPlay, widget);
}

QIcon pauseIcon(const QWidget* widget) {
    return themed("media-playback-pause", QStyle::SP_MediaPause, widget);
}

QIcon swapIcon(const QWidget* widget) {
    // Drawn here, pixel-aligned at each size: the themes' flip symbols shrink to a blob at
    // 16 px. Two arrows, right over left: the two versions traded for each other.
    const QColor color = paletteOf(widget).color(QPalette::ButtonText);
    QIcon icon;
    for (const int size : {16, 24, 32, 48}) {
        for (const qreal ratio : {1.0, 2.0}) {
            QPixmap pixmap(QSize(size, size) * ratio);
            pixmap.setDevicePixelRatio(ratio);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            const double s = size;
            // An odd pixel count of stroke centred on a pixel row stays sharp at 1x.
            const double line = std::max(1.5, s / 10.0);
            QPen pen(color, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            painter.setPen(pen);
            const double head = 0.22 * s;
            const double left = 0.12 * s;
            const double right = 0.88 * s;
            const double top = std::round(0.32 * s) + 0.5;
            const double bottom = std::round(0.68 * s) - 0.5;
            painter.drawLine(QPointF(left, top), QPointF(right, top));
            painter.drawPolyline(QPolygonF{QPointF(right - head, top - head), QPointF(right, top),
                                           QPointF(right - head, top + head)});
            painter.drawLine(QPointF(left, bottom), QPointF(right, bottom));
            painter.drawPolyline(QPolygonF{QPointF(left + head, bottom - head),
                                           QPointF(left, bottom),
                                           QPointF(left + head, bottom + head)});
            painter.end();
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}

QPixmap waveformSymbol(const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    drawGlyphBars(painter, QRectF(0.04 * s, 0.14 * s, 0.74 * s, 0.62 * s), color);

    // The minus badge sits in the lower right corner, cut out of the bars behind it.
    const QRectF badge(0.6 * s, 0.58 * s, 0.38 * s, 0.38 * s);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(badge.adjusted(-0.05 * s, -0.05 * s, 0.05 * s, 0.05 * s));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(color);
    painter.drawEllipse(badge);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    const double barHeight = 0.06 * s;
    painter.drawRect(QRectF(badge.left() + 0.09 * s, badge.center().y() - barHeight / 2,
                            badge.width() - 0.18 * s, barHeight));
    return pixmap;
}

QIcon appIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const double s = size;
        // Same geometry as packaging/org.taln.Taln.svg on its 128 grid.
        QLinearGradient background(0, 0, 0, s);
        background.setColorAt(0, QColor(0x2b, 0x3a, 0x55));
        background.setColorAt(1, QColor(0x16, 0x1e, 0x2e));
        painter.setPen(Qt::NoPen);
        painter.setBrush(background);
        painter.drawRoundedRect(QRectF(0.06 * s, 0.06 * s, 0.88 * s, 0.88 * s), 0.2 * s, 0.2 * s);
        drawGlyphBars(painter, QRectF(0.17 * s, 0.22 * s, 0.66 * s, 0.56 * s), systemTeal());
        painter.setBrush(systemOrange());
        painter.drawRect(QRectF(0.56 * s, 0.16 * s, 0.03 * s, 0.68 * s));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace taln::look
