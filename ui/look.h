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

// Secondary foreground: the window text at half opacity, the way secondary labels read
// on light and dark backgrounds alike.
QColor secondary(const QWidget* widget);
// The label colour (window text) at `opacity`.
QColor primary(const QWidget* widget, double opacity);
// The accent: the palette's highlight.
QColor accent(const QWidget* widget);

// The system colours, as fixed values that read well on light and dark windows.
QColor systemRed();
QColor systemOrange();
QColor systemGray();
QColor systemTeal();

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
