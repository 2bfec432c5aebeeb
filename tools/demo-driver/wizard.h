// The installer's wizard window as a user sees it on an X display: which page is in front, where
// its controls are, its questions, and screenshots of each.
//
// The page in front is told apart by what only that page draws (the install button, the Finish
// and the Error badges; the Installing page shows none of them), read from the screen. The
// controls' places come from the layout table the window is built from.
//
// Threads: one. The Wizard borrows the display, which must outlive it.
#pragma once

#include <string>
#include <utility>

#include "tools/demo-driver/x_session.h"
#include "ui/controls.h"

namespace drive {

enum class Page { pgStart, pgInstalling, pgFinish, pgError, pgUnknown };

const char* PageName(Page p);

// A control's rectangle in the window (the pages fill the window).
Rect ControlBounds(ui::ControlId id);

inline constexpr char kWizardTitle[] = "Vexlor Installer";

class Wizard {
 public:
  // Screenshots go to `shots_dir` as NN-<what>.png; empty: none are taken.
  Wizard(XDisplay& display, std::string shots_dir);

  // Waits for the wizard window to appear.
  bool Find(int timeout_ms);
  WindowId Window() const { return window_; }

  // The page in front, read while no question covers the window.
  Page CurrentPage();
  bool WaitPage(Page p, int timeout_ms);

  // A click in the middle of the control; a check box is clicked on its box.
  bool Click(ui::ControlId id);
  bool ClickCheckBox(ui::ControlId id);

  // The progress bar is filled at `filled` (0 to 1 of its length) like at its start, and
  // empty at `empty`.
  bool ProgressBetween(double filled, double empty);

  // Waits for a window titled `title` other than the wizard (a question, the licence window)
  // and makes it the window that screenshots show until it is answered or closed.
  bool WaitQuestion(const std::string& title, int timeout_ms);
  WindowId Question() const { return question_; }
  // Presses a key in the question and waits until it is gone.
  bool Answer(const std::string& key, int timeout_ms);
  // Closes the question as from its title bar and waits until it is gone.
  bool CloseQuestion(int timeout_ms);

  // Saves the question if one is open, else the wizard, as the next numbered screenshot.
  void Shot(const std::string& what);
  const std::string& ShotsDir() const { return shots_dir_; }
  void SetShotsDir(std::string dir) { shots_dir_ = std::move(dir); }

 private:
  XDisplay& display_;
  std::string shots_dir_;
  WindowId window_ = 0;
  WindowId question_ = 0;
  int shot_count_ = 0;
};

}  // namespace drive
