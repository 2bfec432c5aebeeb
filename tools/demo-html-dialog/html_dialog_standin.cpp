// mshtml.dll, a stand-in for the system's HTML dialog under Wine without an HTML engine.
//
// Wine here has no HTML engine, so its own ShowHTMLDialog cannot show a page (and would offer
// to download an engine). The end-to-end tests and the Windows demo put this library beside the
// installer and tell Wine to take "mshtml" only from there, so the installer's own
// LoadLibraryW("MSHTML.DLL") and ShowHTMLDialog call reach it. It does what the system's dialog
// does, short of rendering HTML:
//   - it reads the page through the moniker it was given (so the page's address is the one the
//     installer made, and the request reaches the server),
//   - it shows a modal window titled with the page's <title>, whose client area has the height
//     and width of the options string, resizable when the options say so, and returns when the
//     window is closed,
//   - it writes what it was given, one "name=value" line each, to the file named by
//     VEXLOR_E2E_HTML_DIALOG_RECORD: parent, page, argument (VARTYPE and text), options,
//     result_type, bytes (of the page read), title.
// The page's text is drawn as plain text (tags removed); layout, styles and scripts are not
// shown.
#include <objbase.h>
#include <oaidl.h>
#include <urlmon.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t kWindowClass[] = L"VexlorHtmlDialogStandIn";

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// The whole page behind the moniker, read synchronously; empty when it cannot be had.
std::string ReadPage(IMoniker* page) {
  std::string bytes;
  IBindCtx* context = nullptr;
  if (FAILED(CreateBindCtx(0, &context))) return bytes;
  IStream* stream = nullptr;
  if (SUCCEEDED(
          page->BindToStorage(context, nullptr, IID_IStream, reinterpret_cast<void**>(&stream))) &&
      stream != nullptr) {
    char buf[4096];
    // A licence page is small; the limit keeps a runaway answer from holding the test.
    while (bytes.size() < (1u << 20)) {
      ULONG got = 0;
      HRESULT hr = stream->Read(buf, sizeof buf, &got);
      if (got > 0) bytes.append(buf, got);
      if (FAILED(hr) || got == 0) break;
    }
    stream->Release();
  }
  context->Release();
  return bytes;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  std::size_t a = text.find(open);
  if (a == std::string::npos) return {};
  a += open.size();
  std::size_t b = text.find(close, a);
  return b == std::string::npos ? std::string() : text.substr(a, b - a);
}

// The page's text without its tags and with runs of white space made one blank.
std::wstring PlainText(const std::string& html) {
  std::string body = Between(html, "<body", "</body>");
  if (body.empty()) body = html;
  std::string out;
  bool in_tag = false, blank = false;
  for (char c : body) {
    if (c == '<') {
      in_tag = true;
      continue;
    }
    if (c == '>') {
      in_tag = false;
      blank = true;
      continue;
    }
    if (in_tag) continue;
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return Wide(out);
}

// The number after `name` in the options string ("dialogHeight:374 px;"), or `fallback`.
int OptionNumber(const std::wstring& options, const wchar_t* name, int fallback) {
  std::size_t at = options.find(name);
  if (at == std::wstring::npos) return fallback;
  at += std::wcslen(name);
  int n = 0;
  bool any = false;
  while (at < options.size() && options[at] >= L'0' && options[at] <= L'9' && n < 100000) {
    n = n * 10 + (options[at++] - L'0');
    any = true;
  }
  return any ? n : fallback;
}

struct WindowState {
  std::wstring text;
  bool closed = false;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<WindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      InflateRect(&r, -12, -12);
      if (state != nullptr) {
        SetBkMode(dc, TRANSPARENT);
        SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        DrawTextW(dc, state->text.c_str(), static_cast<int>(state->text.size()), &r,
                  DT_WORDBREAK | DT_NOPREFIX);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      if (state != nullptr) state->closed = true;
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
}

void WriteRecord(const std::string& record) {
  wchar_t path[1024] = {};
  DWORD n = GetEnvironmentVariableW(L"VEXLOR_E2E_HTML_DIALOG_RECORD", path, 1024);
  if (n == 0 || n >= 1024) return;
  if (FILE* f = _wfopen(path, L"wb")) {
    std::fwrite(record.data(), 1, record.size(), f);
    std::fclose(f);
  }
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI
    ShowHTMLDialog(HWND parent, IMoniker* page, VARIANT* argument, LPWSTR options,
                   VARIANT* result) {
  std::wstring address;
  if (page != nullptr) {
    IBindCtx* context = nullptr;
    if (SUCCEEDED(CreateBindCtx(0, &context))) {
      LPOLESTR name = nullptr;
      if (SUCCEEDED(page->GetDisplayName(context, nullptr, &name)) && name != nullptr) {
        address = name;
        CoTaskMemFree(name);
      }
      context->Release();
    }
  }
  std::string html = page != nullptr ? ReadPage(page) : std::string();
  std::string title = Between(html, "<title>", "</title>");
  std::wstring opts = options != nullptr ? options : L"";

  std::string record = "parent=" + std::to_string(reinterpret_cast<std::uintptr_t>(parent)) + "\n";
  record += "page=" + Utf8(address) + "\n";
  if (argument != nullptr) {
    record += "argument=" + std::to_string(argument->vt) + " ";
    if (argument->vt == VT_BSTR && argument->bstrVal != nullptr) {
      record += "'" + Utf8(argument->bstrVal) + "'";
    }
    record += "\n";
  }
  record += "options=" + Utf8(opts) + "\n";
  record += "result_type=" + std::to_string(result != nullptr ? result->vt : -1) + "\n";
  record += "bytes=" + std::to_string(html.size()) + "\n";
  record += "title=" + title + "\n";
  WriteRecord(record);

  // The window: modal in the sense of the system's dialog, which runs its own message loop
  // and returns only when it is closed (the installer's own window stays as it is).
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.lpszClassName = kWindowClass;
  RegisterClassW(&wc);
  WindowState state;
  state.text = PlainText(html);
  if (state.text.empty()) state.text = L"(no page at " + address + L")";
  bool resizable = opts.find(L"resizable:yes;") != std::wstring::npos;
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | (resizable ? WS_THICKFRAME : 0);
  RECT frame{0, 0, OptionNumber(opts, L"dialogWidth:", 400),
             OptionNumber(opts, L"dialogHeight:", 300)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  std::wstring caption = title.empty() ? address : Wide(title);
  HWND hwnd = CreateWindowExW(0, kWindowClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                              frame.right - frame.left, frame.bottom - frame.top, parent, nullptr,
                              instance, nullptr);
  if (hwnd == nullptr) return E_FAIL;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  ShowWindow(hwnd, SW_SHOWNORMAL);
  MSG msg;
  while (!state.closed) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      // A quit request belongs to the application's loop: leave it for that loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      DestroyWindow(hwnd);
      break;
    }
    if (got < 0) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnregisterClassW(kWindowClass, instance);
  return S_OK;
}
