// What the FLTK window shows, for its tests: the places and states of its widgets as drawn,
// without FLTK types. The view must be the one CreateWizardView made on Linux.
//
// Threads: the user-interface thread.
#pragma once

#include "ui/controls.h"
#include "ui/view.h"

namespace ui::fltk {

struct Bounds {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

// The widget's rectangle in window coordinates (labels as sized to their text).
Bounds ControlBounds(View& view, ControlId id);
// The widget and all its parents are shown (on the page in front, not hidden).
bool ControlShown(View& view, ControlId id);
// The widget has the keyboard focus.
bool HasFocus(View& view, ControlId id);
// The X window id of the wizard window, 0 while it is not shown.
unsigned long WindowId(View& view);
// The X window id of the modal dialog that is open (message box, licence window), else 0.
unsigned long ModalWindowId();
// Events read from the display connection and queued in the client library, not yet handled.
int QueuedDisplayEvents();
// A round trip to the display: what has arrived on the connection is read into the client
// library's queue, as a reply awaited during a repaint does, and not handled.
void ReadDisplayEventsAhead();
// The marquee animation's position (0 to 1); it moves while the style is marquee.
double MarqueePhase(View& view);

}  // namespace ui::fltk
