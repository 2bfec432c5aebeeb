// A program that ends while a self-freeing worker thread still runs, as the installer does when
// its window is closed during the setup run: the worker's body finishes while the program is
// ending (main has returned, static objects are going) and then completes and frees itself. It
// must find nothing destroyed under it; the sanitizers say so when it does, and the exit status
// is then not 0.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "installer/thread.h"

namespace {

std::atomic<bool> g_release{false};
std::atomic<bool> g_freed{false};

class TProbeThread : public installer::TThread {
 public:
  TProbeThread() : TThread(true) {}
  ~TProbeThread() override { g_freed = true; }

 protected:
  void Execute() override {
    while (!g_release)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// Registered first, so it runs last: after the objects made later are destroyed.
void ReleaseTheWorkerAtTheVeryEnd() {
  g_release = true;
  for (int i = 0; i < 5000 && !g_freed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

int main() {
  std::atexit(ReleaseTheWorkerAtTheVeryEnd);
  auto* worker = new TProbeThread;
  worker->FreeOnTerminate = true;
  worker->OnTerminate = [](TObject*) {};
  worker->Start();
  return 0;
}
