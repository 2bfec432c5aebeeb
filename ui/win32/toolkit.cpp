// Start-up of the native toolkit, dpi, fonts, pictures and keyboard navigation.
#include "ui/win32/win32_internal.h"

#include <commctrl.h>
#include <wincodec.h>

#include <algorithm>
#include <vector>

#include "platform/exceptions.h"

namespace ui::win32 {

namespace {

std::vector<HWND> g_dialog_windows;

}  // namespace

void InitToolkit() {
  static bool done = false;
  if (done) return;
  done = true;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

COLORREF ColorOf(std::uint32_t rgb) {
  if (rgb == kColorWindowText) return GetSysColor(COLOR_WINDOWTEXT);
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// --- Fonts ---------------------------------------------------------------------------------

namespace {

HFONT MakeFont(const FontDef& def, int dpi, bool underline) {
  // A negative height asks for the character height (the em size without internal leading),
  // which is how the layout gives its fonts.
  std::wstring face(def.Face, def.Face + std::char_traits<char>::length(def.Face));
  return CreateFontW(-ScaleToDpi(def.PixelHeight, dpi), 0, 0, 0, def.Bold ? FW_BOLD : FW_NORMAL,
                     FALSE, underline ? TRUE : FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     face.c_str());
}

}  // namespace

FontSet::FontSet(int dpi) {
  for (FontKind f : {FontKind::fkWindow, FontKind::fkHeadline, FontKind::fkBold})
    fonts_[static_cast<int>(f)] = MakeFont(Font(f), dpi, false);
  underlined_ = MakeFont(Font(FontKind::fkWindow), dpi, true);
}

FontSet::~FontSet() {
  for (HFONT f : fonts_)
    if (f) DeleteObject(f);
  if (underlined_) DeleteObject(underlined_);
}

HFONT FontSet::Get(FontKind f, bool underline) const {
  if (underline && f == FontKind::fkWindow) return underlined_;
  return fonts_[static_cast<int>(f)];
}

// --- Pictures ------------------------------------------------------------------------------

DecodedPicture DecodePicture(std::span<const std::uint8_t> data, int width, int height) {
  DecodedPicture out;
  if (data.empty() || width <= 0 || height <= 0) return out;
  // WIC is a COM library; the user-interface thread is a single-threaded apartment already, and
  // a thread that is not gets one for the time of the decoding.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    ComPtr<IWICBitmapScaler> scaler;
    UINT w = 0, h = 0;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IWICImagingFactory, factory.OutVoid())) &&
              SUCCEEDED(factory->CreateStream(stream.Out())) &&
              SUCCEEDED(stream->InitializeFromMemory(const_cast<BYTE*>(data.data()),
                                                     static_cast<DWORD>(data.size()))) &&
              SUCCEEDED(factory->CreateDecoderFromStream(
                  stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.Out())) &&
              SUCCEEDED(decoder->GetFrame(0, frame.Out())) &&
              SUCCEEDED(factory->CreateFormatConverter(converter.Out())) &&
              SUCCEEDED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA,
                                              WICBitmapDitherTypeNone, nullptr, 0.0,
                                              WICBitmapPaletteTypeCustom)) &&
              SUCCEEDED(converter->GetSize(&w, &h));
    IWICBitmapSource* source = converter.Get();
    if (ok && (static_cast<int>(w) != width || static_cast<int>(h) != height)) {
      ok = SUCCEEDED(factory->CreateBitmapScaler(scaler.Out())) &&
           SUCCEEDED(
               scaler->Initialize(converter.Get(), width, height, WICBitmapInterpolationModeFant));
      source = scaler.Get();
    }
    if (ok) {
      BITMAPINFO bi{};
      bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
      bi.bmiHeader.biWidth = width;
      bi.bmiHeader.biHeight = -height;  // top-down, as WIC writes its rows
      bi.bmiHeader.biPlanes = 1;
      bi.bmiHeader.biBitCount = 32;
      bi.bmiHeader.biCompression = BI_RGB;
      void* bits = nullptr;
      HBITMAP bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
      UINT stride = static_cast<UINT>(width) * 4;
      if (bitmap && SUCCEEDED(source->CopyPixels(nullptr, stride, stride * height,
                                                 static_cast<BYTE*>(bits)))) {
        GdiFlush();
        out.bitmap = bitmap;
        out.width = width;
        out.height = height;
      } else if (bitmap) {
        DeleteObject(bitmap);
      }
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return out;
}

PictureSet::PictureSet(int dpi) {
  Scale s{dpi};
  for (int i = 1; i < kPictureCount; ++i) {
    const PictureDef& def = kPictures[i];
    pictures_[i] = DecodePicture(PictureData(def.Id), s(def.Width), s(def.Height));
  }
}

PictureSet::~PictureSet() {
  for (DecodedPicture& p : pictures_)
    if (p.bitmap) DeleteObject(p.bitmap);
}

void DrawPicture(HDC dc, const DecodedPicture& picture, int x, int y) {
  if (!picture.bitmap) return;
  HDC src = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(src, picture.bitmap);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  GdiAlphaBlend(dc, x, y, picture.width, picture.height, src, 0, 0, picture.width, picture.height,
                blend);
  SelectObject(src, old);
  DeleteDC(src);
}

HICON ProgramIcon(bool small) {
  static HICON icons[2] = {nullptr, nullptr};
  HICON& icon = icons[small ? 1 : 0];
  if (icon) return icon;
  int size = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                       size, size, LR_DEFAULTCOLOR));
  return icon;
}

// --- Keyboard navigation -------------------------------------------------------------------

void AddDialogWindow(HWND window) {
  if (std::find(g_dialog_windows.begin(), g_dialog_windows.end(), window) == g_dialog_windows.end())
    g_dialog_windows.push_back(window);
}

void RemoveDialogWindow(HWND window) {
  std::erase(g_dialog_windows, window);
}

bool HandleDialogInput(MSG& message) {
  if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST) return false;
  for (HWND w : g_dialog_windows) {
    if (message.hwnd != w && !IsChild(w, message.hwnd)) continue;
    return IsDialogMessageW(w, &message) != 0;
  }
  return false;
}

void ReportException(const std::exception& e, HWND owner) {
  String text = text::FromUtf8(e.what());
  MessageBoxW(owner, W(text), W(String(kWindow.Caption)), MB_OK | MB_ICONERROR);
}

}  // namespace ui::win32
