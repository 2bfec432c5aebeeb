// The socket library binding: loading on first use, start-up, the procedure cache and
// unloading. The backends (platform/posix/sockets.cpp, platform/win32/sockets.cpp) supply the
// libraries themselves through platform/sockets_backend.h.
#include "platform/sockets.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/exceptions.h"
#include "platform/sockets_backend.h"
#include "platform/text.h"

namespace plat::sock {
namespace {

constexpr const char* kBaseLibrary = "wsock32.dll";
constexpr const char* kExtLibrary = "ws2_32.dll";
constexpr const char* kIPv6Library = "wship6.dll";

enum class Lib { kBase, kExt, kIPv6 };

struct ProcSlot {
  const char* name;
  Lib lib;
  std::atomic<void*> address{nullptr};
};

// One slot per procedure; the enumerators index the table.
enum ProcId {
  pWSAStartup,
  pWSACleanup,
  pWSASetLastError,
  pWSAGetLastError,
  pWSACancelAsyncRequest,
  pWSAAsyncGetHostByName,
  pWSAAsyncGetHostByAddr,
  pWSAAsyncSelect,
  pgetservbyname,
  pgetprotobyname,
  pgethostbyname,
  pgethostbyaddr,
  pgethostname,
  psocket,
  pshutdown,
  psetsockopt,
  pgetsockopt,
  psendto,
  psend,
  precv,
  precvfrom,
  pntohs,
  phtons,
  plisten,
  pioctlsocket,
  pinet_ntoa,
  pinet_addr,
  pgetsockname,
  pgetpeername,
  pconnect,
  pclosesocket,
  pbind,
  paccept,
  pWSAIoctl,
  pGetAddrInfoW,
  pFreeAddrInfoW,
  pGetNameInfoW,
  kProcCount
};

ProcSlot g_slots[kProcCount] = {
    {"WSAStartup", Lib::kBase},
    {"WSACleanup", Lib::kBase},
    {"WSASetLastError", Lib::kBase},
    {"WSAGetLastError", Lib::kBase},
    {"WSACancelAsyncRequest", Lib::kBase},
    {"WSAAsyncGetHostByName", Lib::kBase},
    {"WSAAsyncGetHostByAddr", Lib::kBase},
    {"WSAAsyncSelect", Lib::kBase},
    {"getservbyname", Lib::kBase},
    {"getprotobyname", Lib::kBase},
    {"gethostbyname", Lib::kBase},
    {"gethostbyaddr", Lib::kBase},
    {"gethostname", Lib::kBase},
    {"socket", Lib::kBase},
    {"shutdown", Lib::kBase},
    {"setsockopt", Lib::kBase},
    {"getsockopt", Lib::kBase},
    {"sendto", Lib::kBase},
    {"send", Lib::kBase},
    {"recv", Lib::kBase},
    {"recvfrom", Lib::kBase},
    {"ntohs", Lib::kBase},
    {"htons", Lib::kBase},
    {"listen", Lib::kBase},
    {"ioctlsocket", Lib::kBase},
    {"inet_ntoa", Lib::kBase},
    {"inet_addr", Lib::kBase},
    {"getsockname", Lib::kBase},
    {"getpeername", Lib::kBase},
    {"connect", Lib::kBase},
    {"closesocket", Lib::kBase},
    {"bind", Lib::kBase},
    {"accept", Lib::kBase},
    {"WSAIoctl", Lib::kExt},
    {"GetAddrInfoW", Lib::kIPv6},
    {"FreeAddrInfoW", Lib::kIPv6},
    {"GetNameInfoW", Lib::kIPv6},
};

// Process-wide loader state, guarded by the library lock.
struct LoaderState {
  void* base = nullptr;
  void* ext = nullptr;
  void* ipv6 = nullptr;       // the library holding the IPv6 calls (ext or separate)
  void* separate = nullptr;   // "wship6.dll" when it had to be loaded
  std::uint8_t major = 2;     // ReqVerLow
  std::uint8_t minor = 2;     // ReqVerHigh
  std::uint16_t started = 0;  // wVersion of the last successful start-up
  TWSAData startup_data{};
  int instance_count = 0;
};

// Created on first use and never destroyed: sockets may be freed during program end.
LoaderState& State() {
  static LoaderState* state = new LoaderState;
  return *state;
}

// A test's stand-in for the system's libraries; changed only while nothing is loaded, under
// the library lock. A "library" of the stand-in is its file name.
TSocketLibraryStandIn g_stand_in = nullptr;
std::string g_stand_in_error;

void* OpenLibrary(const char* file_name) {
  if (g_stand_in == nullptr) return backend::OpenLibrary(file_name);
  if (g_stand_in(file_name, nullptr) == nullptr) {
    g_stand_in_error = std::string(file_name) + " is not part of the stand-in";
    return nullptr;
  }
  return const_cast<char*>(file_name);
}

void* LibraryProc(void* library, const char* name) {
  if (g_stand_in == nullptr) return backend::LibraryProc(library, name);
  void* p = g_stand_in(static_cast<const char*>(library), name);
  if (p == nullptr) g_stand_in_error = std::string("the stand-in has no ") + name;
  return p;
}

void CloseLibrary(void* library) {
  if (g_stand_in == nullptr) backend::CloseLibrary(library);
}

std::string LastErrorText() {
  return g_stand_in == nullptr ? backend::LastErrorText() : g_stand_in_error;
}

std::string DescribeStartupError(int code) {
  const char* t = SocketErrorText(code);
  return std::string(t ? t : "Not a WinSock error") + " (#" + text::DecimalStr(code) + ")";
}

using StartupFn = int(VEXLOR_SOCKAPI*)(std::uint16_t, TWSAData*);
using CleanupFn = int(VEXLOR_SOCKAPI*)();

void* Lookup(void* library, const char* shown_library, const char* name) {
  void* p = LibraryProc(library, name);
  if (p == nullptr) {
    throw ESocketAPIException(std::string("Procedure ") + name + " not found in " + shown_library +
                              " - " + LastErrorText());
  }
  return p;
}

void* Resolve(ProcId id) {
  ProcSlot& slot = g_slots[id];
  void* p = slot.address.load(std::memory_order_acquire);
  if (p != nullptr) return p;
  switch (slot.lib) {
    case Lib::kBase:
      p = GetWsock32Proc(slot.name);
      break;
    case Lib::kExt:
      p = GetWs2Proc(slot.name);
      break;
    case Lib::kIPv6:
      p = GetIPv6Proc(slot.name);
      break;
  }
  // Written outside the lock: two threads racing on a first call store the same address.
  slot.address.store(p, std::memory_order_release);
  return p;
}

template <typename Fn>
Fn Proc(ProcId id) {
  return reinterpret_cast<Fn>(Resolve(id));
}

void ClearSlots(Lib lib) {
  for (ProcSlot& s : g_slots)
    if (s.lib == lib) s.address.store(nullptr, std::memory_order_release);
}

}  // namespace

TNetCriticalSection& SocketLibraryLock() {
  static TNetCriticalSection* lock = new TNetCriticalSection;
  return *lock;
}

int& SocketInstanceCount() {
  return State().instance_count;
}

void* GetWsock32Proc(const char* Name) {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  LoaderState& st = State();
  if (st.base == nullptr) {
    void* lib = OpenLibrary(kBaseLibrary);
    if (lib == nullptr)
      throw Exception(std::string("Unable to load ") + kBaseLibrary + " - " + LastErrorText());
    // From here on the library counts as loaded, also when the start-up fails: later calls
    // then do not repeat it.
    st.base = lib;
    auto startup = reinterpret_cast<StartupFn>(Lookup(lib, kBaseLibrary, "WSAStartup"));
    std::uint16_t version =
        static_cast<std::uint16_t>(st.major + 256 * static_cast<unsigned>(st.minor));
    std::memset(&st.startup_data, 0, sizeof st.startup_data);
    int r = startup(version, &st.startup_data);
    if (r != 0)
      throw ESocketAPIException(std::string("Winsock startup error ") + kExtLibrary + " - " +
                                DescribeStartupError(r));
    st.started = st.startup_data.wVersion;
  }
  if (Name == nullptr || *Name == '\0') return nullptr;
  return Lookup(st.base, kBaseLibrary, Name);
}

void* GetWs2Proc(const char* Name) {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  LoaderState& st = State();
  if (st.ext == nullptr) {
    GetWsock32Proc("");
    void* lib = OpenLibrary(kExtLibrary);
    if (lib == nullptr)
      throw Exception(std::string("Unable to load ") + kExtLibrary + " - " + LastErrorText());
    st.ext = lib;
  }
  if (Name == nullptr || *Name == '\0') return nullptr;
  return Lookup(st.ext, kExtLibrary, Name);
}

void* GetIPv6Proc(const char* Name) {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  LoaderState& st = State();
  if (st.ipv6 == nullptr) {
    GetWs2Proc("");
    if (LibraryProc(st.ext, "getaddrinfo") != nullptr) {
      st.ipv6 = st.ext;
    } else {
      void* lib = OpenLibrary(kIPv6Library);
      if (lib == nullptr)
        throw Exception(std::string("Unable to load ") + kIPv6Library + " - " + LastErrorText());
      st.separate = lib;
      st.ipv6 = lib;
    }
  }
  if (Name == nullptr || *Name == '\0') return nullptr;
  // The text names the extended library also when the calls come from "wship6.dll".
  return Lookup(st.ipv6, kExtLibrary, Name);
}

bool IsSocketLibraryLoaded() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().base != nullptr;
}

bool IsExtendedLibraryLoaded() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().ext != nullptr;
}

bool IsSeparateIPv6LibraryLoaded() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().separate != nullptr;
}

void UnloadSocketLibrary() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  LoaderState& st = State();
  if (st.base == nullptr || st.instance_count != 0) return;
  if (void* p = LibraryProc(st.base, "WSACleanup")) reinterpret_cast<CleanupFn>(p)();
  if (st.ext != nullptr) {
    CloseLibrary(st.ext);
    st.ext = nullptr;
    st.ipv6 = nullptr;
    ClearSlots(Lib::kExt);
    if (st.separate != nullptr) {
      CloseLibrary(st.separate);
      st.separate = nullptr;
    }
    ClearSlots(Lib::kIPv6);
  }
  CloseLibrary(st.base);
  st.base = nullptr;
  ClearSlots(Lib::kBase);
}

bool SetSocketLibraryStandIn(TSocketLibraryStandIn StandIn) {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  if (State().base != nullptr) return false;
  g_stand_in = StandIn;
  return true;
}

bool SupportsIPv6Api() {
  std::uint8_t major, minor;
  {
    std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
    major = State().major;
    minor = State().minor;
  }
  return minor >= 2 && major >= 2 && backend::OsSupportsIPv6Api();
}

std::uint8_t RequestedVersionMajor() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().major;
}

std::uint8_t RequestedVersionMinor() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().minor;
}

void SetRequestedVersion(std::uint8_t major, std::uint8_t minor) {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  State().major = major;
  State().minor = minor;
}

std::uint16_t StartedVersion() {
  std::lock_guard<TNetCriticalSection> lock(SocketLibraryLock());
  return State().started;
}

const char* SocketErrorText(int code) {
  switch (code) {
    case 0:
      return "No Error";
    case WSAEINTR:
      return "Interrupted system call";
    case WSAEBADF:
      return "Bad file number";
    case WSAEACCES:
      return "Permission denied";
    case WSAEFAULT:
      return "Bad address";
    case WSAEINVAL:
      return "Invalid argument";
    case WSAEMFILE:
      return "Too many open files";
    case WSAEWOULDBLOCK:
      return "Operation would block";
    case WSAEINPROGRESS:
      return "Operation now in progress";
    case WSAEALREADY:
      return "Operation already in progress";
    case WSAENOTSOCK:
      return "Socket operation on non-socket";
    case WSAEDESTADDRREQ:
      return "Destination address required";
    case WSAEMSGSIZE:
      return "Message too long";
    case WSAEPROTOTYPE:
      return "Protocol wrong type for socket";
    case WSAENOPROTOOPT:
      return "Protocol not available";
    case WSAEPROTONOSUPPORT:
      return "Protocol not supported";
    case WSAESOCKTNOSUPPORT:
      return "Socket type not supported";
    case WSAEOPNOTSUPP:
      return "Operation not supported on socket";
    case WSAEPFNOSUPPORT:
      return "Protocol family not supported";
    case WSAEAFNOSUPPORT:
      return "Address family not supported by protocol family";
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEADDRNOTAVAIL:
      return "Address not available";
    case WSAENETDOWN:
      return "Network is down";
    case WSAENETUNREACH:
      return "Network is unreachable";
    case WSAENETRESET:
      return "Network dropped connection on reset";
    case WSAECONNABORTED:
      return "Connection aborted";
    case WSAECONNRESET:
      return "Connection reset by peer";
    case WSAENOBUFS:
      return "No buffer space available";
    case WSAEISCONN:
      return "Socket is already connected";
    case WSAENOTCONN:
      return "Socket is not connected";
    case WSAESHUTDOWN:
      return "Can't send after socket shutdown";
    case WSAETOOMANYREFS:
      return "Too many references: can't splice";
    case WSAETIMEDOUT:
      return "Connection timed out";
    case WSAECONNREFUSED:
      return "Connection refused";
    case WSAELOOP:
      return "Too many levels of symbolic links";
    case WSAENAMETOOLONG:
      return "File name too long";
    case WSAEHOSTDOWN:
      return "Host is down";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSAENOTEMPTY:
      return "Directory not empty";
    case WSAEPROCLIM:
      return "Too many processes";
    case WSAEUSERS:
      return "Too many users";
    case WSAEDQUOT:
      return "Disc quota exceeded";
    case WSAESTALE:
      return "Stale NFS file handle";
    case WSAEREMOTE:
      return "Too many levels of remote in path";
    case WSASYSNOTREADY:
      return "Network sub-system is unusable";
    case WSAVERNOTSUPPORTED:
      return "WinSock DLL cannot support this application";
    case WSANOTINITIALISED:
      return "WinSock not initialized";
    case WSASERVICE_NOT_FOUND:
      return "Service not found";
    case WSAHOST_NOT_FOUND:
      return "Host not found";
    case WSATRY_AGAIN:
      return "Non-authoritative host not found";
    case WSANO_RECOVERY:
      return "Non-recoverable error";
    case WSANO_DATA:
      return "No Data";
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// The procedures: resolve on first call, then call through the cached address.

#define VEXLOR_SOCKET_PROC(ret, name, params, args) \
  ret name params {                                 \
    using Fn = ret(VEXLOR_SOCKAPI*) params;         \
    return Proc<Fn>(p##name) args;                  \
  }

VEXLOR_SOCKET_PROC(int, WSAStartup, (std::uint16_t wVersionRequired, TWSAData* lpWSAData),
                   (wVersionRequired, lpWSAData))
VEXLOR_SOCKET_PROC(int, WSACleanup, (), ())
VEXLOR_SOCKET_PROC(void, WSASetLastError, (int iError), (iError))
VEXLOR_SOCKET_PROC(int, WSAGetLastError, (), ())
VEXLOR_SOCKET_PROC(int, WSACancelAsyncRequest, (TAsyncHandle hAsyncTaskHandle), (hAsyncTaskHandle))
VEXLOR_SOCKET_PROC(TAsyncHandle, WSAAsyncGetHostByName,
                   (std::uintptr_t hWnd, std::uint32_t wMsg, const char* name, char* buf,
                    int buflen),
                   (hWnd, wMsg, name, buf, buflen))
VEXLOR_SOCKET_PROC(TAsyncHandle, WSAAsyncGetHostByAddr,
                   (std::uintptr_t hWnd, std::uint32_t wMsg, const char* addr, int len, int type,
                    char* buf, int buflen),
                   (hWnd, wMsg, addr, len, type, buf, buflen))
VEXLOR_SOCKET_PROC(int, WSAAsyncSelect,
                   (TSocket s, std::uintptr_t hWnd, std::uint32_t wMsg, std::int32_t lEvent),
                   (s, hWnd, wMsg, lEvent))
VEXLOR_SOCKET_PROC(TServEnt*, getservbyname, (const char* name, const char* proto), (name, proto))
VEXLOR_SOCKET_PROC(TProtoEnt*, getprotobyname, (const char* name), (name))
VEXLOR_SOCKET_PROC(THostEnt*, gethostbyname, (const char* name), (name))
VEXLOR_SOCKET_PROC(THostEnt*, gethostbyaddr, (const char* addr, int len, int type),
                   (addr, len, type))
VEXLOR_SOCKET_PROC(int, gethostname, (char* name, int namelen), (name, namelen))
VEXLOR_SOCKET_PROC(TSocket, socket, (int af, int type, int protocol), (af, type, protocol))
VEXLOR_SOCKET_PROC(int, shutdown, (TSocket s, int how), (s, how))
VEXLOR_SOCKET_PROC(int, setsockopt,
                   (TSocket s, int level, int optname, const char* optval, int optlen),
                   (s, level, optname, optval, optlen))
VEXLOR_SOCKET_PROC(int, getsockopt, (TSocket s, int level, int optname, char* optval, int* optlen),
                   (s, level, optname, optval, optlen))
VEXLOR_SOCKET_PROC(int, sendto,
                   (TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen),
                   (s, buf, len, flags, to, tolen))
VEXLOR_SOCKET_PROC(int, send, (TSocket s, const char* buf, int len, int flags),
                   (s, buf, len, flags))
VEXLOR_SOCKET_PROC(int, recv, (TSocket s, char* buf, int len, int flags), (s, buf, len, flags))
VEXLOR_SOCKET_PROC(int, recvfrom,
                   (TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen),
                   (s, buf, len, flags, from, fromlen))
VEXLOR_SOCKET_PROC(std::uint16_t, ntohs, (std::uint16_t netshort), (netshort))
VEXLOR_SOCKET_PROC(std::uint16_t, htons, (std::uint16_t hostshort), (hostshort))
VEXLOR_SOCKET_PROC(int, listen, (TSocket s, int backlog), (s, backlog))
VEXLOR_SOCKET_PROC(int, ioctlsocket, (TSocket s, std::int32_t cmd, std::uint32_t* argp),
                   (s, cmd, argp))
VEXLOR_SOCKET_PROC(char*, inet_ntoa, (std::uint32_t in), (in))
VEXLOR_SOCKET_PROC(std::uint32_t, inet_addr, (const char* cp), (cp))
VEXLOR_SOCKET_PROC(int, getsockname, (TSocket s, TSockAddr* name, int* namelen), (s, name, namelen))
VEXLOR_SOCKET_PROC(int, getpeername, (TSocket s, TSockAddr* name, int* namelen), (s, name, namelen))
VEXLOR_SOCKET_PROC(int, connect, (TSocket s, const TSockAddr* name, int namelen),
                   (s, name, namelen))
VEXLOR_SOCKET_PROC(int, closesocket, (TSocket s), (s))
VEXLOR_SOCKET_PROC(int, bind, (TSocket s, const TSockAddr* addr, int namelen), (s, addr, namelen))
VEXLOR_SOCKET_PROC(TSocket, accept, (TSocket s, TSockAddr* addr, int* addrlen), (s, addr, addrlen))
VEXLOR_SOCKET_PROC(int, WSAIoctl,
                   (TSocket s, std::uint32_t dwIoControlCode, void* lpvInBuffer,
                    std::uint32_t cbInBuffer, void* lpvOutBuffer, std::uint32_t cbOutBuffer,
                    std::uint32_t* lpcbBytesReturned, void* lpOverlapped,
                    void* lpCompletionRoutine),
                   (s, dwIoControlCode, lpvInBuffer, cbInBuffer, lpvOutBuffer, cbOutBuffer,
                    lpcbBytesReturned, lpOverlapped, lpCompletionRoutine))
VEXLOR_SOCKET_PROC(int, GetAddrInfoW,
                   (const char16_t* pNodeName, const char16_t* pServiceName,
                    const TAddrInfoW* pHints, TAddrInfoW** ppResult),
                   (pNodeName, pServiceName, pHints, ppResult))
VEXLOR_SOCKET_PROC(void, FreeAddrInfoW, (TAddrInfoW * pAddrInfo), (pAddrInfo))
VEXLOR_SOCKET_PROC(int, GetNameInfoW,
                   (const TSockAddr* pSockaddr, int SockaddrLength, char16_t* pNodeBuffer,
                    std::uint32_t NodeBufferSize, char16_t* pServiceBuffer,
                    std::uint32_t ServiceBufferSize, int Flags),
                   (pSockaddr, SockaddrLength, pNodeBuffer, NodeBufferSize, pServiceBuffer,
                    ServiceBufferSize, Flags))

#undef VEXLOR_SOCKET_PROC

}  // namespace plat::sock
