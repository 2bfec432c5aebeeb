// What the window tests of both toolkits (FLTK, native Windows) share: a listener that records
// what the view reports, the folder for screenshots, and the table of pages and looks they
// photograph (the four pages, the Installing page both while downloading and in its install
// look).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/layout.h"
#include "ui/view.h"

namespace ui {

class RecordingListener : public ViewListener {
 public:
  void OnClick(ControlId c) override { events.push_back(std::string("click ") + Def(c).Name); }
  void OnMouseEnter(ControlId c) override { events.push_back(std::string("enter ") + Def(c).Name); }
  void OnMouseLeave(ControlId c) override { events.push_back(std::string("leave ") + Def(c).Name); }
  void OnCloseQuery(bool& can_close) override {
    events.push_back("close query");
    can_close = allow_close;
  }
  bool OnQueryEndSession() override {
    events.push_back("end session");
    return true;
  }
  bool Saw(const std::string& e) const {
    return std::find(events.begin(), events.end(), e) != events.end();
  }
  std::vector<std::string> events;
  bool allow_close = true;
};

// VEXLOR_ARTIFACTS_DIR/ui when set, else the build's artefacts folder.
inline std::string ArtifactDir() {
  const char* env = std::getenv("VEXLOR_ARTIFACTS_DIR");
  return env ? std::string(env) + "/ui" : std::string(VEXLOR_UI_ARTIFACTS);
}

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
