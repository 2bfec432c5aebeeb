// Win32 message queues and hidden windows: thin wrappers over user32.
//
// A window class registered here uses one shared window procedure that forwards to the
// procedure given at registration, kept in the window's second extra slot; the first slot is
// the caller's pointer-sized slot.
#include "platform/win32/win.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/messages.h"
#include "platform/thread.h"

namespace plat {
namespace {

constexpr int kSlotUser = 0;
constexpr int kSlotProc = static_cast<int>(sizeof(LONG_PTR));

plat::Mutex g_mu;
std::unordered_map<std::string, WindowProc> g_procs;  // by lower-cased class name

std::string LowerName(const char* name) {
  std::string s(name ? name : "");
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::wstring Wide(const char* s) {
  return std::wstring(s, s + std::char_traits<char>::length(s));
}

LRESULT CALLBACK SharedWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto proc = reinterpret_cast<WindowProc>(GetWindowLongPtrW(hwnd, kSlotProc));
  if (proc == nullptr) return DefWindowProcW(hwnd, msg, wparam, lparam);
  return proc(reinterpret_cast<WindowHandle>(hwnd), msg, wparam, lparam);
}

HWND H(WindowHandle w) {
  return reinterpret_cast<HWND>(w);
}

}  // namespace

std::uint32_t GetLastError() {
  return ::GetLastError();
}
void SetLastError(std::uint32_t code) {
  ::SetLastError(code);
}

bool IsWindowClassRegistered(const char* class_name) {
  WNDCLASSW wc;
  return GetClassInfoW(GetModuleHandleW(nullptr), Wide(class_name).c_str(), &wc) != 0;
}

bool RegisterWindowClass(const char* class_name, WindowProc proc) {
  std::wstring name = Wide(class_name);
  WNDCLASSW wc{};
  wc.style = 0;
  wc.lpfnWndProc = SharedWindowProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 2 * sizeof(LONG_PTR);
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = name.c_str();
  if (RegisterClassW(&wc) == 0) return false;
  std::lock_guard<plat::Mutex> lock(g_mu);
  g_procs[LowerName(class_name)] = proc;
  return true;
}

bool UnregisterWindowClass(const char* class_name) {
  if (!UnregisterClassW(Wide(class_name).c_str(), GetModuleHandleW(nullptr))) return false;
  std::lock_guard<plat::Mutex> lock(g_mu);
  g_procs.erase(LowerName(class_name));
  return true;
}

WindowHandle CreateHiddenWindow(const char* class_name) {
  WindowProc proc;
  {
    std::lock_guard<plat::Mutex> lock(g_mu);
    auto it = g_procs.find(LowerName(class_name));
    if (it == g_procs.end()) {
      ::SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return 0;
    }
    proc = it->second;
  }
  HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, Wide(class_name).c_str(), L"", WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) return 0;
  SetWindowLongPtrW(hwnd, kSlotProc, reinterpret_cast<LONG_PTR>(proc));
  return reinterpret_cast<WindowHandle>(hwnd);
}

bool DestroyWindow(WindowHandle window) {
  return ::DestroyWindow(H(window)) != 0;
}
bool IsWindow(WindowHandle window) {
  return window != 0 && ::IsWindow(H(window)) != 0;
}

void SetWindowSlot(WindowHandle window, void* value) {
  SetWindowLongPtrW(H(window), kSlotUser, reinterpret_cast<LONG_PTR>(value));
}

void* GetWindowSlot(WindowHandle window) {
  return reinterpret_cast<void*>(GetWindowLongPtrW(H(window), kSlotUser));
}

LResult DefWindowProc(WindowHandle window, std::uint32_t msg, WParam wparam, LParam lparam) {
  return DefWindowProcW(H(window), msg, wparam, lparam);
}

bool PostMessage(WindowHandle window, std::uint32_t msg, WParam wparam, LParam lparam) {
  return PostMessageW(H(window), msg, wparam, lparam) != 0;
}

void PostQuitMessage(int exit_code) {
  ::PostQuitMessage(exit_code);
}

namespace {
void FromMsg(const MSG& m, Message& out) {
  out.window = reinterpret_cast<WindowHandle>(m.hwnd);
  out.msg = m.message;
  out.wparam = m.wParam;
  out.lparam = m.lParam;
}
MSG ToMsg(const Message& m) {
  MSG msg{};
  msg.hwnd = H(m.window);
  msg.message = m.msg;
  msg.wParam = m.wparam;
  msg.lParam = m.lparam;
  return msg;
}
}  // namespace

bool PeekMessage(Message& out) {
  MSG m;
  if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) return false;
  FromMsg(m, out);
  return true;
}

int GetMessage(Message& out) {
  MSG m;
  BOOL r = GetMessageW(&m, nullptr, 0, 0);
  if (r == -1) return -1;
  FromMsg(m, out);
  return r == 0 ? 0 : 1;
}

void TranslateMessage(const Message& m) {
  MSG msg = ToMsg(m);
  ::TranslateMessage(&msg);
}

LResult DispatchMessage(const Message& m) {
  MSG msg = ToMsg(m);
  return DispatchMessageW(&msg);
}

void PurgeMessages(WindowHandle window, std::uint32_t msg) {
  MSG m;
  while (PeekMessageW(&m, H(window), msg, msg, PM_REMOVE)) {
  }
}

bool HasQueuedMessage(WindowHandle window, std::uint32_t msg) {
  MSG m;
  return PeekMessageW(&m, H(window), msg, msg, PM_NOREMOVE | PM_NOYIELD) != 0;
}

bool WindowInputWaiting() {
  // The high word: the kinds of messages in the queue now (the low word has only those new
  // since the last look).
  return HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) != 0;
}

bool WaitForInput(std::uint32_t timeout_ms) {
  // MWMO_INPUTAVAILABLE: also return for input that is queued but was already seen.
  return MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
         WAIT_OBJECT_0;
}

std::uint32_t RegisterWindowMessage(const char* name) {
  return RegisterWindowMessageW(Wide(name).c_str());
}

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t interval_ms) {
  return ::SetTimer(H(window), id, interval_ms, nullptr) != 0;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
  return ::KillTimer(H(window), id) != 0;
}

int QueueWaitDescriptor() {
  return -1;
}

}  // namespace plat
