// A user at an X display, for the headless demo and the end-to-end tests (Linux): child
// processes, a private X server (Xvfb) and the user's hands on it (xdotool for the pointer and
// the keyboard, ImageMagick's import for screenshots, Xlib for finding windows, reading pixels
// and asking a window to close as a window manager would).
//
// Every wait takes a limit; nothing here waits without one.
//
// Threads: one; the objects are not shared between threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drive {

// Polls `done` every `step_ms` until it is true or `timeout_ms` have passed; true when it was.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms, int step_ms = 50);

// A child process with its output in a file.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] (a path) with the test's environment changed by `env` (an empty value
  // removes the variable); standard output and error go to `log_file` (appended).
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& log_file, std::string* error);
  bool Running();
  // The exit code (128 + signal for a killed child) once it has ended within the limit.
  std::optional<int> WaitExit(int timeout_ms);
  // SIGTERM, then SIGKILL after `grace_ms`; waits for the end.
  void Stop(int grace_ms = 2000);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

// Runs a program to its end (at most `timeout_ms`, then it is killed) and returns its exit
// code, or -1 when it could not run or was killed. Its standard output goes to `out` if given.
int RunTool(const std::vector<std::string>& argv, int timeout_ms, std::string* out = nullptr,
            const std::map<std::string, std::string>& env = {});

// A path of this machine as a Windows program under Wine names it: through Wine's drive Z:,
// which maps the root folder ("/a/b" is "Z:\a\b").
std::string WinePath(const std::string& path);

// True when a TCP connection to the IPv4 address and port can be made now.
bool CanConnect(const std::string& address, int port);

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Rgb {
  double r = 0, g = 0, b = 0;
};

using WindowId = unsigned long;

// A private X server (Xvfb) on a free display number, and a connection to it.
class XDisplay {
 public:
  XDisplay() = default;
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  // Starts a private Xvfb on a free display number and connects to it.
  bool Start(const std::string& log_file, std::string* error);
  // Connects to a display that runs already (the user's own); Stop then only disconnects.
  bool Attach(const std::string& name, std::string* error);
  void Stop();
  // ":N"
  const std::string& Name() const { return name_; }
  // What a program started on this display needs in its environment.
  std::map<std::string, std::string> ToolEnv() const;

  // The mapped top-level windows whose title is `title`, in stacking order (bottom first).
  std::vector<WindowId> Windows(const std::string& title);
  // Waits for a mapped top-level window titled `title` that is not in `except`; 0 when none
  // came within the limit.
  WindowId WaitForWindow(const std::string& title, int timeout_ms,
                         const std::vector<WindowId>& except = {});
  // Waits until the window is no longer mapped (or exists no more).
  bool WaitWindowGone(WindowId w, int timeout_ms);
  bool IsMapped(WindowId w);
  std::string Title(WindowId w);
  // The window's place on the screen and its size.
  std::optional<Rect> Geometry(WindowId w);

  // A click with the first button at (x, y) in the window's coordinates (xdotool).
  bool Click(WindowId w, int x, int y);
  // Moves the pointer to (x, y) in the window's coordinates.
  bool MovePointer(WindowId w, int x, int y);
  // Presses a key (xdotool names: "y", "n", "r", "Escape", "Return") with the pointer, and so
  // the keyboard focus, in the window.
  bool Key(WindowId w, const std::string& key);
  // Saves the window as a PNG file (import).
  bool Screenshot(WindowId w, const std::string& file);
  // Asks the window to close as a window manager does for the title-bar close button
  // (WM_DELETE_WINDOW).
  bool RequestClose(WindowId w);
  // The mean colour of a rectangle of the window, read from the screen.
  std::optional<Rgb> MeanColor(WindowId w, const Rect& r);

 private:
  pid_t server_pid_ = -1;
  std::string name_;
  void* display_ = nullptr;  // Display*
};

}  // namespace drive
