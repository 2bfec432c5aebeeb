// The logged-on user's credentials through SSPI (packages "NTLM" and "Negotiate"): secur32.dll
// is loaded at run time, as for TLS, so the program links nothing new. Each session holds one
// credentials handle and one security context; the tokens go out as the package makes them.
#define SECURITY_WIN32
#include <windows.h>
// windows.h first
#include <security.h>

#include <string>

#include "platform/sspi.h"
#include "platform/text.h"
#include "platform/win32/system_library.h"

namespace plat {
namespace {

PSecurityFunctionTableW Table() {
  static const PSecurityFunctionTableW table = []() -> PSecurityFunctionTableW {
    HMODULE sec = win32::LoadSystemLibrary(L"secur32.dll");
    if (sec == nullptr) return nullptr;
    INIT_SECURITY_INTERFACE_W init = nullptr;
    if (!win32::Find(sec, "InitSecurityInterfaceW", init)) return nullptr;
    return init();
  }();
  return table;
}

std::wstring Wide(std::u16string_view s) {
  return std::wstring(s.begin(), s.end());
}

class TWinSspiSession : public TSspiSession {
 public:
  TWinSspiSession(PSecurityFunctionTableW table, CredHandle cred, const String& spn)
      : table_(table), cred_(cred), spn_(Wide(spn)) {}
  ~TWinSspiSession() override {
    if (have_context_) table_->DeleteSecurityContext(&context_);
    table_->FreeCredentialsHandle(&cred_);
  }

  bool Step(std::string_view in, std::string& out, std::string& error) override {
    SecBuffer in_buffer = {static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN,
                           const_cast<char*>(in.data())};
    SecBufferDesc in_desc = {SECBUFFER_VERSION, 1, &in_buffer};
    SecBuffer out_buffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out_buffer};
    unsigned long attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = table_->InitializeSecurityContextW(
        &cred_, have_context_ ? &context_ : nullptr,
        spn_.empty() ? nullptr : const_cast<wchar_t*>(spn_.c_str()),
        ISC_REQ_CONNECTION | ISC_REQ_ALLOCATE_MEMORY, 0, SECURITY_NATIVE_DREP,
        in.empty() ? nullptr : &in_desc, 0, &context_, &out_desc, &attributes, &expiry);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) have_context_ = true;
    if (out_buffer.pvBuffer != nullptr) {
      out.assign(static_cast<const char*>(out_buffer.pvBuffer), out_buffer.cbBuffer);
      table_->FreeContextBuffer(out_buffer.pvBuffer);
    } else {
      out.clear();
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      error = "InitializeSecurityContext failed: " +
              text::HexStatus(static_cast<std::uint32_t>(status));
      return false;
    }
    if (out.empty()) {
      error = "the security package produced no token";
      return false;
    }
    return true;
  }

 private:
  PSecurityFunctionTableW table_;
  CredHandle cred_;
  CtxtHandle context_{};
  bool have_context_ = false;
  std::wstring spn_;
};

}  // namespace

std::unique_ptr<TSspiSession> OpenSspiSession(const char* package, const String& spn,
                                              std::string& error) {
  PSecurityFunctionTableW table = Table();
  if (table == nullptr) {
    error = "secur32.dll cannot be loaded";
    return nullptr;
  }
  std::wstring name;
  for (const char* p = package; *p != '\0'; ++p)
    name += static_cast<wchar_t>(*p);
  CredHandle cred;
  TimeStamp expiry;
  const SECURITY_STATUS status = table->AcquireCredentialsHandleW(
      nullptr, const_cast<wchar_t*>(name.c_str()), SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
      nullptr, &cred, &expiry);
  if (status != SEC_E_OK) {
    error = std::string("the system's ") + package + " credentials are not available (" +
            text::HexStatus(static_cast<std::uint32_t>(status)) + ")";
    return nullptr;
  }
  error.clear();
  return std::make_unique<TWinSspiSession>(table, cred, spn);
}

}  // namespace plat
