// What the native Windows window offers its tests and drivers beyond the View: the windows of
// its controls, a view at a chosen dpi, and the library of the HTML dialog.
//
// How a driver finds the controls of the running program: the main window has the class
// "VexlorInstallerWindow" and the caption "Vexlor Installer"; the window-wide pictures and the
// four pages are its children, and every other control is a child of its page. Each control's
// window id is kControlIdBase (100) plus the index of its row in the layout table (ui::ControlId),
// so GetDlgItem(page, 100 + index) finds it, and GetWindowText reads every label, button, check
// box and the edit box.
//
// Threads: the user-interface thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/text.h"
#include "ui/controls.h"
#include "ui/view.h"

namespace ui::win32 {

// The class names of the wizard's windows and the first control id.
inline constexpr wchar_t kMainWindowClass[] = L"VexlorInstallerWindow";
inline constexpr wchar_t kPageClass[] = L"VexlorPage";
inline constexpr wchar_t kLabelClass[] = L"VexlorLabel";
inline constexpr wchar_t kPictureClass[] = L"VexlorPicture";
inline constexpr int kControlIdBase = 100;

// The system's dpi: the screen's logical pixels per inch (96 unless the process declares itself
// dpi-aware and the display is set larger). The window is built for it.
int SystemDpi();

// The system library of the HTML dialog.
inline constexpr char16_t kSystemHtmlDialogLibrary[] = u"MSHTML.DLL";

// The wizard window built at `dpi` instead of the system's (tests of the scaling).
std::unique_ptr<View> CreateWizardViewAtDpi(int dpi);

// The window (HWND) of a control of a view made by CreateWizardView; frmMain gives the main
// window.
std::uintptr_t ControlWindow(View& view, ControlId id);
// The dpi the view was built for.
int ViewDpi(View& view);

// The library whose ShowHTMLDialog the licence dialog calls (empty: the system's, MSHTML.DLL).
void SetHtmlDialogLibrary(const String& name);

}  // namespace ui::win32
