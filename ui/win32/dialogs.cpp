// The modal dialogs of the Windows window: the system's message box, the shell's folder
// browser and the system's HTML dialog.
//
// Each runs the system's own modal loop, which dispatches the thread's posted messages, so the
// hidden windows of the HTTP client and its socket go on receiving their notices (a download
// goes on) while a dialog is open.
#include "ui/win32/win32_internal.h"

#include <oaidl.h>
#include <shlobj.h>
#include <urlmon.h>

#include "ui/win32/win32_view.h"

namespace ui::win32 {

namespace {

// The library that holds the HTML dialog; tests name one of their own.
String& HtmlDialogLibrary() {
  static String name = kSystemHtmlDialogLibrary;
  return name;
}

// ShowHTMLDialog(parent, page moniker, argument in, options, argument out).
using ShowHtmlDialogProc = HRESULT(WINAPI*)(HWND, IMoniker*, VARIANT*, LPWSTR, VARIANT*);

}  // namespace

MsgResult RunMessageBox(const MessageBoxRequest& request, HWND owner) {
  UINT style = MessageBoxStyle(request.Buttons, request.Icon);
  int answer = MessageBoxW(owner, W(request.Text), W(request.Caption), style);
  return static_cast<MsgResult>(answer);
}

std::optional<String> RunBrowseForFolder(HWND owner, const String& title) {
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;  // the desktop
  info.lpszTitle = W(title);
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
  if (item == nullptr) return std::nullopt;
  wchar_t path[MAX_PATH + 1] = {};
  if (!SHGetPathFromIDListW(item, path)) path[0] = L'\0';
  CoTaskMemFree(item);
  return FromWide(path);
}

void RunHtmlDialog(const HtmlDialogRequest& request) {
  // The user-interface thread is a single-threaded apartment already, and then this changes
  // nothing; a thread without COM is initialised for the time of the dialog.
  HRESULT com = CoInitializeEx(nullptr, 0);
  if (HMODULE library = LoadLibraryW(W(HtmlDialogLibrary()))) {
    // Through a plain function pointer: the procedure's own type is known only from here.
    auto show = reinterpret_cast<ShowHtmlDialogProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "ShowHTMLDialog")));
    IMoniker* page = nullptr;
    // Without a moniker there is no page to show: the dialog is not called with nothing.
    if (show && SUCCEEDED(CreateURLMoniker(nullptr, W(request.Url), &page)) && page) {
      VARIANT argument_in;
      VariantInit(&argument_in);
      argument_in.vt = VT_BSTR;
      argument_in.bstrVal = SysAllocString(L"");
      VARIANT argument_out;
      VariantInit(&argument_out);
      // The dialog takes its options as a writable string.
      std::wstring options(W(request.Options), request.Options.size());
      show(nullptr, page, &argument_in, options.data(), &argument_out);
      VariantClear(&argument_out);
      VariantClear(&argument_in);
    }
    if (page) page->Release();
    FreeLibrary(library);
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

void SetHtmlDialogLibrary(const String& name) {
  HtmlDialogLibrary() = name.empty() ? String(kSystemHtmlDialogLibrary) : name;
}

}  // namespace ui::win32
