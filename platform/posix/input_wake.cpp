// Input descriptors as poll sources of the thread's queue. Edge-triggered: one notice per
// arrival of new data, so a descriptor the toolkit has not read yet never makes a wait spin.
// Input the toolkit's library has already read and queued is asked for before each blocking
// wait, since no new data arrives on the descriptor for it.
#include <sys/epoll.h>

#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/input_wake.h"
#include "platform/posix/queue.h"

namespace plat {

namespace {

class InputWake : public posix::PollSource {
 public:
  InputWake(WindowHandle window, std::uint32_t msg, std::function<bool()> buffered)
      : window_(window), msg_(msg), buffered_(std::move(buffered)) {}
  void OnReady(std::uint32_t) override { PostMessage(window_, msg_, 0, 0); }
  void BeforeWait() override {
    if (buffered_ && buffered_()) PostMessage(window_, msg_, 0, 0);
  }

 private:
  WindowHandle window_;
  std::uint32_t msg_;
  std::function<bool()> buffered_;
};

// Per thread: the sources live as long as they are watched.
thread_local std::map<std::pair<WindowHandle, int>, std::unique_ptr<InputWake>> t_watched;

}  // namespace

bool WatchInputDescriptor(WindowHandle window, int fd, std::uint32_t msg,
                          std::function<bool()> buffered) {
  auto key = std::make_pair(window, fd);
  if (t_watched.count(key)) return true;
  const bool asks = static_cast<bool>(buffered);
  auto source = std::make_unique<InputWake>(window, msg, std::move(buffered));
  if (!posix::AddPollSource(window, fd, EPOLLIN | EPOLLET, source.get())) return false;
  if (asks) posix::AddWaitCheck(source.get());
  t_watched.emplace(key, std::move(source));
  return true;
}

void UnwatchInputDescriptor(WindowHandle window, int fd) {
  auto it = t_watched.find(std::make_pair(window, fd));
  if (it == t_watched.end()) return;
  posix::RemovePollSource(window, fd);
  posix::RemoveWaitCheck(it->second.get());
  t_watched.erase(it);
}

}  // namespace plat
