// Files, paths and the temporary folder on Win32.
#include "platform/win32/win.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"

namespace plat {
namespace {

thread_local std::uint32_t t_last_error = 0;

std::wstring W(const String& s) {
  return std::wstring(s.begin(), s.end());
}

String S(const wchar_t* p, std::size_t n) {
  return String(p, p + n);
}

bool Fail() {
  t_last_error = ::GetLastError();
  return false;
}

HANDLE H(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

[[noreturn]] void RaiseStreamError(const char* what, const String& path) {
  DWORD err = ::GetLastError();
  throw EStreamError(std::string(what) + " \"" + text::ToUtf8(path) + "\". " +
                     text::ToUtf8(SystemErrorMessage(err)));
}

}  // namespace

char16_t PathDelimiter() {
  return u'\\';
}

String FallbackProgramFolder() {
  return u"c:\\Program Files";
}

String TempFolder() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, buf);
  if (n == 0 || n >= MAX_PATH) return {};
  DWORD need = GetLongPathNameW(buf, nullptr, 0);
  if (need == 0) return {};
  std::vector<wchar_t> longer(need + 1, L'\0');
  DWORD got = GetLongPathNameW(buf, longer.data(), static_cast<DWORD>(longer.size()));
  if (got == 0 || got >= longer.size()) return {};
  return S(longer.data(), got);
}

bool FileExists(const String& path) {
  if (path.empty()) return false;
  DWORD a = GetFileAttributesW(W(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFile(const String& path) {
  return DeleteFileW(W(path).c_str()) != 0 || Fail();
}

bool MoveFileNoReplace(const String& from, const String& to) {
  return MoveFileW(W(from).c_str(), W(to).c_str()) != 0 || Fail();
}

bool MoveFileReplace(const String& from, const String& to) {
  return MoveFileExW(W(from).c_str(), W(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 ||
         Fail();
}

bool MakeExecutable(const String&) {
  return true;
}

String ModuleFileName() {
  std::vector<wchar_t> buf(MAX_PATH);
  while (true) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return S(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::uint32_t LastFileError() {
  return t_last_error;
}

bool IsFileExistsError(std::uint32_t code) {
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

String SystemErrorMessage(std::uint32_t code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  String out;
  if (n != 0 && buf != nullptr) out = S(buf, n);
  if (buf != nullptr) LocalFree(buf);
  while (!out.empty() && (out.back() == u'\r' || out.back() == u'\n' || out.back() == u' '))
    out.pop_back();
  if (out.empty()) out = u"System error " + text::IntToStr(code) + u".";
  return out;
}

TFileStream::TFileStream(const String& path, TFileMode mode) : path_(path) {
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  if (mode == TFileMode::fmCreateNew) {
    access = GENERIC_READ | GENERIC_WRITE;
    share = 0;
    disposition = CREATE_NEW;
  } else if (mode == TFileMode::fmCreateHeld) {
    // DELETE access for the rename through the handle; readers only beside it.
    access = GENERIC_READ | GENERIC_WRITE | DELETE;
    share = FILE_SHARE_READ;
    disposition = CREATE_NEW;
  }
  HANDLE h = CreateFileW(W(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    t_last_error = err;
    throw EFCreateError("Cannot create file \"" + text::ToUtf8(path) + "\". " +
                            text::ToUtf8(SystemErrorMessage(err)),
                        err);
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
}

TFileStream::~TFileStream() {
  Close();
}

void TFileStream::Close() {
  if (handle_ != -1) CloseHandle(H(handle_));
  handle_ = -1;
}

bool TFileStream::RenameHeld(const String& to) {
  // The rename goes through the handle: its share mode lets nobody, the program included, open
  // the file again by name for a rename. The target is an NT path, as the system call wants it.
  const std::wstring target = L"\\??\\" + W(to);
  const DWORD bytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = bytes;
  std::memcpy(info->FileName, target.data(), bytes);
  if (!SetFileInformationByHandle(H(handle_), FileRenameInfo, info,
                                  static_cast<DWORD>(buffer.size())))
    return Fail();
  path_ = to;
  return true;
}

namespace {

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

bool TFileStream::EndWriting() {
  // A handle that may write cannot stay: the system opens a program file for its start sharing
  // reading only, and refuses while a handle with write access exists. And every handle opened
  // while the writing one exists must share writing with it. So the hold passes over two
  // handles: a reading one that shares everything, opened while the writing one still keeps
  // everyone out, then, once the writing one is closed, a reading one that shares reading only.
  // The second open succeeds only if no other handle with write or delete access was opened in
  // the moment between the two (the system checks the share modes of every handle open then),
  // and it must name the same file. What a writer could do and undo inside that moment, a
  // share mode cannot show; it is the least the system's rules allow.
  HANDLE bridge = CreateFileW(W(path_).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (bridge == INVALID_HANDLE_VALUE) return Fail();
  if (!SameFile(bridge, H(handle_))) {
    CloseHandle(bridge);
    SetLastError(ERROR_SHARING_VIOLATION);
    return Fail();
  }
  Close();
  HANDLE held = CreateFileW(W(path_).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD err = held == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  const bool same = held != INVALID_HANDLE_VALUE && SameFile(held, bridge);
  CloseHandle(bridge);
  if (!same) {
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    SetLastError(err == ERROR_SUCCESS ? ERROR_SHARING_VIOLATION : err);
    return Fail();
  }
  handle_ = reinterpret_cast<std::intptr_t>(held);
  return true;
}

std::int32_t TFileStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  DWORD n = 0;
  if (!ReadFile(H(handle_), buffer, static_cast<DWORD>(count), &n, nullptr))
    RaiseStreamError("Cannot read from", path_);
  return static_cast<std::int32_t>(n);
}

std::int32_t TFileStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  DWORD n = 0;
  if (!WriteFile(H(handle_), buffer, static_cast<DWORD>(count), &n, nullptr) ||
      n != static_cast<DWORD>(count)) {
    if (::GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_DISK_FULL);
    RaiseStreamError("Cannot write to", path_);
  }
  return count;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  DWORD method = origin == TSeekOrigin::soBeginning ? FILE_BEGIN
                 : origin == TSeekOrigin::soCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER dist, pos;
  dist.QuadPart = offset;
  if (!SetFilePointerEx(H(handle_), dist, &pos, method)) RaiseStreamError("Cannot seek in", path_);
  return pos.QuadPart;
}

std::int64_t TFileStream::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(handle_), &size)) RaiseStreamError("Cannot read the size of", path_);
  return size.QuadPart;
}

void TFileStream::SetSize(std::int64_t size) {
  std::int64_t pos = Position();
  if (size < 0) size = 0;
  Seek(size, TSeekOrigin::soBeginning);
  if (!SetEndOfFile(H(handle_))) RaiseStreamError("Cannot change the size of", path_);
  Seek(pos < size ? pos : size, TSeekOrigin::soBeginning);
}

}  // namespace plat
