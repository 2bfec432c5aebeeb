// A stand-in for the system's HTML dialog library: exports ShowHTMLDialog with the system's
// signature, records what it was given and returns at once, as if the user had closed the
// dialog. The licence dialog's call is tested against it up to the system's dialog, which
// Wine here cannot show (it has no HTML engine).
#include <objbase.h>
#include <oaidl.h>
#include <windows.h>

#include "tests/support/fake_mshtml.h"

namespace {

support::FakeHtmlDialogCall g_last;

void Copy(wchar_t* to, std::size_t capacity, const wchar_t* from) {
  std::size_t i = 0;
  for (; from && from[i] && i + 1 < capacity; ++i)
    to[i] = from[i];
  to[i] = L'\0';
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI
    ShowHTMLDialog(HWND parent, IMoniker* page, VARIANT* argument, LPWSTR options,
                   VARIANT* result) {
  g_last = support::FakeHtmlDialogCall{};
  g_last.calls = 1;
  g_last.parent = reinterpret_cast<std::uintptr_t>(parent);
  // A thread with COM answers S_FALSE (or a mode change) here, one without it S_OK.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  g_last.com_ready = com != S_OK;
  if (SUCCEEDED(com)) CoUninitialize();
  if (page != nullptr) {
    IBindCtx* context = nullptr;
    if (SUCCEEDED(CreateBindCtx(0, &context))) {
      LPOLESTR name = nullptr;
      if (SUCCEEDED(page->GetDisplayName(context, nullptr, &name))) {
        Copy(g_last.page, 512, name);
        CoTaskMemFree(name);
      }
      context->Release();
    }
  }
  if (argument != nullptr) {
    g_last.argument_type = argument->vt;
    if (argument->vt == VT_BSTR) Copy(g_last.argument, 64, argument->bstrVal);
  }
  Copy(g_last.options, 256, options);
  if (result != nullptr) g_last.result_type = result->vt;
  return S_OK;
}

extern "C" __declspec(dllexport) const support::FakeHtmlDialogCall* FakeHtmlDialogLastCall() {
  return &g_last;
}
