// One run of the window-latency benchmark (bench/ui-latency builds and runs it): the installer
// downloads at full speed on a private X display while this program watches the screen through
// the X server and the download file through inotify.
//
//   ui-latency-probe [options] -- INSTALLER [ARGS...]
//     --download-dir DIR   where the installer creates its download file (required)
//     --warmup-ms N        full-speed download before measuring (default 1000)
//     --measure-ms N       how long the progress repaints are counted (default 3000)
//     --log DIR            logs of the X server and the installer, screenshots (default .)
//
// What it measures, with the client-side monotonic clock:
// - repaints: every time the progress text's rectangle of the wizard is drawn on the screen
//   (X Damage reports of the window, joined when less than 3 ms apart), counted per second of
//   the measuring time; the smallest count, the mean, and the longest gap between two;
// - cancel: from handing `click 1` to xdotool (already started, connected and waiting on its
//   standard input, the pointer already over the button) to the question's first drawing on
//   the screen (the question window's first Damage report);
// - after Yes: from handing `key y` to xdotool the same way to the last write into the
//   download file (inotify), and the bytes written in that time;
// - the download's speed while the repaints are counted.
// Prints one line of key=value pairs; exits non-zero when a step fails.
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/demo-driver/wizard.h"
#include "tools/demo-driver/x_session.h"
#include "ui/layout.h"

namespace {

using Clock = std::chrono::steady_clock;
using ui::ControlId;

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "ui-latency-probe: %s\n", why.c_str());
  std::exit(1);
}

struct Options {
  std::string download_dir;
  std::string log_dir = ".";
  int warmup_ms = 1000;
  int measure_ms = 3000;
  std::vector<std::string> installer;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail("missing value after " + a);
      return argv[++i];
    };
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--download-dir") {
      o.download_dir = value();
    } else if (a == "--log") {
      o.log_dir = value();
    } else if (a == "--warmup-ms") {
      o.warmup_ms = std::clamp(std::atoi(value().c_str()), 0, 60000);
    } else if (a == "--measure-ms") {
      o.measure_ms = std::clamp(std::atoi(value().c_str()), 1000, 60000);
    } else {
      Fail("unknown option " + a);
    }
  }
  for (; i < argc; ++i)
    o.installer.push_back(argv[i]);
  if (o.download_dir.empty() || o.installer.empty()) Fail("usage: see bench/ui_latency.cpp");
  return o;
}

// The download file as it grows: the directory watched with inotify, the file held open so
// its last size can still be read after the installer has deleted it.
class DownloadWatch {
 public:
  explicit DownloadWatch(const std::string& dir) : dir_(dir) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MODIFY | IN_DELETE) < 0)
      Fail("cannot watch " + dir);
  }
  ~DownloadWatch() {
    if (file_ >= 0) close(file_);
    close(fd_);
  }
  int Fd() const { return fd_; }
  bool Created() const { return file_ >= 0; }
  bool Deleted() const { return deleted_; }
  Clock::time_point LastWrite() const { return last_write_; }
  long long Size() const {
    struct stat st {};
    return file_ >= 0 && fstat(file_, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  }
  // Reads what inotify has to say.
  void Drain() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return;
      const Clock::time_point now = Clock::now();
      for (ssize_t at = 0; at < n;) {
        auto* ev = reinterpret_cast<inotify_event*>(buf + at);
        std::string name = ev->len ? ev->name : "";
        if ((ev->mask & IN_CREATE) && file_ < 0 && !name.empty()) {
          file_ = open((dir_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
          name_ = name;
        } else if ((ev->mask & IN_MODIFY) && name == name_) {
          last_write_ = now;
        } else if ((ev->mask & IN_DELETE) && name == name_) {
          deleted_ = true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }

 private:
  std::string dir_;
  std::string name_;
  int fd_ = -1;
  int file_ = -1;
  bool deleted_ = false;
  Clock::time_point last_write_{};
};

// A second connection to the display for the measurements: Damage reports of windows and the
// mapping of new top-level windows.
class XWatch {
 public:
  explicit XWatch(const std::string& name) {
    dpy_ = XOpenDisplay(name.c_str());
    if (dpy_ == nullptr) Fail("cannot connect to " + name);
    int error_base = 0;
    if (!XDamageQueryExtension(dpy_, &damage_base_, &error_base))
      Fail("the X server has no Damage extension");
    XSelectInput(dpy_, DefaultRootWindow(dpy_), SubstructureNotifyMask);
    XSync(dpy_, False);
  }
  ~XWatch() { XCloseDisplay(dpy_); }
  int Fd() const { return ConnectionNumber(dpy_); }

  void Watch(Window w) {
    XDamageCreate(dpy_, w, XDamageReportRawRectangles);
    XFlush(dpy_);
  }

  // Handles every event that has arrived: `damaged(window, rect)` for Damage reports,
  // `mapped(window)` for top-level windows that appear. New top-level windows are watched from
  // their creation on, so their first drawing cannot slip by before the watch.
  void Drain(const std::function<void(Window, const XRectangle&)>& damaged,
             const std::function<void(Window)>& mapped) {
    while (XPending(dpy_) > 0) {
      XEvent ev;
      XNextEvent(dpy_, &ev);
      if (ev.type == damage_base_ + XDamageNotify) {
        auto* d = reinterpret_cast<XDamageNotifyEvent*>(&ev);
        damaged(d->drawable, d->area);
      } else if (ev.type == CreateNotify) {
        Watch(ev.xcreatewindow.window);
      } else if (ev.type == MapNotify) {
        mapped(ev.xmap.window);
      }
    }
  }

 private:
  Display* dpy_ = nullptr;
  int damage_base_ = 0;
};

// xdotool reading commands from its standard input: started and connected before the moment
// that is timed, so that moment is only the hand-over of one command.
class Xdotool {
 public:
  explicit Xdotool(const std::map<std::string, std::string>& env) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
    pid_ = fork();
    if (pid_ < 0) Fail("fork");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      for (const auto& [k, v] : env)
        setenv(k.c_str(), v.c_str(), 1);
      execl("/usr/bin/xdotool", "xdotool", "-", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = fdopen(out[0], "r");
    // Ready once it has answered a first command.
    Send("getmouselocation");
    char line[256];
    if (std::fgets(line, sizeof line, from_) == nullptr) Fail("xdotool did not start");
  }
  ~Xdotool() {
    close(to_);
    std::fclose(from_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  void Send(const std::string& command) {
    std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      Fail("cannot talk to xdotool");
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  std::FILE* from_ = nullptr;
};

// Waits for the X connection or inotify, at most `ms`.
void WaitEither(const XWatch& screen, const DownloadWatch& watch, int ms) {
  pollfd fds[2] = {{screen.Fd(), POLLIN, 0}, {watch.Fd(), POLLIN, 0}};
  poll(fds, 2, ms);
}

bool Intersects(const XRectangle& r, const ui::ControlDef& d) {
  return r.x < d.Left + d.Width && r.x + r.width > d.Left && r.y < d.Top + d.Height &&
         r.y + r.height > d.Top;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  drive::XDisplay display;
  std::string why;
  if (!display.Start(o.log_dir + "/xvfb.log", &why)) Fail(why);
  XWatch screen(display.Name());
  DownloadWatch watch(o.download_dir);

  drive::Child installer;
  if (!installer.Start(o.installer, display.ToolEnv(), o.log_dir + "/installer.log", &why))
    Fail(why);
  drive::Wizard wizard(display, o.log_dir);
  if (!wizard.Find(30000)) Fail("the wizard did not appear");
  const Window wizard_window = wizard.Window();
  if (!wizard.WaitPage(drive::Page::pgStart, 30000)) Fail("no Start page");
  if (!wizard.Click(ControlId::imgBtnInstall)) Fail("cannot click install");

  // The download starts, then runs at full speed for the warm-up.
  if (!drive::WaitUntil(
          [&] {
            watch.Drain();
            return watch.Created();
          },
          30000, 5))
    Fail("no download file appeared in " + o.download_dir);
  const Clock::time_point created = Clock::now();
  while (Ms(created, Clock::now()) < o.warmup_ms) {
    WaitEither(screen, watch, 50);
    watch.Drain();
  }

  // Progress repaints while the download runs.
  const ui::ControlDef& progress = ui::Def(ControlId::lblProgressText);
  std::vector<Clock::time_point> repaints;
  screen.Watch(wizard_window);
  const Clock::time_point measure_start = Clock::now();
  const long long size_start = watch.Size();
  auto on_damage = [&](Window w, const XRectangle& r) {
    if (w != wizard_window || !Intersects(r, progress)) return;
    const Clock::time_point now = Clock::now();
    if (repaints.empty() || Ms(repaints.back(), now) >= 3) repaints.push_back(now);
  };
  while (Ms(measure_start, Clock::now()) < o.measure_ms) {
    WaitEither(screen, watch, 20);
    watch.Drain();
    screen.Drain(on_damage, [](Window) {});
  }
  const Clock::time_point measure_end = Clock::now();
  const double mib_s = static_cast<double>(watch.Size() - size_start) / (1024.0 * 1024.0) /
                       (Ms(measure_start, measure_end) / 1000.0);
  std::vector<int> per_second(static_cast<std::size_t>(o.measure_ms / 1000), 0);
  double max_gap = 0;
  Clock::time_point previous = measure_start;
  for (const Clock::time_point& t : repaints) {
    auto second = static_cast<std::size_t>(Ms(measure_start, t) / 1000.0);
    if (second < per_second.size()) ++per_second[second];
    max_gap = std::max(max_gap, Ms(previous, t));
    previous = t;
  }
  max_gap = std::max(max_gap, Ms(previous, measure_end));
  const int repaints_min = *std::min_element(per_second.begin(), per_second.end());
  const double repaints_mean =
      static_cast<double>(repaints.size()) / (Ms(measure_start, measure_end) / 1000.0);

  // Cancel: the pointer goes over the button first, so only the click is timed.
  const auto geometry = display.Geometry(wizard_window);
  if (!geometry) Fail("no wizard geometry");
  const ui::ControlDef& cancel = ui::Def(ControlId::btnCancel);
  const auto env = display.ToolEnv();
  if (drive::RunTool({"/usr/bin/xdotool", "mousemove", "--sync",
                      std::to_string(geometry->x + cancel.Left + cancel.Width / 2),
                      std::to_string(geometry->y + cancel.Top + cancel.Height / 2)},
                     5000, nullptr, env) != 0)
    Fail("xdotool mousemove failed");
  Window question = 0;
  Clock::time_point question_drawn{};
  auto click = std::make_unique<Xdotool>(env);
  screen.Drain([](Window, const XRectangle&) {}, [](Window) {});
  const Clock::time_point clicked = Clock::now();
  click->Send("click 1");
  while (question_drawn == Clock::time_point{} && Ms(clicked, Clock::now()) < 20000) {
    WaitEither(screen, watch, 20);
    watch.Drain();
    screen.Drain(
        [&](Window w, const XRectangle&) {
          // Wine names a window after mapping it: a drawing of an unknown window counts once
          // it carries the title (late rather than early).
          if (question == 0 && w != wizard_window && display.Title(w) == drive::kWizardTitle)
            question = w;
          if (w == question && question_drawn == Clock::time_point{}) question_drawn = Clock::now();
        },
        [&](Window w) {
          if (question == 0 && w != wizard_window && display.Title(w) == drive::kWizardTitle)
            question = w;
        });
  }
  click.reset();
  if (question_drawn == Clock::time_point{}) Fail("the Cancel question did not appear");
  const double cancel_ms = Ms(clicked, question_drawn);

  // "Yes": the keyboard goes to the question first, so only the key is timed.
  if (drive::RunTool({"/usr/bin/xdotool", "windowfocus", "--sync", std::to_string(question)}, 5000,
                     nullptr, env) != 0)
    Fail("xdotool windowfocus failed");
  auto key = std::make_unique<Xdotool>(env);
  watch.Drain();
  const long long size_at_yes = watch.Size();
  const Clock::time_point yes = Clock::now();
  key->Send("key y");
  while (!watch.Deleted() && Ms(yes, Clock::now()) < 20000) {
    WaitEither(screen, watch, 20);
    watch.Drain();
    screen.Drain([](Window, const XRectangle&) {}, [](Window) {});
  }
  key.reset();
  if (!watch.Deleted()) Fail("the partial download was not deleted after Yes");
  const long long after_yes = watch.Size() - size_at_yes;
  const double stop_ms = watch.LastWrite() > yes ? Ms(yes, watch.LastWrite()) : 0.0;

  if (!wizard.WaitPage(drive::Page::pgError, 20000)) Fail("no Error page after Yes");
  wizard.Click(ControlId::btnCancelledFinish);
  if (!installer.WaitExit(20000)) Fail("the installer did not end");

  std::printf(
      "cancel_ms=%.1f repaints_min=%d repaints_mean=%.1f max_gap_ms=%.0f stop_ms=%.1f "
      "after_yes_bytes=%lld mib_s=%.0f\n",
      cancel_ms, repaints_min, repaints_mean, max_gap, stop_ms, after_yes, mib_s);
  return 0;
}
