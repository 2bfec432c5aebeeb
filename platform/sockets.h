// The socket library binding: the Windows Sockets procedures the socket component calls,
// loaded on first use and unloaded with the last socket component.
//
// Every procedure below is called exactly like the system procedure of the same name and
// takes and returns the Windows Sockets numbers and structure layouts: address family 2 and
// 23, option levels and names, FIONREAD, the select events FD_READ .. FD_ADDRESS_LIST_CHANGE,
// error codes 10004 .. 11004 through WSAGetLastError.
//
// Win32: "wsock32.dll", "ws2_32.dll" and, only when the extended library lacks "getaddrinfo",
// "wship6.dll" are loaded with LoadLibraryW; each procedure is resolved with GetProcAddress on
// its first call and its address cached. Nothing links a socket library.
// POSIX: the same procedures over BSD sockets, provided by two built-in procedure tables that
// are "loaded" and "started" with the same rules, so the reference count, the version rule and
// the failure texts behave alike. WSAAsyncSelect is built on the poll sources of the thread
// that owns the target window (platform/posix/queue.h) with the Windows re-enabling rules;
// WSAAsyncGetHostByName runs getaddrinfo on a resolver thread and posts its completion. Socket
// handles are never reused while the process runs, so a notice posted for a closed socket can
// never be taken for one of a later socket.
//
// Threads: the loader state is guarded by SocketLibraryLock(); the cached procedure addresses
// are read without it. A socket handle given to WSAAsyncSelect is used (recv, send,
// closesocket) on the thread that owns the window it notifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sync.h"

// The calling convention of the Windows Sockets procedures (WSAAPI): stdcall on 32-bit
// Windows; the POSIX procedure tables and a stand-in's procedures use it too.
#if defined(_WIN32) && defined(__i386__)
#define VEXLOR_SOCKAPI __attribute__((stdcall))
#else
#define VEXLOR_SOCKAPI
#endif

// The Windows Sockets error numbers. <windows.h> defines the same names as macros with the
// same values; then these are left out and the macros serve.
#ifndef WSAEINTR
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSASERVICE_NOT_FOUND = 10108;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
#endif

namespace plat::sock {

// A socket handle; kInvalidSocket when there is none.
using TSocket = std::intptr_t;
constexpr TSocket kInvalidSocket = -1;
constexpr int kSocketError = -1;
// The handle of an asynchronous lookup; 0 when none could be started.
using TAsyncHandle = std::uintptr_t;

// Address families, socket types, protocols (Windows numbers).
constexpr int kAfUnspec = 0;
constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;
constexpr int kSockRaw = 3;
constexpr int kIpProtoIp = 0;
constexpr int kIpProtoTcp = 6;
constexpr int kIpProtoUdp = 17;
constexpr int kIpProtoRaw = 255;

// Option levels and names.
constexpr int kSolSocket = 0xffff;
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSoLinger = 0x0080;
constexpr int kSoSndBuf = 0x1001;
constexpr int kSoRcvBuf = 0x1002;
constexpr int kSoError = 0x1007;
constexpr int kSoType = 0x1008;
constexpr int kTcpNoDelay = 0x0001;

// ioctlsocket commands and WSAIoctl codes.
constexpr std::int32_t kFionRead = 0x4004667F;
constexpr std::int32_t kFionBio = static_cast<std::int32_t>(0x8004667Eu);
constexpr std::uint32_t kSioKeepAliveVals = 0x98000004u;

// send/recv flags, shutdown directions.
constexpr int kMsgOob = 1;
constexpr int kMsgPeek = 2;
constexpr int kSdReceive = 0;
constexpr int kSdSend = 1;
constexpr int kSdBoth = 2;

// WSAAsyncSelect events; the notice's lParam carries one of them in its low word and the
// error code in its high word; wParam is the socket handle.
constexpr std::int32_t kFdRead = 1;
constexpr std::int32_t kFdWrite = 2;
constexpr std::int32_t kFdOob = 4;
constexpr std::int32_t kFdAccept = 8;
constexpr std::int32_t kFdConnect = 16;
constexpr std::int32_t kFdClose = 32;
constexpr std::int32_t kFdRoutingInterfaceChange = 256;
constexpr std::int32_t kFdAddressListChange = 512;

// Size of a host-entry buffer that always suffices for WSAAsyncGetHostByName.
constexpr int kMaxGetHostStruct = 1024;

constexpr std::uint32_t kInAddrNone = 0xffffffffu;
constexpr std::uint32_t kInAddrAny = 0;

// Structures, laid out as the 32-bit Windows Sockets declare them.
struct TSockAddr {
  std::uint16_t sa_family;
  char sa_data[14];
};
struct TSockAddrIn {
  std::uint16_t sin_family;
  std::uint16_t sin_port;  // network order
  std::uint32_t sin_addr;  // network order
  std::uint8_t sin_zero[8];
};
struct TSockAddrIn6 {
  std::uint16_t sin6_family;
  std::uint16_t sin6_port;  // network order
  std::uint32_t sin6_flowinfo;
  std::uint8_t sin6_addr[16];
  std::uint32_t sin6_scope_id;
};
static_assert(sizeof(TSockAddrIn) == 16 && sizeof(TSockAddrIn6) == 28);

struct TLinger {
  std::uint16_t l_onoff;
  std::uint16_t l_linger;  // seconds
};
struct TTcpKeepAlive {
  std::uint32_t onoff;
  std::uint32_t keepalivetime;      // milliseconds
  std::uint32_t keepaliveinterval;  // milliseconds
};
struct THostEnt {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;  // null-terminated; each entry h_length bytes, network order
};
// 64-bit Windows orders some fields differently (its declarations keep pointers together).
struct TServEnt {
  char* s_name;
  char** s_aliases;
#if defined(_WIN64)
  char* s_proto;
  std::int16_t s_port;  // network order
#else
  std::int16_t s_port;  // network order
  char* s_proto;
#endif
};
struct TProtoEnt {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};
struct TAddrInfoW {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  std::size_t ai_addrlen;
  char16_t* ai_canonname;
  TSockAddr* ai_addr;
  TAddrInfoW* ai_next;
};
struct TWSAData {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
#if defined(_WIN64)
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
#else
  char szDescription[257];
  char szSystemStatus[129];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
#endif
};

constexpr int kAiPassive = 0x01;
constexpr int kAiCanonName = 0x02;
constexpr int kAiNumericHost = 0x04;
constexpr int kNiNumericHost = 0x02;
constexpr int kNiNumericServ = 0x08;

// ---------------------------------------------------------------------------------------------
// The procedures. Failures return kSocketError (or a null pointer, or 0 for a lookup handle)
// and leave the code for WSAGetLastError.

// From the base library "wsock32.dll".
int WSAStartup(std::uint16_t wVersionRequired, TWSAData* lpWSAData);
int WSACleanup();
void WSASetLastError(int iError);
int WSAGetLastError();
int WSACancelAsyncRequest(TAsyncHandle hAsyncTaskHandle);
TAsyncHandle WSAAsyncGetHostByName(std::uintptr_t hWnd, std::uint32_t wMsg, const char* name,
                                   char* buf, int buflen);
TAsyncHandle WSAAsyncGetHostByAddr(std::uintptr_t hWnd, std::uint32_t wMsg, const char* addr,
                                   int len, int type, char* buf, int buflen);
int WSAAsyncSelect(TSocket s, std::uintptr_t hWnd, std::uint32_t wMsg, std::int32_t lEvent);
TServEnt* getservbyname(const char* name, const char* proto);
TProtoEnt* getprotobyname(const char* name);
THostEnt* gethostbyname(const char* name);
THostEnt* gethostbyaddr(const char* addr, int len, int type);
int gethostname(char* name, int namelen);
TSocket socket(int af, int type, int protocol);
int shutdown(TSocket s, int how);
int setsockopt(TSocket s, int level, int optname, const char* optval, int optlen);
int getsockopt(TSocket s, int level, int optname, char* optval, int* optlen);
int sendto(TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen);
int send(TSocket s, const char* buf, int len, int flags);
int recv(TSocket s, char* buf, int len, int flags);
int recvfrom(TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen);
std::uint16_t ntohs(std::uint16_t netshort);
std::uint16_t htons(std::uint16_t hostshort);
int listen(TSocket s, int backlog);
int ioctlsocket(TSocket s, std::int32_t cmd, std::uint32_t* argp);
char* inet_ntoa(std::uint32_t in);  // the address in network order
std::uint32_t inet_addr(const char* cp);
int getsockname(TSocket s, TSockAddr* name, int* namelen);
int getpeername(TSocket s, TSockAddr* name, int* namelen);
int connect(TSocket s, const TSockAddr* name, int namelen);
int closesocket(TSocket s);
int bind(TSocket s, const TSockAddr* addr, int namelen);
TSocket accept(TSocket s, TSockAddr* addr, int* addrlen);

// From the extended library "ws2_32.dll".
int WSAIoctl(TSocket s, std::uint32_t dwIoControlCode, void* lpvInBuffer, std::uint32_t cbInBuffer,
             void* lpvOutBuffer, std::uint32_t cbOutBuffer, std::uint32_t* lpcbBytesReturned,
             void* lpOverlapped, void* lpCompletionRoutine);

// From the IPv6 library (the extended library, or "wship6.dll").
int GetAddrInfoW(const char16_t* pNodeName, const char16_t* pServiceName, const TAddrInfoW* pHints,
                 TAddrInfoW** ppResult);
void FreeAddrInfoW(TAddrInfoW* pAddrInfo);
int GetNameInfoW(const TSockAddr* pSockaddr, int SockaddrLength, char16_t* pNodeBuffer,
                 std::uint32_t NodeBufferSize, char16_t* pServiceBuffer,
                 std::uint32_t ServiceBufferSize, int Flags);

// ---------------------------------------------------------------------------------------------
// Loaders and queries.

// Each loads (and for the base library starts) what it needs first and returns the address
// of Name, or nullptr when Name is empty. Failures raise Exception ("Unable to load ...") or
// ESocketAPIException ("Winsock startup error ...", "Procedure ... not found in ...").
void* GetWsock32Proc(const char* Name);
void* GetWs2Proc(const char* Name);
void* GetIPv6Proc(const char* Name);

// The process-wide lock around loading, unloading and SocketInstanceCount.
TNetCriticalSection& SocketLibraryLock();
// Number of socket components alive; change it only under SocketLibraryLock().
int& SocketInstanceCount();

bool IsSocketLibraryLoaded();
// Frees the libraries and forgets every cached address, only when the base library is loaded
// and SocketInstanceCount() is exactly 0.
void UnloadSocketLibrary();
// Whether the IPv6 name-resolution procedures may be used (Windows: NT 5.1 or later with a
// requested version of at least 2.2; POSIX: the same version rule).
bool SupportsIPv6Api();

// A stand-in for the system's socket libraries, for tests: the loader asks it instead of the
// system for the procedures of "wsock32.dll", "ws2_32.dll" and "wship6.dll" (by those names),
// and it answers with the procedure's address or nullptr when that library has none (asked
// with a null name, with anything but nullptr when it provides the library at all). Every
// procedure has the system's signature and the VEXLOR_SOCKAPI calling convention. Installed
// (or removed with nullptr) only while the library is unloaded; false otherwise.
using TSocketLibraryStandIn = void* (*)(const char* library, const char* name);
bool SetSocketLibraryStandIn(TSocketLibraryStandIn StandIn);

// The version asked for at start-up: major (low byte of the word) and minor (high byte).
std::uint8_t RequestedVersionMajor();
std::uint8_t RequestedVersionMinor();
void SetRequestedVersion(std::uint8_t major, std::uint8_t minor);
// The version the last successful start-up agreed on (wVersion), 0 before any.
std::uint16_t StartedVersion();

// State of the optional libraries, for diagnostics and tests.
bool IsExtendedLibraryLoaded();
bool IsSeparateIPv6LibraryLoaded();

// The description text of a socket error code, or nullptr when the code is not one of the
// Windows Sockets errors the components know.
const char* SocketErrorText(int code);

// WSAMAKESELECTREPLY / WSAGETSELECTEVENT / WSAGETSELECTERROR and the lookup reply's error.
inline std::intptr_t MakeSelectReply(int event, int error) {
  return static_cast<std::intptr_t>((static_cast<std::uint32_t>(error) << 16) |
                                    (static_cast<std::uint32_t>(event) & 0xffffu));
}
inline int SelectEvent(std::intptr_t lparam) {
  return static_cast<int>(static_cast<std::uint32_t>(lparam) & 0xffffu);
}
inline int SelectError(std::intptr_t lparam) {
  return static_cast<int>((static_cast<std::uint32_t>(lparam) >> 16) & 0xffffu);
}

}  // namespace plat::sock
