// Shared pieces of the native Windows toolkit library: start-up, dpi scaling, fonts, pictures,
// keyboard navigation and the modal dialogs. Internal to ui/win32/.
//
// Like platform/win32/, this library talks to user32, gdi32, comctl32 and the shell directly;
// it includes <windows.h> through platform/win32/win.h, which keeps the View's MessageBox and the
// platform module's names free of the system's macros.
//
// Threads: the user-interface thread only.
#pragma once

#include "platform/win32/win.h"

#include <objbase.h>

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>

#include "ui/layout.h"
#include "ui/view.h"
#include "ui/win32/win32_view.h"

namespace ui::win32 {

// Common controls (version 6 through the program's manifest) and the window classes, once per
// process.
void InitToolkit();

// v * dpi / 96 rounded half away from zero, as MulDiv rounds (layout sizes are small, so the
// product never overflows).
inline int ScaleToDpi(int v, int dpi) {
  const int magnitude = ((v < 0 ? -v : v) * dpi + 48) / 96;
  return v < 0 ? -magnitude : magnitude;
}

// Layout pixels (96 dpi) to device pixels at a dpi.
struct Scale {
  int dpi = 96;
  int operator()(int v) const { return ScaleToDpi(v, dpi); }
};

// UTF-16 text as the system's wide strings (wchar_t is 16 bits on Windows).
inline const wchar_t* W(const String& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
inline String FromWide(const wchar_t* s) {
  return s ? String(reinterpret_cast<const char16_t*>(s)) : String();
}
inline String FromWide(const wchar_t* s, std::size_t n) {
  return String(reinterpret_cast<const char16_t*>(s), n);
}

// 0xRRGGBB (or the window-text colour) as a COLORREF.
COLORREF ColorOf(std::uint32_t rgb);

// The layout's fonts at one dpi, plus the underlined window font for the licence link.
class FontSet {
 public:
  explicit FontSet(int dpi);
  ~FontSet();
  FontSet(const FontSet&) = delete;
  FontSet& operator=(const FontSet&) = delete;
  HFONT Get(FontKind f, bool underline = false) const;

 private:
  std::array<HFONT, 3> fonts_{};
  HFONT underlined_ = nullptr;
};

// A picture decoded by the system (WIC) into a top-down 32-bit DIB with premultiplied alpha, at
// the size it is drawn at.
struct DecodedPicture {
  HBITMAP bitmap = nullptr;
  int width = 0;
  int height = 0;
};

// Decodes PNG or JPEG data to premultiplied BGRA at width x height (scaled by the system when
// that is not the picture's own size). An empty result when the system cannot decode it.
DecodedPicture DecodePicture(std::span<const std::uint8_t> data, int width, int height);

// The layout's pictures at one dpi, decoded once.
class PictureSet {
 public:
  explicit PictureSet(int dpi);
  ~PictureSet();
  PictureSet(const PictureSet&) = delete;
  PictureSet& operator=(const PictureSet&) = delete;
  const DecodedPicture& Get(Picture p) const { return pictures_[static_cast<int>(p)]; }

 private:
  std::array<DecodedPicture, kPictureCount> pictures_{};
};

// Draws a decoded picture with its alpha over what the DC already holds.
void DrawPicture(HDC dc, const DecodedPicture& picture, int x, int y);

// Windows whose keyboard input goes through IsDialogMessage (Tab, Enter, Esc), in the
// application's loop and in every pump.
void AddDialogWindow(HWND window);
void RemoveDialogWindow(HWND window);
// True when the message was keyboard navigation of such a window and has been handled.
bool HandleDialogInput(MSG& message);

// The modal dialogs.
MsgResult RunMessageBox(const MessageBoxRequest& request, HWND owner);
std::optional<String> RunBrowseForFolder(HWND owner, const String& title);
void RunHtmlDialog(const HtmlDialogRequest& request);

// An exception that no handler caught: shown like the system's own error box. The silent abort
// is the caller's to drop (a catch of EAbort before the one that calls this).
void ReportException(const std::exception& e, HWND owner);

// The program's icon (its icon resource 1) at the system's small or large icon size; null for
// a program without one. Owned by the toolkit.
HICON ProgramIcon(bool small);

// A COM interface pointer released when it goes.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  explicit operator bool() const { return p_ != nullptr; }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace ui::win32
