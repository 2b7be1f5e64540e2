#pragma once

// A focused push button takes Space and Return (and Enter) as every desktop button does, even
// where the window has a shortcut on the key (Space plays and pauses): the button claims the
// key before the shortcut sees it, Space presses it as Qt's buttons do, and Return or Enter
// clicks it (or opens its menu). Elsewhere the keys keep their shortcuts. installButtonKeys()
// sets this up for the whole application once; later calls do nothing. Main thread.

namespace taln {

void installButtonKeys();

} // namespace taln
