// The user at an X display, on Linux: processes with posix_spawn, the display with Xvfb and Xlib.
#include "tools/demo-driver/x_session.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace drive {
namespace {

using Clock = std::chrono::steady_clock;

Display* Dpy(void* d) {
  return static_cast<Display*>(d);
}

// A window that went away between two calls is not an error for the harness: its calls report
// failure through their results instead.
int IgnoreXErrors(Display*, XErrorEvent*) {
  return 0;
}

std::vector<std::string> Environment(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) out.push_back(name + "=" + value);
  }
  return out;
}

struct CStrings {
  explicit CStrings(const std::vector<std::string>& v) : store(v) {
    for (std::string& s : store)
      ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

// Starts a child in its own process group, so that stopping it also stops what it started.
bool Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
           int out_fd, int extra_fd, pid_t& pid, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  }
  if (extra_fd >= 0) posix_spawn_file_actions_adddup2(&actions, extra_fd, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, extra_fd >= 0 ? 4 : 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  CStrings args(argv), envp(Environment(env));
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.ptrs.data(), envp.ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (null_fd >= 0) close(null_fd);
  if (rc != 0) {
    if (error) *error = "cannot start " + argv[0] + ": " + strerror(rc);
    pid = -1;
    return false;
  }
  return true;
}

std::optional<int> Reap(pid_t pid, bool block) {
  int status = 0;
  pid_t r = waitpid(pid, &status, block ? 0 : WNOHANG);
  if (r != pid) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, int timeout_ms, int step_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

std::string WinePath(const std::string& path) {
  std::string p = std::filesystem::absolute(path).lexically_normal().string();
  for (char& c : p)
    if (c == '/') c = '\\';
  return "Z:" + p;
}

bool CanConnect(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  bool ok = inet_pton(AF_INET, address.c_str(), &sa.sin_addr) == 1 &&
            connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

Child::~Child() {
  Stop(500);
}

bool Child::Start(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env, const std::string& log_file,
                  std::string* error) {
  int fd = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "cannot open " + log_file + ": " + strerror(errno);
    return false;
  }
  exit_code_.reset();
  bool ok = Spawn(argv, env, fd, -1, pid_, error);
  close(fd);
  return ok;
}

bool Child::Running() {
  if (pid_ < 0 || exit_code_) return false;
  if (auto code = Reap(pid_, false)) {
    exit_code_ = code;
    return false;
  }
  return true;
}

std::optional<int> Child::WaitExit(int timeout_ms) {
  if (pid_ < 0) return exit_code_;
  WaitUntil([&] { return !Running(); }, timeout_ms, 20);
  return exit_code_;
}

void Child::Stop(int grace_ms) {
  if (pid_ < 0) return;
  if (Running()) {
    kill(-pid_, SIGTERM);
    if (!WaitExit(grace_ms)) {
      kill(-pid_, SIGKILL);
      exit_code_ = Reap(pid_, true);
    }
  } else {
    // The child has ended; what it started in its group goes with it.
    kill(-pid_, SIGKILL);
  }
  pid_ = -1;
}

int RunTool(const std::vector<std::string>& argv, int timeout_ms, std::string* out,
            const std::map<std::string, std::string>& env) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = -1;
  bool started = Spawn(argv, env, pipe_fds[1], -1, pid, nullptr);
  close(pipe_fds[1]);
  if (!started) {
    close(pipe_fds[0]);
    return -1;
  }
  std::string collected;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(pipe_fds[0], buf, sizeof buf);
    if (n <= 0) break;
    collected.append(buf, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  if (timed_out) kill(-pid, SIGKILL);
  std::optional<int> code = Reap(pid, true);
  if (out) *out = collected;
  if (timed_out || !code) return -1;
  return *code;
}

XDisplay::~XDisplay() {
  Stop();
}

bool XDisplay::Start(const std::string& log_file, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_t pid = -1;
  // -displayfd: the server picks a free display number and writes it to descriptor 3.
  bool ok = Spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten",
                   "tcp", "-noreset"},
                  {}, log, fds[1], pid, error);
  close(fds[1]);
  if (log >= 0) close(log);
  if (!ok) {
    close(fds[0]);
    return false;
  }
  std::string number;
  auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[32];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  server_pid_ = pid;
  if (number.empty() || number.find('\n') == std::string::npos) {
    if (error) *error = "Xvfb did not report its display";
    Stop();
    return false;
  }
  name_ = ":" + number.substr(0, number.find('\n'));
  XSetErrorHandler(&IgnoreXErrors);
  display_ = XOpenDisplay(name_.c_str());
  if (display_ == nullptr) {
    if (error) *error = "cannot open display " + name_;
    Stop();
    return false;
  }
  return true;
}

bool XDisplay::Attach(const std::string& name, std::string* error) {
  name_ = name;
  XSetErrorHandler(&IgnoreXErrors);
  display_ = XOpenDisplay(name_.c_str());
  if (display_ == nullptr) {
    if (error) *error = "cannot open display " + name_;
    return false;
  }
  return true;
}

void XDisplay::Stop() {
  if (display_ != nullptr) {
    XCloseDisplay(Dpy(display_));
    display_ = nullptr;
  }
  if (server_pid_ > 0) {
    kill(-server_pid_, SIGTERM);
    bool gone = WaitUntil([&] { return Reap(server_pid_, false).has_value(); }, 3000, 20);
    if (!gone) {
      kill(-server_pid_, SIGKILL);
      Reap(server_pid_, true);
    }
    server_pid_ = -1;
  }
}

std::map<std::string, std::string> XDisplay::ToolEnv() const {
  // A private server takes no authority file; the user's own display keeps its own.
  if (server_pid_ > 0) return {{"DISPLAY", name_}, {"XAUTHORITY", ""}};
  return {{"DISPLAY", name_}};
}

std::string XDisplay::Title(WindowId w) {
  Display* d = Dpy(display_);
  Atom net_name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, net_name, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr && type == utf8) {
    title.assign(reinterpret_cast<char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  if (title.empty()) {
    char* name = nullptr;
    if (XFetchName(d, w, &name) && name != nullptr) {
      title = name;
      XFree(name);
    }
  }
  return title;
}

bool XDisplay::IsMapped(WindowId w) {
  XWindowAttributes attr;
  if (!XGetWindowAttributes(Dpy(display_), w, &attr)) return false;
  return attr.map_state == IsViewable;
}

std::vector<WindowId> XDisplay::Windows(const std::string& title) {
  Display* d = Dpy(display_);
  XSync(d, False);
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<WindowId> out;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return out;
  for (unsigned int i = 0; i < count; ++i) {
    if (IsMapped(children[i]) && Title(children[i]) == title) out.push_back(children[i]);
  }
  if (children != nullptr) XFree(children);
  return out;
}

WindowId XDisplay::WaitForWindow(const std::string& title, int timeout_ms,
                                 const std::vector<WindowId>& except) {
  WindowId found = 0;
  WaitUntil(
      [&] {
        for (WindowId w : Windows(title)) {
          if (std::find(except.begin(), except.end(), w) == except.end()) {
            found = w;
            return true;
          }
        }
        return false;
      },
      timeout_ms);
  return found;
}

bool XDisplay::WaitWindowGone(WindowId w, int timeout_ms) {
  return WaitUntil(
      [&] {
        XSync(Dpy(display_), False);
        return !IsMapped(w);
      },
      timeout_ms);
}

std::optional<Rect> XDisplay::Geometry(WindowId w) {
  Display* d = Dpy(display_);
  XWindowAttributes attr;
  if (!XGetWindowAttributes(d, w, &attr)) return std::nullopt;
  int x = 0, y = 0;
  Window child = 0;
  if (!XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child)) {
    return std::nullopt;
  }
  return Rect{x, y, attr.width, attr.height};
}

bool XDisplay::MovePointer(WindowId w, int x, int y) {
  auto g = Geometry(w);
  if (!g) return false;
  return RunTool(
             {"/usr/bin/xdotool", "mousemove", std::to_string(g->x + x), std::to_string(g->y + y)},
             5000, nullptr, ToolEnv()) == 0;
}

bool XDisplay::Click(WindowId w, int x, int y) {
  auto g = Geometry(w);
  if (!g) return false;
  return RunTool({"/usr/bin/xdotool", "mousemove", std::to_string(g->x + x),
                  std::to_string(g->y + y), "sleep", "0.15", "click", "1"},
                 5000, nullptr, ToolEnv()) == 0;
}

bool XDisplay::Key(WindowId w, const std::string& key) {
  auto g = Geometry(w);
  if (!g) return false;
  return RunTool({"/usr/bin/xdotool", "mousemove", std::to_string(g->x + g->w / 2),
                  std::to_string(g->y + g->h / 2), "windowfocus", std::to_string(w), "sleep",
                  "0.15", "key", "--clearmodifiers", key},
                 5000, nullptr, ToolEnv()) == 0;
}

bool XDisplay::Screenshot(WindowId w, const std::string& file) {
  return RunTool({"/usr/bin/import", "-window", std::to_string(w), file}, 15000, nullptr,
                 ToolEnv()) == 0;
}

bool XDisplay::RequestClose(WindowId w) {
  Display* d = Dpy(display_);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  Status ok = XSendEvent(d, w, False, NoEventMask, &e);
  XSync(d, False);
  return ok != 0;
}

std::optional<Rgb> XDisplay::MeanColor(WindowId w, const Rect& r) {
  Display* d = Dpy(display_);
  XSync(d, False);
  XImage* img = XGetImage(d, w, r.x, r.y, static_cast<unsigned>(r.w), static_cast<unsigned>(r.h),
                          AllPlanes, ZPixmap);
  if (img == nullptr) return std::nullopt;
  auto shift = [](unsigned long mask) {
    int s = 0;
    while (mask != 0 && (mask & 1) == 0) {
      mask >>= 1;
      ++s;
    }
    return s;
  };
  int rs = shift(img->red_mask), gs = shift(img->green_mask), bs = shift(img->blue_mask);
  Rgb sum;
  for (int y = 0; y < r.h; ++y) {
    for (int x = 0; x < r.w; ++x) {
      unsigned long p = XGetPixel(img, x, y);
      sum.r += static_cast<double>((p & img->red_mask) >> rs);
      sum.g += static_cast<double>((p & img->green_mask) >> gs);
      sum.b += static_cast<double>((p & img->blue_mask) >> bs);
    }
  }
  XDestroyImage(img);
  double n = static_cast<double>(r.w) * r.h;
  if (n <= 0) return std::nullopt;
  return Rgb{sum.r / n, sum.g / n, sum.b / n};
}

}  // namespace drive
