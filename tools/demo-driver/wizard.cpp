// The wizard window on the screen.
#include "tools/demo-driver/wizard.h"

#include <cmath>
#include <cstdio>

#include "ui/layout.h"

namespace drive {

using ui::ControlId;

const char* PageName(Page p) {
  switch (p) {
    case Page::pgStart:
      return "Start";
    case Page::pgInstalling:
      return "Installing";
    case Page::pgFinish:
      return "Finish";
    case Page::pgError:
      return "Error";
    case Page::pgUnknown:
      break;
  }
  return "Unknown";
}

Rect ControlBounds(ControlId id) {
  const ui::ControlDef& d = ui::Def(id);
  return Rect{d.Left, d.Top, d.Width, d.Height};
}

Wizard::Wizard(XDisplay& display, std::string shots_dir)
    : display_(display), shots_dir_(std::move(shots_dir)) {}

bool Wizard::Find(int timeout_ms) {
  window_ = display_.WaitForWindow(kWizardTitle, timeout_ms);
  return window_ != 0;
}

Page Wizard::CurrentPage() {
  if (window_ == 0 || !display_.IsMapped(window_)) return Page::pgUnknown;
  // The Finish badge's upper part lies above where the Installing page has its progress bar;
  // the Error badge's lower middle is its orange; the install button is a warm red.
  Rect badge = ControlBounds(ControlId::imgInstallationFinish);
  auto finish = display_.MeanColor(window_, {badge.x, badge.y, badge.w, 26});
  auto error = display_.MeanColor(window_, {badge.x + 16, badge.y + 32, 32, 28});
  auto install = display_.MeanColor(window_, ControlBounds(ControlId::imgBtnInstall));
  if (!finish || !error || !install) return Page::pgUnknown;
  if (finish->g - finish->r > 20 && finish->g - finish->b > 20) return Page::pgFinish;
  if (error->r - error->b > 100 && error->r > 200) return Page::pgError;
  if (install->r - install->b > 50) return Page::pgStart;
  return Page::pgInstalling;
}

bool Wizard::WaitPage(Page p, int timeout_ms) {
  return WaitUntil([&] { return CurrentPage() == p; }, timeout_ms, 100);
}

bool Wizard::Click(ControlId id) {
  Rect r = ControlBounds(id);
  return display_.Click(window_, r.x + r.w / 2, r.y + r.h / 2);
}

bool Wizard::ClickCheckBox(ControlId id) {
  Rect r = ControlBounds(id);
  return display_.Click(window_, r.x + 7, r.y + r.h / 2);
}

bool Wizard::ProgressBetween(double filled, double empty) {
  Rect bar = ControlBounds(ControlId::ProgressBarDownloading);
  auto sample = [&](double at) {
    return display_.MeanColor(window_,
                              {bar.x + static_cast<int>(bar.w * at) - 5, bar.y + 4, 10, bar.h - 8});
  };
  auto differ = [](const Rgb& a, const Rgb& b) {
    return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b) > 40;
  };
  auto start = sample(0.02), before = sample(filled), after = sample(empty);
  return start && before && after && !differ(*start, *before) && differ(*before, *after);
}

bool Wizard::WaitQuestion(const std::string& title, int timeout_ms) {
  question_ = display_.WaitForWindow(title, timeout_ms, {window_});
  if (question_ == 0) return false;
  // Give it a moment to draw before anyone looks at it.
  WaitUntil([] { return false; }, 300);
  return true;
}

bool Wizard::Answer(const std::string& key, int timeout_ms) {
  WindowId q = question_;
  if (q == 0 || !display_.Key(q, key)) return false;
  question_ = 0;
  return display_.WaitWindowGone(q, timeout_ms);
}

bool Wizard::CloseQuestion(int timeout_ms) {
  WindowId q = question_;
  if (q == 0 || !display_.RequestClose(q)) return false;
  question_ = 0;
  return display_.WaitWindowGone(q, timeout_ms);
}

void Wizard::Shot(const std::string& what) {
  WindowId w = question_ != 0 ? question_ : window_;
  if (shots_dir_.empty() || w == 0) return;
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%02d-", ++shot_count_);
  display_.Screenshot(w, shots_dir_ + "/" + prefix + what + ".png");
}

}  // namespace drive
