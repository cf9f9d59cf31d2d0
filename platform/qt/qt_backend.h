// What the Linux backend shows of itself to its own tests.
#pragma once

#include "platform/platform.h"
#include "platform/qt/qt_internal.h"

class QWidget;
class QFont;

namespace platform::qt {

// The widget behind a control; nullptr before CreateForm.
QWidget* Widget(Control c);
// The face chosen for the form from its layout.
QFont FormFont();
// The frame the backend counts around the form's client area, in pixels.
FrameExtents Frame();

}  // namespace platform::qt
