// The pages and looks every toolkit's window test photographs, as one table: the four pages,
// the Installing page both while downloading and in its install look. Shared by the FLTK and
// the native Windows window tests.
#pragma once

#include "ui/view.h"

namespace ui {

struct PageShot {
  ControlId page;
  const char* name;             // file name without extension
  void (*prepare)(View& view);  // sets the page's look after it came to the front; may be null
};

inline constexpr PageShot kPageShots[] = {
    {ControlId::paStart, "page-start", nullptr},
    {ControlId::paInstalling, "page-installing",
     [](View& v) {
       v.SetProgressPosition(ControlId::ProgressBarDownloading, 42);
       v.SetText(ControlId::lblProgressPercent, u"42%");
       v.SetText(ControlId::lblProgressText, u"Downloading installer... 1234 KB of 2938 KB");
     }},
    {ControlId::paInstalling, "page-installing-setup",
     [](View& v) {
       v.SetText(ControlId::lblProgressText, u"Installing Vexlor...");
       v.SetProgressStyle(ControlId::ProgressBarDownloading, ProgressStyle::pbMarquee);
       v.SetVisible(ControlId::lblProgressPercent, false);
       v.SetEnabled(ControlId::btnCancel, false);
     }},
    {ControlId::paFinish, "page-finish", nullptr},
    {ControlId::paInstallError, "page-error", nullptr},
};

// The Installing page back as it is at creation, and the Start page in front.
inline void ResetPageShots(View& v) {
  v.SetProgressStyle(ControlId::ProgressBarDownloading, ProgressStyle::pbNormal);
  v.SetProgressPosition(ControlId::ProgressBarDownloading, 0);
  v.SetText(ControlId::lblProgressPercent, u"0%");
  v.SetText(ControlId::lblProgressText, u"Downloading installer...");
  v.SetVisible(ControlId::lblProgressPercent, true);
  v.SetEnabled(ControlId::btnCancel, true);
  v.BringToFront(ControlId::paStart);
}

}  // namespace ui
