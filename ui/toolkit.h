// The window toolkit's entry points for the program: its application loop and the wizard
// window. Each toolkit library (FLTK on Linux, the native one on Windows) implements these, so
// the program's entry is the same on both platforms and sees no toolkit type.
//
// Threads: the user-interface thread; create the application first, then the view.
#pragma once

#include <memory>

#include "events/application.h"
#include "ui/view.h"

namespace ui {

// The toolkit's application: runs the toolkit's loop with the thread's message queue attached,
// so posted messages and socket notices are dispatched by the loop and inside modal dialogs.
// It installs itself as the current application (SetApplication) and removes itself when
// destroyed. Closing the wizard window posts the quit request that sets its terminate flag.
std::unique_ptr<TApplicationBase> CreateToolkitApplication();

// The wizard window built from the layout table, with paStart in front, not yet shown.
std::unique_ptr<View> CreateWizardView();

}  // namespace ui
