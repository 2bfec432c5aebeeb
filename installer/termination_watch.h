// The program's answer to a termination request from the system (POSIX: SIGTERM, SIGINT,
// SIGHUP): the request arrives on the user-interface thread as a message, and the handler
// given here runs from the thread's message dispatch, wherever that is (the application loop,
// the download's wait, a modal question).
//
// Threads: create, use and destroy on the user-interface thread. Ownership: owns its hidden
// window and the signal watch; one per process.
#pragma once

#include <functional>

#include "platform/messages.h"

namespace installer {

class TTerminationWatch {
 public:
  // Starts watching; where there is nothing to watch (Windows) it does nothing.
  explicit TTerminationWatch(std::function<void()> on_request);
  ~TTerminationWatch();
  TTerminationWatch(const TTerminationWatch&) = delete;
  TTerminationWatch& operator=(const TTerminationWatch&) = delete;

  // The first signal that asked the program to end, 0 while none did.
  int Signal() const { return signal_; }

 private:
  static plat::LResult Proc(plat::WindowHandle window, std::uint32_t msg, plat::WParam wparam,
                            plat::LParam lparam);

  std::function<void()> on_request_;
  plat::WindowHandle window_ = 0;
  bool watching_ = false;
  int signal_ = 0;
};

}  // namespace installer
