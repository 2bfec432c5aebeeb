// The wait between two download attempts.
#include "http/retry_pause.h"

#include "events/syncwait.h"

TRetryPause::TRetryPause() : TNetWndControl(nullptr) {}

TRetryPause::~TRetryPause() {
  ReleaseResources(true);
}

bool TRetryPause::Run(std::uint32_t Ms, const std::function<bool()>& Stop) {
  if (Stop && Stop()) return false;
  Handle();  // binds the pause to this thread, where its timer's ticks arrive
  if (FTimer == nullptr) {
    FTimer = new TNetThreadTimer(this);
    FTimer->SetOnTimer([this](TObject*) {
      FElapsed = true;
      FTimer->SetEnabled(false);
    });
  }
  FElapsed = false;
  FTimer->SetEnabled(false);
  FTimer->SetInterval(Ms);
  FTimer->SetEnabled(true);
  TSyncWait wait;
  bool stopped = false;
  wait.Done = [&] {
    if (FElapsed) return true;
    stopped = Stop && Stop();
    return stopped;
  };
  const TSyncWaitResult result = wait.Run(*this);
  FTimer->SetEnabled(false);
  return result == TSyncWaitResult::swDone && !stopped;
}
