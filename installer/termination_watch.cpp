// The termination watch of the installer program.
#include "installer/termination_watch.h"

#include "platform/termination.h"

namespace installer {

namespace {

constexpr const char* kClassName = "VexlorTerminationWatch";
constexpr std::uint32_t kMsgTerminate = plat::kMsgUser;

}  // namespace

TTerminationWatch::TTerminationWatch(std::function<void()> on_request)
    : on_request_(std::move(on_request)) {
  if (!plat::IsWindowClassRegistered(kClassName))
    plat::RegisterWindowClass(kClassName, &TTerminationWatch::Proc);
  window_ = plat::CreateHiddenWindow(kClassName);
  if (window_ == 0) return;
  plat::SetWindowSlot(window_, this);
  watching_ = plat::WatchTerminationSignals(window_, kMsgTerminate);
}

TTerminationWatch::~TTerminationWatch() {
  if (watching_) plat::UnwatchTerminationSignals();
  if (window_ != 0) plat::DestroyWindow(window_);
}

plat::LResult TTerminationWatch::Proc(plat::WindowHandle window, std::uint32_t msg,
                                      plat::WParam wparam, plat::LParam lparam) {
  auto* self = static_cast<TTerminationWatch*>(plat::GetWindowSlot(window));
  if (self == nullptr || msg != kMsgTerminate)
    return plat::DefWindowProc(window, msg, wparam, lparam);
  // The first request decides; the program is ending already when more arrive.
  if (self->signal_ != 0) return 0;
  self->signal_ = static_cast<int>(wparam);
  if (self->on_request_) self->on_request_();
  return 0;
}

}  // namespace installer
