// What the stand-in HTML dialog library (fake_mshtml.cpp, a DLL of the Windows tests) saw of
// the last ShowHTMLDialog call. The tests load the library themselves, name it to the window
// (ui::win32::SetHtmlDialogLibrary) and read the record through FakeHtmlDialogLastCall.
#pragma once

#include <cstdint>

namespace support {

struct FakeHtmlDialogCall {
  int calls = 0;
  std::uintptr_t parent = 0;
  wchar_t page[512] = {};            // the moniker's display name: the page's address
  unsigned short argument_type = 0;  // VARTYPE of the argument passed in
  wchar_t argument[64] = {};         // its text when it is a BSTR
  wchar_t options[256] = {};
  unsigned short result_type = 0;  // VARTYPE of the result VARIANT as handed in
  bool com_ready = false;          // COM was initialised on the calling thread
};

// The export that returns the record: const FakeHtmlDialogCall* FakeHtmlDialogLastCall().
inline constexpr char kFakeHtmlDialogRecordExport[] = "FakeHtmlDialogLastCall";

}  // namespace support
