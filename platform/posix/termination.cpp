// Termination signals through a self-pipe into the watching thread's queue.
#include "platform/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/posix/queue.h"

namespace plat {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

// The write end, for the handler (which may run on any thread); -1 while no watch exists.
std::atomic<int> g_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

extern "C" void OnTerminationSignal(int signal_number) {
  const int saved = errno;
  const int fd = g_write_fd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    // A full pipe already holds a request; dropping this one loses nothing.
    ssize_t n = write(fd, &byte, 1);
    (void)n;
  }
  errno = saved;
}

class SignalPipe : public posix::PollSource {
 public:
  SignalPipe(WindowHandle window, std::uint32_t msg, int read_fd, int write_fd)
      : window_(window), msg_(msg), read_fd_(read_fd), write_fd_(write_fd) {}
  ~SignalPipe() override {
    close(read_fd_);
    close(write_fd_);
  }
  void OnReady(std::uint32_t) override {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = read(read_fd_, bytes, sizeof bytes)) > 0) {
      for (ssize_t i = 0; i < n; ++i)
        PostMessage(window_, msg_, bytes[i], 0);
    }
  }

  WindowHandle window_;
  std::uint32_t msg_;
  int read_fd_;
  int write_fd_;
  std::array<struct sigaction, kSignals.size()> previous_{};
};

std::unique_ptr<SignalPipe> g_watch;

}  // namespace

bool WatchTerminationSignals(WindowHandle window, std::uint32_t msg) {
  if (g_watch) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto watch = std::make_unique<SignalPipe>(window, msg, fds[0], fds[1]);
  if (!posix::AddPollSource(window, fds[0], EPOLLIN, watch.get())) return false;
  g_write_fd = fds[1];
  struct sigaction action = {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (sigaction(kSignals[i], &action, &watch->previous_[i]) != 0) {
      for (std::size_t j = 0; j < i; ++j)
        sigaction(kSignals[j], &watch->previous_[j], nullptr);
      g_write_fd = -1;
      posix::RemovePollSource(window, fds[0]);
      return false;
    }
  }
  g_watch = std::move(watch);
  return true;
}

void UnwatchTerminationSignals() {
  if (!g_watch) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i)
    sigaction(kSignals[i], &g_watch->previous_[i], nullptr);
  g_write_fd = -1;
  posix::RemovePollSource(g_watch->window_, g_watch->read_fd_);
  g_watch.reset();
}

void RaiseTerminationSignal(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal_number);
}

}  // namespace plat
