// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Assistive technology is told what a person sees. The developer strip's controls exist and
// are "visible" to the toolkit, but they lie outside the window's fixed client area where nobody
// can see or click them: a screen reader must not announce them as showing, nor press them.

class QWidget;

namespace ll::app {

// Describes every control of `window` that lies wholly outside its client area as not showing,
// not focusable and without actions (its name stays). Controls inside the client area keep the
// toolkit's own descriptions. Call when the window is built and laid out; the toolkit's
// factories would be asked first, so the descriptions are registered for the controls directly.
void DescribeHiddenControlsAsHidden(QWidget& window);

}  // namespace ll::app
