// POSIX message queues and hidden windows.
//
// Each thread's queue is an epoll set with an eventfd (signalled while posted messages wait, so
// a toolkit watching the epoll descriptor wakes up), a timerfd (armed to the next window-timer
// due time) and the poll sources other backends register. Posted messages sit in one FIFO per
// thread. Window handles are never reused, so a message for a destroyed window can always be
// recognised and dropped.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/queue.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

struct WindowTimer {
  WindowHandle window;
  std::uintptr_t id;
  std::uint32_t interval_ms;
  Clock::time_point due;
  bool pending;  // a tick is queued and not yet taken
};

struct ThreadQueue {
  std::uint32_t thread_id = 0;
  int epfd = -1;
  int evfd = -1;
  int tfd = -1;

  plat::Mutex mu;  // guards posted and signalled
  std::deque<Message> posted;
  bool signalled = false;  // evfd holds a count

  // Guards timers. Taken before mu where both are needed. The owning thread sets timers and
  // generates their ticks; any thread may kill one (a component that moved to another thread
  // stops the timer of its old window).
  plat::Mutex timer_mu;
  std::vector<WindowTimer> timers;
  // Sources whose input a descriptor may not show; asked before every look for input.
  std::vector<posix::PollSource*> wait_checks;  // owning thread only

  ~ThreadQueue() {
    if (epfd >= 0) close(epfd);
    if (evfd >= 0) close(evfd);
    if (tfd >= 0) close(tfd);
  }
};

struct WindowRecord {
  std::shared_ptr<ThreadQueue> queue;
  WindowProc proc = nullptr;
  void* slot = nullptr;
  std::string class_name;
};

// Process-wide registry of windows and classes. Never destroyed: a thread may still post while
// the program ends (a worker that outlives the window), and must find a registry, not freed
// memory.
struct Registry {
  plat::Mutex mu;
  std::unordered_map<WindowHandle, WindowRecord> windows;
  std::unordered_map<std::string, WindowProc> classes;
  std::unordered_map<std::string, std::uint32_t> registered_messages;
  WindowHandle next_handle = 0x10000;
  std::uint32_t next_registered = 0xC000;
};
Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

thread_local std::uint32_t t_last_error = 0;

std::string LowerName(const char* name) {
  std::string s(name ? name : "");
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Ends the windows of a thread that exits: nothing can be delivered to them any more.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
    for (auto it = TheRegistry().windows.begin(); it != TheRegistry().windows.end();) {
      if (it->second.queue == queue)
        it = TheRegistry().windows.erase(it);
      else
        ++it;
    }
  }
};
thread_local QueueHolder t_queue;

ThreadQueue& Queue() {
  if (!t_queue.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->thread_id = CurrentThreadId();
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    q->evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    q->tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (q->epfd < 0 || q->evfd < 0 || q->tfd < 0) {
      std::fprintf(stderr, "message queue: cannot create descriptors: %s\n", std::strerror(errno));
      std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the eventfd: readiness only means "look at the FIFO"
    epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->evfd, &ev);
    ev.data.ptr = &q->tfd;  // the timerfd
    epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->tfd, &ev);
    t_queue.queue = std::move(q);
  }
  return *t_queue.queue;
}

// Pushes under the queue lock and signals the eventfd on the empty -> non-empty transition.
void Push(ThreadQueue& q, const Message& m) {
  std::lock_guard<plat::Mutex> lock(q.mu);
  q.posted.push_back(m);
  if (!q.signalled) {
    std::uint64_t one = 1;
    ssize_t n = write(q.evfd, &one, sizeof one);
    (void)n;
    q.signalled = true;
  }
}

// Called with q.mu held once the FIFO is empty.
void ResetSignal(ThreadQueue& q) {
  if (q.signalled) {
    std::uint64_t count;
    ssize_t n = read(q.evfd, &count, sizeof count);
    (void)n;
    q.signalled = false;
  }
}

bool WindowAlive(WindowHandle w) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  return TheRegistry().windows.count(w) != 0;
}

// With q.timer_mu held.
void ArmTimerFd(ThreadQueue& q) {
  itimerspec timer_value{};
  bool any = false;
  Clock::time_point next{};
  for (const auto& t : q.timers) {
    if (t.pending) continue;
    if (!any || t.due < next) next = t.due;
    any = true;
  }
  if (any) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    timer_value.it_value.tv_sec = ns / 1000000000;
    timer_value.it_value.tv_nsec = ns % 1000000000;
  }
  // steady_clock is CLOCK_MONOTONIC on Linux, so the absolute time matches the timerfd clock.
  timerfd_settime(q.tfd, any ? TFD_TIMER_ABSTIME : 0, &timer_value, nullptr);
}

// Queues a tick for every timer that is due and has none queued.
void GenerateTimerTicks(ThreadQueue& q) {
  std::lock_guard<plat::Mutex> timer_lock(q.timer_mu);
  if (q.timers.empty()) return;
  auto now = Clock::now();
  bool changed = false;
  for (auto& t : q.timers) {
    if (!t.pending && t.due <= now) {
      t.pending = true;
      changed = true;
      Push(q, Message{t.window, kMsgTimer, t.id, 0});
    }
  }
  if (changed) ArmTimerFd(q);
}

// Collects what epoll reports, without waiting longer than timeout_ms (-1: no limit).
void Poll(ThreadQueue& q, int timeout_ms) {
  epoll_event events[64];
  int n;
  do {
    n = epoll_wait(q.epfd, events, 64, timeout_ms);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    void* p = events[i].data.ptr;
    if (p == nullptr) continue;  // eventfd
    if (p == &q.tfd) {
      std::uint64_t expirations;
      ssize_t r = read(q.tfd, &expirations, sizeof expirations);
      (void)r;
      continue;
    }
    static_cast<posix::PollSource*>(p)->OnReady(events[i].events);
  }
  GenerateTimerTicks(q);
}

bool HasPosted(ThreadQueue& q) {
  std::lock_guard<plat::Mutex> lock(q.mu);
  return !q.posted.empty();
}

// Before a wait that may block: input a library has already taken from its descriptor leaves
// the descriptor quiet, so its source is asked and posts its notice itself. A plain look
// (PeekMessage) does not ask, so a pump that drains the queue is never fed by the checks.
void RunWaitChecks(ThreadQueue& q) {
  // A check may remove itself while it runs: index, and re-read the size every time.
  for (std::size_t i = 0; i < q.wait_checks.size(); ++i)
    q.wait_checks[i]->BeforeWait();
}

// Takes the first posted message whose window still exists (or a thread message).
bool TakePosted(ThreadQueue& q, Message& out) {
  for (;;) {
    Message m;
    {
      std::lock_guard<plat::Mutex> lock(q.mu);
      if (q.posted.empty()) {
        ResetSignal(q);
        return false;
      }
      m = q.posted.front();
      q.posted.pop_front();
      if (q.posted.empty()) ResetSignal(q);
    }
    if (m.window != 0 && !WindowAlive(m.window)) continue;
    if (m.msg == kMsgTimer && m.window != 0) {
      std::lock_guard<plat::Mutex> timer_lock(q.timer_mu);
      auto it = std::find_if(q.timers.begin(), q.timers.end(), [&](const WindowTimer& t) {
        return t.window == m.window && t.id == m.wparam;
      });
      if (it == q.timers.end()) continue;  // killed meanwhile
      it->pending = false;
      it->due = Clock::now() + std::chrono::milliseconds(it->interval_ms);
      ArmTimerFd(q);
    }
    out = m;
    return true;
  }
}

WindowRecord* FindLocked(WindowHandle w) {
  auto it = TheRegistry().windows.find(w);
  return it == TheRegistry().windows.end() ? nullptr : &it->second;
}

}  // namespace

std::uint32_t GetLastError() {
  return t_last_error;
}
void SetLastError(std::uint32_t code) {
  t_last_error = code;
}

bool IsWindowClassRegistered(const char* class_name) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  return TheRegistry().classes.count(LowerName(class_name)) != 0;
}

bool RegisterWindowClass(const char* class_name, WindowProc proc) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  if (!TheRegistry().classes.emplace(LowerName(class_name), proc).second) {
    t_last_error = kErrorClassAlreadyExists;
    return false;
  }
  return true;
}

bool UnregisterWindowClass(const char* class_name) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  std::string name = LowerName(class_name);
  if (TheRegistry().classes.count(name) == 0) {
    t_last_error = kErrorClassDoesNotExist;
    return false;
  }
  for (const auto& w : TheRegistry().windows) {
    if (w.second.class_name == name) {
      t_last_error = kErrorClassHasWindows;
      return false;
    }
  }
  TheRegistry().classes.erase(name);
  return true;
}

WindowHandle CreateHiddenWindow(const char* class_name) {
  ThreadQueue& q = Queue();
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  std::string name = LowerName(class_name);
  auto cls = TheRegistry().classes.find(name);
  if (cls == TheRegistry().classes.end()) {
    t_last_error = kErrorCannotFindWndClass;
    return 0;
  }
  WindowHandle h = TheRegistry().next_handle;
  TheRegistry().next_handle += 4;
  WindowRecord rec;
  rec.queue = t_queue.queue;
  rec.proc = cls->second;
  rec.class_name = name;
  TheRegistry().windows.emplace(h, std::move(rec));
  (void)q;
  return h;
}

bool DestroyWindow(WindowHandle window) {
  ThreadQueue& q = Queue();
  {
    std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
    auto it = TheRegistry().windows.find(window);
    if (it == TheRegistry().windows.end() || it->second.queue.get() != &q) {
      t_last_error = kErrorInvalidWindowHandle;
      return false;
    }
    TheRegistry().windows.erase(it);
  }
  std::lock_guard<plat::Mutex> timer_lock(q.timer_mu);
  bool had_timers = false;
  q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                [&](const WindowTimer& t) {
                                  bool mine = t.window == window;
                                  had_timers |= mine;
                                  return mine;
                                }),
                 q.timers.end());
  if (had_timers) ArmTimerFd(q);
  std::lock_guard<plat::Mutex> lock(q.mu);
  q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                [&](const Message& m) { return m.window == window; }),
                 q.posted.end());
  if (q.posted.empty()) ResetSignal(q);
  return true;
}

bool IsWindow(WindowHandle window) {
  return window != 0 && WindowAlive(window);
}

void SetWindowSlot(WindowHandle window, void* value) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  if (WindowRecord* r = FindLocked(window)) r->slot = value;
}

void* GetWindowSlot(WindowHandle window) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  WindowRecord* r = FindLocked(window);
  return r ? r->slot : nullptr;
}

LResult DefWindowProc(WindowHandle, std::uint32_t, WParam, LParam) {
  return 0;
}

namespace {

// The queue of the thread that owns the window; nullptr (and the last error) when it is gone.
std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle window) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  WindowRecord* r = FindLocked(window);
  if (!r) {
    t_last_error = kErrorInvalidWindowHandle;
    return nullptr;
  }
  return r->queue;
}

}  // namespace

bool PostMessage(WindowHandle window, std::uint32_t msg, WParam wparam, LParam lparam) {
  std::shared_ptr<ThreadQueue> q = QueueOfWindow(window);
  if (!q) return false;
  Push(*q, Message{window, msg, wparam, lparam});
  return true;
}

void PostQuitMessage(int exit_code) {
  Push(Queue(), Message{0, kMsgQuit, static_cast<WParam>(exit_code), 0});
}

bool PeekMessage(Message& out) {
  ThreadQueue& q = Queue();
  Poll(q, 0);
  return TakePosted(q, out);
}

int GetMessage(Message& out) {
  ThreadQueue& q = Queue();
  for (;;) {
    Poll(q, 0);
    if (TakePosted(q, out)) return out.msg == kMsgQuit ? 0 : 1;
    RunWaitChecks(q);
    if (TakePosted(q, out)) return out.msg == kMsgQuit ? 0 : 1;
    Poll(q, -1);
    if (TakePosted(q, out)) return out.msg == kMsgQuit ? 0 : 1;
  }
}

void TranslateMessage(const Message&) {}

LResult DispatchMessage(const Message& m) {
  if (m.window == 0) return 0;
  WindowProc proc;
  {
    std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
    WindowRecord* r = FindLocked(m.window);
    if (!r) return 0;
    proc = r->proc;
  }
  return proc(m.window, m.msg, m.wparam, m.lparam);
}

void PurgeMessages(WindowHandle window, std::uint32_t msg) {
  ThreadQueue& q = Queue();
  std::lock_guard<plat::Mutex> lock(q.mu);
  q.posted.erase(
      std::remove_if(q.posted.begin(), q.posted.end(),
                     [&](const Message& m) { return m.window == window && m.msg == msg; }),
      q.posted.end());
  if (q.posted.empty()) ResetSignal(q);
}

bool HasQueuedMessage(WindowHandle window, std::uint32_t msg) {
  ThreadQueue& q = Queue();
  std::lock_guard<plat::Mutex> lock(q.mu);
  return std::any_of(q.posted.begin(), q.posted.end(),
                     [&](const Message& m) { return m.window == window && m.msg == msg; });
}

bool WindowInputWaiting() {
  return false;
}

bool WaitForInput(std::uint32_t timeout_ms) {
  ThreadQueue& q = Queue();
  Poll(q, 0);
  if (HasPosted(q)) return true;
  RunWaitChecks(q);
  if (HasPosted(q)) return true;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Round up so a wait never returns early for want of a millisecond.
    auto left_ms = left.count() < 0 ? 0 : left.count();
    if (Clock::now() < deadline && left_ms == 0) left_ms = 1;
    Poll(q, static_cast<int>(std::min<long long>(left_ms, 0x7fffffff)));
    if (HasPosted(q)) return true;
    if (Clock::now() >= deadline) return false;
  }
}

std::uint32_t RegisterWindowMessage(const char* name) {
  std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
  auto it = TheRegistry().registered_messages.find(LowerName(name));
  if (it != TheRegistry().registered_messages.end()) return it->second;
  std::uint32_t id = TheRegistry().next_registered++;
  TheRegistry().registered_messages.emplace(LowerName(name), id);
  return id;
}

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t interval_ms) {
  ThreadQueue& q = Queue();
  {
    std::lock_guard<plat::Mutex> lock(TheRegistry().mu);
    WindowRecord* r = FindLocked(window);
    if (!r || r->queue.get() != &q) {
      t_last_error = kErrorInvalidWindowHandle;
      return false;
    }
  }
  auto due = Clock::now() + std::chrono::milliseconds(interval_ms);
  std::lock_guard<plat::Mutex> timer_lock(q.timer_mu);
  auto it = std::find_if(q.timers.begin(), q.timers.end(),
                         [&](const WindowTimer& t) { return t.window == window && t.id == id; });
  if (it != q.timers.end()) {
    it->interval_ms = interval_ms;
    it->due = due;
  } else {
    q.timers.push_back(WindowTimer{window, id, interval_ms, due, false});
  }
  ArmTimerFd(q);
  return true;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
  // The timer lives in the queue of the window's thread, which need not be the caller's.
  std::shared_ptr<ThreadQueue> owner = QueueOfWindow(window);
  if (!owner) return false;
  ThreadQueue& q = *owner;
  std::lock_guard<plat::Mutex> timer_lock(q.timer_mu);
  auto it = std::find_if(q.timers.begin(), q.timers.end(),
                         [&](const WindowTimer& t) { return t.window == window && t.id == id; });
  if (it == q.timers.end()) return false;
  q.timers.erase(it);
  ArmTimerFd(q);
  std::lock_guard<plat::Mutex> lock(q.mu);
  q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                [&](const Message& m) {
                                  return m.window == window && m.msg == kMsgTimer && m.wparam == id;
                                }),
                 q.posted.end());
  if (q.posted.empty()) ResetSignal(q);
  return true;
}

int QueueWaitDescriptor() {
  return Queue().epfd;
}

namespace posix {

namespace {
std::shared_ptr<ThreadQueue> OwnerQueue(WindowHandle window) {
  return QueueOfWindow(window);
}
}  // namespace

bool AddPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source) {
  auto q = OwnerQueue(window);
  if (!q) {
    errno = EBADF;
    return false;
  }
  epoll_event ev{};
  ev.events = epoll_events;
  ev.data.ptr = source;
  return epoll_ctl(q->epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool ModifyPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source) {
  auto q = OwnerQueue(window);
  if (!q) {
    errno = EBADF;
    return false;
  }
  epoll_event ev{};
  ev.events = epoll_events;
  ev.data.ptr = source;
  return epoll_ctl(q->epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void RemovePollSource(WindowHandle window, int fd) {
  auto q = OwnerQueue(window);
  if (q) epoll_ctl(q->epfd, EPOLL_CTL_DEL, fd, nullptr);
}

void AddWaitCheck(PollSource* source) {
  auto& checks = Queue().wait_checks;
  if (std::find(checks.begin(), checks.end(), source) == checks.end()) checks.push_back(source);
}

void RemoveWaitCheck(PollSource* source) {
  auto& checks = Queue().wait_checks;
  checks.erase(std::remove(checks.begin(), checks.end(), source), checks.end());
}

std::uint32_t WindowThreadId(WindowHandle window) {
  auto q = OwnerQueue(window);
  return q ? q->thread_id : 0;
}

}  // namespace posix
}  // namespace plat
