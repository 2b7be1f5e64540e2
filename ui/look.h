#pragma once

// The window's shared look: the named colours and text styles every piece uses, derived
// from the application palette and font so a dark theme or a larger desktop font carries
// through. Main thread (reads QApplication's palette and font).

#include <QColor>
#include <QFont>
#include <QIcon>

class QWidget;

namespace taln::look {

// Text styles, scaled from the desktop's body font: title2 is 17/13 of the body size,
// title3 15/13, callout 12/13, caption 10/13, the proportions of the common type ramp.
enum class TextStyle { body, headline, title2, title3, callout, caption };
QFont font(TextStyle style);
// The fixed-pitch system font at the size of `style`, for numbers that must not jitter.
QFont monospaceFont(TextStyle style);

// Secondary foreground: the window text faded toward the window colour, as far as keeps text
// at kTextContrast against the window and the lanes' slightly darker background: half opacity
// where the palette allows it (on light windows the fade stops earlier: the window text at
// half opacity on #EFEFEF is #777, 3.9:1). Opaque.
QColor secondary(const QWidget* widget);
// The error text: systemRed() made darker (light windows) or lighter (dark ones) as far as it
// takes to read at kTextContrast against the window.
QColor errorText(const QWidget* widget);

// Text contrast the window keeps: WCAG's 4.5:1 for body text, with a little room for rounding.
inline constexpr double kTextContrast = 4.6;
// The contrast ratio of two opaque colours, (L1 + 0.05) / (L2 + 0.05) with L the relative
// luminance, lighter over darker: 1 ... 21.
double contrastRatio(const QColor& a, const QColor& b);
// The label colour (window text) at `opacity`.
QColor primary(const QWidget* widget, double opacity);
// The accent: the palette's highlight.
QColor accent(const QWidget* widget);

// The system colours, as fixed values that read well on light and dark windows.
QColor systemRed();
QColor systemOrange();
QColor systemGray();
QColor systemTeal();

// The spectrogram's colour scale: kSpectrogramFloorDb and below are black, kSpectrogramTopDb and
// above pale yellow, through purple, red and orange between (a perceptually even ramp, readable
// in grey). Levels are a band's power against a full-scale sine.
inline constexpr float kSpectrogramFloorDb = -120.0f;
inline constexpr float kSpectrogramTopDb = -20.0f;
QRgb spectrogramColor(float decibels);

// Symbols: the desktop theme's icon where the theme has one, the style's standard icon
// otherwise.
QIcon playIcon(const QWidget* widget);
QIcon pauseIcon(const QWidget* widget);
// The compare symbol is Taln's own, two opposed arrows drawn sharp at every size.
QIcon swapIcon(const QWidget* widget);

// The drop zone's symbol, drawn: a waveform with a minus badge, in `color`, `size` pixels
// square (no theme has a waveform glyph).
QPixmap waveformSymbol(const QColor& color, int size, qreal devicePixelRatio);

// The application's icon, drawn at run time from the same design as packaging/org.taln.Taln.svg (Qt
// needs an extra plugin to read SVG).
QIcon appIcon();

} // namespace taln::look
