// POSIX side of the socket library binding: the Windows Sockets procedures over BSD sockets.
//
// The two "libraries" are built-in procedure tables, loaded and started with the same rules as
// the Windows DLLs. Socket handles are indexes into a handle table, handed out in increasing
// order and never reused, so a notice that was posted for a closed socket never matches a later
// one. Asynchronous selection follows the Windows re-enabling rules on top of the poll sources
// of the message queue: each condition is posted once and re-armed only by the call that
// consumes it (recv for FD_READ, accept for FD_ACCEPT, a send that would block for FD_WRITE);
// connect and close are posted once each, the close of an orderly end only once the bytes
// before it have been read. Datagram sockets get FD_READ and FD_WRITE by the same rules. A
// socket is registered in the epoll set only while something is armed, so a dead connection
// (which epoll reports as hung up for ever) never makes the thread spin.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/queue.h"
#include "platform/sockets_backend.h"
#include "platform/text.h"
#include "platform/thread.h"

// glibc may define these as macros; the procedures below call the functions.
#undef htons
#undef ntohs

namespace plat::posix_sock {
namespace {

using sock::TAddrInfoW;
using sock::TAsyncHandle;
using sock::THostEnt;
using sock::TProtoEnt;
using sock::TServEnt;
using sock::TSockAddr;
using sock::TSocket;
using sock::TWSAData;

thread_local int t_wsa_error = 0;
thread_local std::string t_loader_error;
std::atomic<int> g_startups{0};

int Fail(int code) {
  t_wsa_error = code;
  return sock::kSocketError;
}

template <typename T>
T* FailNull(int code) {
  t_wsa_error = code;
  return nullptr;
}

bool Started() {
  return g_startups.load(std::memory_order_relaxed) > 0;
}

// errno -> Windows Sockets number.
int MapErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAENOTSOCK;
    case EACCES:
      return WSAEACCES;
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
      return WSAEMFILE;
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
      return WSAENOBUFS;
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return WSAEINVAL;
  }
}

// getaddrinfo/getnameinfo result -> Windows Sockets number.
int MapGai(int rc, int saved_errno) {
  switch (rc) {
    case 0:
      return 0;
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE:
      return WSASERVICE_NOT_FOUND;
    case EAI_BADFLAGS:
      return WSAEINVAL;
    case EAI_SYSTEM:
      return MapErrno(saved_errno);
    default:
      return WSANO_RECOVERY;
  }
}

int FamilyToSys(int af) {
  if (af == sock::kAfInet) return AF_INET;
  if (af == sock::kAfInet6) return AF_INET6;
  if (af == sock::kAfUnspec) return AF_UNSPEC;
  return -1;
}

int FamilyFromSys(int af) {
  if (af == AF_INET) return sock::kAfInet;
  if (af == AF_INET6) return sock::kAfInet6;
  return af;
}

// Windows-layout address -> system address. The layouts agree except for the family number.
int AddrToSys(const TSockAddr* a, int len, sockaddr_storage& out, socklen_t& out_len) {
  std::memset(&out, 0, sizeof out);
  if (a == nullptr || len < static_cast<int>(sizeof(std::uint16_t))) return WSAEFAULT;
  if (a->sa_family == sock::kAfInet) {
    if (len < static_cast<int>(sizeof(sock::TSockAddrIn))) return WSAEFAULT;
    const auto* in = reinterpret_cast<const sock::TSockAddrIn*>(a);
    auto* sin = reinterpret_cast<sockaddr_in*>(&out);
    sin->sin_family = AF_INET;
    sin->sin_port = in->sin_port;
    sin->sin_addr.s_addr = in->sin_addr;
    out_len = sizeof(sockaddr_in);
    return 0;
  }
  if (a->sa_family == sock::kAfInet6) {
    if (len < static_cast<int>(sizeof(sock::TSockAddrIn6))) return WSAEFAULT;
    const auto* in6 = reinterpret_cast<const sock::TSockAddrIn6*>(a);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = in6->sin6_port;
    sin6->sin6_flowinfo = in6->sin6_flowinfo;
    std::memcpy(&sin6->sin6_addr, in6->sin6_addr, 16);
    sin6->sin6_scope_id = in6->sin6_scope_id;
    out_len = sizeof(sockaddr_in6);
    return 0;
  }
  return WSAEAFNOSUPPORT;
}

// System address -> Windows layout; WSAEFAULT when the caller's room is too small.
int AddrFromSys(const sockaddr_storage& in, TSockAddr* a, int* len) {
  if (a == nullptr || len == nullptr) return WSAEFAULT;
  if (in.ss_family == AF_INET) {
    if (*len < static_cast<int>(sizeof(sock::TSockAddrIn))) return WSAEFAULT;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&in);
    sock::TSockAddrIn out{};
    out.sin_family = sock::kAfInet;
    out.sin_port = sin->sin_port;
    out.sin_addr = sin->sin_addr.s_addr;
    std::memcpy(a, &out, sizeof out);
    *len = sizeof out;
    return 0;
  }
  if (in.ss_family == AF_INET6) {
    if (*len < static_cast<int>(sizeof(sock::TSockAddrIn6))) return WSAEFAULT;
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&in);
    sock::TSockAddrIn6 out{};
    out.sin6_family = sock::kAfInet6;
    out.sin6_port = sin6->sin6_port;
    out.sin6_flowinfo = sin6->sin6_flowinfo;
    std::memcpy(out.sin6_addr, &sin6->sin6_addr, 16);
    out.sin6_scope_id = sin6->sin6_scope_id;
    std::memcpy(a, &out, sizeof out);
    *len = sizeof out;
    return 0;
  }
  return WSAEAFNOSUPPORT;
}

// A connect that fails at once: the Windows Sockets number, never "would block".
int ConnectError(int e) {
  if (e == EAGAIN || e == EWOULDBLOCK) return WSAENOBUFS;
  int code = MapErrno(e);
  return code == WSAEWOULDBLOCK ? WSAEINVAL : code;
}

int Readable(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// ---------------------------------------------------------------------------------------------
// The handle table and asynchronous selection.

struct Entry final : posix::PollSource {
  int fd = -1;
  TSocket handle = sock::kInvalidSocket;
  int type = SOCK_STREAM;

  plat::Mutex mu;  // guards everything below
  // What WSAAsyncSelect asked for.
  std::uintptr_t window = 0;
  std::uint32_t msg = 0;
  std::int32_t events = 0;
  bool nonblocking = false;
  // Where the descriptor sits in an epoll set.
  bool registered = false;
  std::uintptr_t reg_window = 0;
  std::uint32_t reg_mask = 0;
  // Connection state as this layer sees it.
  bool connecting = false;
  bool connected = false;
  bool listening = false;
  bool peer_closed = false;  // end of stream or reset seen
  bool shut_wr = false;
  int sticky_error = 0;  // a reset: reported by every later recv, as Windows does
  // Re-enabling state of the notices.
  bool read_posted = false;  // FD_READ or FD_ACCEPT posted, waiting for recv or accept
  bool write_armed = false;  // FD_WRITE to post once writable
  bool close_posted = false;
  bool parked = false;  // hung up with nothing to report: out of the epoll set until used

  void OnReady(std::uint32_t ev) override;
  void Post(std::int32_t event, int error) {
    plat::PostMessage(window, msg, static_cast<plat::WParam>(handle),
                      sock::MakeSelectReply(event, error));
  }
  void Update();  // with mu held
};

void Entry::Update() {
  std::uint32_t mask = 0;
  if (events != 0 && window != 0 && !parked) {
    if (type != SOCK_STREAM) {
      // Datagrams: readable once per receive, writable after a refused send.
      if ((events & sock::kFdRead) && !read_posted) mask |= EPOLLIN;
      if ((events & sock::kFdWrite) && write_armed) mask |= EPOLLOUT;
    } else if (connecting) {
      mask |= EPOLLOUT;
    } else if (listening) {
      if ((events & sock::kFdAccept) && !read_posted) mask |= EPOLLIN;
    } else if (connected) {
      // After the end of the stream nothing new can arrive: arm only for bytes still waiting.
      if ((events & sock::kFdRead) && !read_posted && (!peer_closed || Readable(fd) > 0))
        mask |= EPOLLIN;
      if ((events & sock::kFdClose) && !close_posted) mask |= EPOLLRDHUP;
      if ((events & sock::kFdWrite) && write_armed) mask |= EPOLLOUT;
    }
  }
  if (mask == 0) {
    if (registered) {
      posix::RemovePollSource(reg_window, fd);
      registered = false;
    }
    return;
  }
  if (registered && reg_window != window) {
    posix::RemovePollSource(reg_window, fd);
    registered = false;
  }
  if (!registered) {
    if (posix::AddPollSource(window, fd, mask, this)) {
      registered = true;
      reg_window = window;
      reg_mask = mask;
    }
  } else if (mask != reg_mask) {
    if (posix::ModifyPollSource(window, fd, mask, this)) reg_mask = mask;
  }
}

void Entry::OnReady(std::uint32_t ev) {
  std::lock_guard<plat::Mutex> lock(mu);
  if (events == 0 || window == 0) {
    Update();
    return;
  }
  bool posted = false;
  if (type != SOCK_STREAM) {
    // A pending error (an ICMP refusal of an earlier datagram) is read like a datagram.
    if ((ev & (EPOLLIN | EPOLLERR)) && (events & sock::kFdRead) && !read_posted) {
      Post(sock::kFdRead, 0);
      read_posted = true;
    }
    if ((ev & EPOLLOUT) && write_armed && (events & sock::kFdWrite)) {
      Post(sock::kFdWrite, 0);
      write_armed = false;
    }
    Update();
    return;
  }
  if (connecting && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
    int err = PendingError(fd);
    connecting = false;
    if (err == 0) {
      connected = true;
      write_armed = true;  // Windows follows a completed connect with FD_WRITE
      if (events & sock::kFdConnect) Post(sock::kFdConnect, 0);
    } else {
      if (events & sock::kFdConnect) Post(sock::kFdConnect, MapErrno(err));
      ev = 0;  // nothing else to report for a failed connect
    }
    posted = true;
  }
  if (listening) {
    if ((ev & EPOLLIN) && (events & sock::kFdAccept) && !read_posted) {
      Post(sock::kFdAccept, 0);
      read_posted = true;
      posted = true;
    }
  } else if (connected && ev != 0) {
    bool hang = (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    int avail = Readable(fd);
    if ((ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && avail > 0 &&
        (events & sock::kFdRead) && !read_posted) {
      Post(sock::kFdRead, 0);
      read_posted = true;
      posted = true;
    }
    if ((ev & EPOLLIN) && avail == 0) hang = true;  // readable with nothing to read: the end
    if (hang && !peer_closed) {
      peer_closed = true;
      int err = PendingError(fd);
      if (err != 0) sticky_error = MapErrno(err);
    }
    // As on Windows, an orderly close is announced once every byte before it has been read:
    // the receiver drains at its own pace (a paused or throttled one included) and then hears
    // of the end. A reset has nothing more to deliver and is announced at once.
    if (peer_closed && (events & sock::kFdClose) && !close_posted &&
        (sticky_error != 0 || avail == 0)) {
      Post(sock::kFdClose, sticky_error);
      close_posted = true;
      posted = true;
    }
    if (peer_closed && sticky_error != 0) write_armed = false;  // sends fail from now on
    if ((ev & EPOLLOUT) && write_armed && (events & sock::kFdWrite)) {
      Post(sock::kFdWrite, 0);
      write_armed = false;
      posted = true;
    }
  }
  if (!posted && (ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP))) parked = true;
  Update();
}

struct HandleTable {
  plat::Mutex mu;
  std::unordered_map<TSocket, std::shared_ptr<Entry>> map;
  TSocket next = 0x100;
};

// Never destroyed: sockets may be closed during program end.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

std::shared_ptr<Entry> Find(TSocket s) {
  HandleTable& t = Handles();
  std::lock_guard<plat::Mutex> lock(t.mu);
  auto it = t.map.find(s);
  return it == t.map.end() ? nullptr : it->second;
}

TSocket AddEntry(std::shared_ptr<Entry> e) {
  HandleTable& t = Handles();
  std::lock_guard<plat::Mutex> lock(t.mu);
  TSocket h = t.next;
  t.next += 4;
  if (t.next > 0x7ffffff0) t.next = 0x100;  // practically never; handles stay positive
  e->handle = h;
  t.map.emplace(h, std::move(e));
  return h;
}

void SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// ---------------------------------------------------------------------------------------------
// Host entries: the Windows layout packed into one buffer, every pointer pointing inside it.

// Returns the bytes needed; packs only when they fit.
int PackHostEnt(char* buf, int buflen, const std::string& name,
                const std::vector<std::string>& addrs, int addr_len, int addr_type) {
  std::size_t n = addrs.size();
  std::size_t need = sizeof(THostEnt) + sizeof(char*)  // empty alias list
                     + (n + 1) * sizeof(char*)         // address list
                     + n * static_cast<std::size_t>(addr_len) + name.size() + 1;
  if (buf == nullptr || static_cast<std::size_t>(buflen) < need ||
      reinterpret_cast<std::uintptr_t>(buf) % alignof(THostEnt) != 0)
    return static_cast<int>(need);
  auto* he = reinterpret_cast<THostEnt*>(buf);
  auto** aliases = reinterpret_cast<char**>(buf + sizeof(THostEnt));
  auto** list = aliases + 1;
  char* data = reinterpret_cast<char*>(list + n + 1);
  aliases[0] = nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(data, addrs[i].data(), static_cast<std::size_t>(addr_len));
    list[i] = data;
    data += addr_len;
  }
  list[n] = nullptr;
  std::memcpy(data, name.c_str(), name.size() + 1);
  he->h_name = data;
  he->h_aliases = aliases;
  he->h_addrtype = static_cast<std::int16_t>(addr_type);
  he->h_length = static_cast<std::int16_t>(addr_len);
  he->h_addr_list = list;
  return static_cast<int>(need);
}

// Forward lookup of IPv4 addresses, in the order of the system's answer, without repeats.
int ResolveIPv4(const std::string& name, std::string& canonical, std::vector<std::string>& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  int saved = errno;
  if (rc != 0) return MapGai(rc, saved);
  canonical = (res && res->ai_canonname) ? res->ai_canonname : name;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
    std::string a(reinterpret_cast<const char*>(&sin->sin_addr), 4);
    bool seen = false;
    for (const auto& x : out)
      seen |= x == a;
    if (!seen) out.push_back(a);
  }
  ::freeaddrinfo(res);
  return out.empty() ? WSANO_DATA : 0;
}

// Reverse lookup of one address.
int ResolveName(const std::string& addr, int type, std::string& name) {
  sockaddr_storage ss{};
  socklen_t len;
  if (type == sock::kAfInet && addr.size() == 4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    std::memcpy(&sin->sin_addr, addr.data(), 4);
    len = sizeof(sockaddr_in);
  } else if (type == sock::kAfInet6 && addr.size() == 16) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    std::memcpy(&sin6->sin6_addr, addr.data(), 16);
    len = sizeof(sockaddr_in6);
  } else {
    return WSAEFAULT;
  }
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0,
                         NI_NAMEREQD);
  int saved = errno;
  if (rc != 0) return MapGai(rc, saved);
  name = host;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Asynchronous lookups: one resolver thread per request, completion posted to the window.

struct LookupRequest {
  TAsyncHandle handle = 0;
  std::uintptr_t window = 0;
  std::uint32_t msg = 0;
  bool reverse = false;
  std::string name;  // forward: the host name; reverse: the address bytes
  int type = sock::kAfInet;
  char* buf = nullptr;
  int buflen = 0;
  bool cancelled = false;
};

struct Resolver {
  plat::Mutex mu;  // guards pending, completed and every request's cancelled flag and buffer
  std::unordered_map<TAsyncHandle, std::shared_ptr<LookupRequest>> pending;
  std::deque<TAsyncHandle> completed;  // recent answers, so a late cancel reads "already"
  TAsyncHandle next = 0x1000;
};

// Never destroyed: a resolver thread may still finish during program end.
Resolver& Lookups() {
  static Resolver* resolver = new Resolver;
  return *resolver;
}

void RunLookup(std::shared_ptr<LookupRequest> req) {
  std::string name;
  std::vector<std::string> addrs;
  int err;
  if (req->reverse) {
    err = ResolveName(req->name, req->type, name);
    if (err == 0) addrs.push_back(req->name);
  } else {
    err = ResolveIPv4(req->name, name, addrs);
  }
  int reply_len = 0;
  {
    Resolver& r = Lookups();
    std::lock_guard<plat::Mutex> lock(r.mu);
    if (req->cancelled) return;  // the buffer may be gone: never touch it
    if (err == 0) {
      int addr_len = req->reverse && req->type == sock::kAfInet6 ? 16 : 4;
      int need = PackHostEnt(req->buf, req->buflen, name, addrs, addr_len, req->type);
      if (need > req->buflen) {
        err = WSAENOBUFS;
        reply_len = need;
      }
    }
    r.pending.erase(req->handle);
    r.completed.push_back(req->handle);
    if (r.completed.size() > 256) r.completed.pop_front();
  }
  plat::PostMessage(req->window, req->msg, static_cast<plat::WParam>(req->handle),
                    sock::MakeSelectReply(reply_len, err));
}

TAsyncHandle StartLookup(std::shared_ptr<LookupRequest> req) {
  Resolver& r = Lookups();
  {
    std::lock_guard<plat::Mutex> lock(r.mu);
    req->handle = r.next;
    r.next += 4;
    r.pending.emplace(req->handle, req);
  }
  plat::Thread worker;
  if (worker.Start([req] { RunLookup(req); })) {
    worker.Detach();
  } else {
    std::lock_guard<plat::Mutex> lock(r.mu);
    r.pending.erase(req->handle);
    t_wsa_error = WSAENOBUFS;
    return 0;
  }
  return req->handle;
}

// ---------------------------------------------------------------------------------------------
// The procedures.

int Impl_WSAStartup(std::uint16_t wVersionRequired, TWSAData* lpWSAData) {
  unsigned major = wVersionRequired & 0xffu;
  unsigned minor = wVersionRequired >> 8;
  if (major == 0) return WSAVERNOTSUPPORTED;
  if (lpWSAData == nullptr) return WSAEFAULT;
  if (major > 2 || (major == 2 && minor > 2)) {
    major = 2;
    minor = 2;
  }
  std::memset(lpWSAData, 0, sizeof *lpWSAData);
  lpWSAData->wVersion = static_cast<std::uint16_t>(major | (minor << 8));
  lpWSAData->wHighVersion = 0x0202;
  std::strcpy(lpWSAData->szDescription, "BSD sockets");
  std::strcpy(lpWSAData->szSystemStatus, "Running");
  ++g_startups;
  return 0;
}

int Impl_WSACleanup() {
  int n = g_startups.load();
  while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
  }
  if (n <= 0) return Fail(WSANOTINITIALISED);
  return 0;
}

void Impl_WSASetLastError(int iError) {
  t_wsa_error = iError;
}

int Impl_WSAGetLastError() {
  return t_wsa_error;
}

int Impl_WSACancelAsyncRequest(TAsyncHandle h) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  Resolver& r = Lookups();
  std::lock_guard<plat::Mutex> lock(r.mu);
  auto it = r.pending.find(h);
  if (it != r.pending.end()) {
    it->second->cancelled = true;
    r.pending.erase(it);
    return 0;
  }
  for (TAsyncHandle c : r.completed)
    if (c == h) return Fail(WSAEALREADY);
  return Fail(WSAEINVAL);
}

TAsyncHandle Impl_WSAAsyncGetHostByName(std::uintptr_t hWnd, std::uint32_t wMsg, const char* name,
                                        char* buf, int buflen) {
  if (!Started()) {
    t_wsa_error = WSANOTINITIALISED;
    return 0;
  }
  if (name == nullptr || buf == nullptr || buflen <= 0) {
    t_wsa_error = WSAEFAULT;
    return 0;
  }
  auto req = std::make_shared<LookupRequest>();
  req->window = hWnd;
  req->msg = wMsg;
  req->name = name;
  req->buf = buf;
  req->buflen = buflen;
  return StartLookup(std::move(req));
}

TAsyncHandle Impl_WSAAsyncGetHostByAddr(std::uintptr_t hWnd, std::uint32_t wMsg, const char* addr,
                                        int len, int type, char* buf, int buflen) {
  if (!Started()) {
    t_wsa_error = WSANOTINITIALISED;
    return 0;
  }
  if (addr == nullptr || buf == nullptr || buflen <= 0 || len <= 0) {
    t_wsa_error = WSAEFAULT;
    return 0;
  }
  auto req = std::make_shared<LookupRequest>();
  req->window = hWnd;
  req->msg = wMsg;
  req->reverse = true;
  req->name.assign(addr, static_cast<std::size_t>(len));
  req->type = type;
  req->buf = buf;
  req->buflen = buflen;
  return StartLookup(std::move(req));
}

int Impl_WSAAsyncSelect(TSocket s, std::uintptr_t hWnd, std::uint32_t wMsg, std::int32_t lEvent) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  if (lEvent != 0 && !plat::IsWindow(hWnd)) return Fail(WSAEINVAL);
  std::lock_guard<plat::Mutex> lock(e->mu);
  SetNonBlocking(e->fd, true);
  e->nonblocking = true;
  e->window = hWnd;
  e->msg = wMsg;
  e->events = lEvent;
  // Conditions that hold now are reported anew, as a new selection does on Windows.
  e->read_posted = false;
  e->close_posted = false;
  e->parked = false;
  if (e->connected || e->type != SOCK_STREAM) e->write_armed = true;
  e->Update();
  return 0;
}

thread_local struct {
  TServEnt ent;
  servent sys;
  char buf[1024];
} t_serv;

TServEnt* Impl_getservbyname(const char* name, const char* proto) {
  if (!Started()) return FailNull<TServEnt>(WSANOTINITIALISED);
  servent* result = nullptr;
  if (name == nullptr ||
      ::getservbyname_r(name, proto, &t_serv.sys, t_serv.buf, sizeof t_serv.buf, &result) != 0 ||
      result == nullptr) {
    return FailNull<TServEnt>(WSANO_DATA);
  }
  t_serv.ent.s_name = result->s_name;
  t_serv.ent.s_aliases = result->s_aliases;
  t_serv.ent.s_port = static_cast<std::int16_t>(result->s_port);  // network order already
  t_serv.ent.s_proto = result->s_proto;
  return &t_serv.ent;
}

thread_local struct {
  TProtoEnt ent;
  protoent sys;
  char buf[1024];
} t_proto;

TProtoEnt* Impl_getprotobyname(const char* name) {
  if (!Started()) return FailNull<TProtoEnt>(WSANOTINITIALISED);
  protoent* result = nullptr;
  if (name == nullptr ||
      ::getprotobyname_r(name, &t_proto.sys, t_proto.buf, sizeof t_proto.buf, &result) != 0 ||
      result == nullptr) {
    return FailNull<TProtoEnt>(WSANO_DATA);
  }
  t_proto.ent.p_name = result->p_name;
  t_proto.ent.p_aliases = result->p_aliases;
  t_proto.ent.p_proto = static_cast<std::int16_t>(result->p_proto);
  return &t_proto.ent;
}

alignas(THostEnt) thread_local char t_host[2048];

THostEnt* Impl_gethostbyname(const char* name) {
  if (!Started()) return FailNull<THostEnt>(WSANOTINITIALISED);
  if (name == nullptr) return FailNull<THostEnt>(WSAEFAULT);
  std::string canonical;
  std::vector<std::string> addrs;
  int err = ResolveIPv4(name, canonical, addrs);
  if (err != 0) return FailNull<THostEnt>(err);
  if (addrs.size() > 64) addrs.resize(64);
  if (PackHostEnt(t_host, sizeof t_host, canonical, addrs, 4, sock::kAfInet) >
      static_cast<int>(sizeof t_host))
    return FailNull<THostEnt>(WSAENOBUFS);
  return reinterpret_cast<THostEnt*>(t_host);
}

THostEnt* Impl_gethostbyaddr(const char* addr, int len, int type) {
  if (!Started()) return FailNull<THostEnt>(WSANOTINITIALISED);
  if (addr == nullptr || len <= 0) return FailNull<THostEnt>(WSAEFAULT);
  std::string bytes(addr, static_cast<std::size_t>(len));
  std::string name;
  int err = ResolveName(bytes, type, name);
  if (err != 0) return FailNull<THostEnt>(err);
  if (PackHostEnt(t_host, sizeof t_host, name, {bytes}, len, type) >
      static_cast<int>(sizeof t_host))
    return FailNull<THostEnt>(WSAENOBUFS);
  return reinterpret_cast<THostEnt*>(t_host);
}

int Impl_gethostname(char* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  if (::gethostname(name, static_cast<std::size_t>(namelen)) != 0) return Fail(WSAEFAULT);
  name[namelen - 1] = '\0';
  return 0;
}

TSocket Impl_socket(int af, int type, int protocol) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  int family = FamilyToSys(af);
  if (family < 0 || family == AF_UNSPEC) return Fail(WSAEAFNOSUPPORT);
  int sys_type;
  switch (type) {
    case sock::kSockStream:
      sys_type = SOCK_STREAM;
      break;
    case sock::kSockDgram:
      sys_type = SOCK_DGRAM;
      break;
    case sock::kSockRaw:
      sys_type = SOCK_RAW;
      break;
    default:
      return Fail(WSAESOCKTNOSUPPORT);
  }
  int fd = ::socket(family, sys_type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return Fail(MapErrno(errno));
  auto e = std::make_shared<Entry>();
  e->fd = fd;
  e->type = sys_type;
  return AddEntry(std::move(e));
}

int Impl_closesocket(TSocket s) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  std::shared_ptr<Entry> e;
  {
    HandleTable& t = Handles();
    std::lock_guard<plat::Mutex> lock(t.mu);
    auto it = t.map.find(s);
    if (it == t.map.end()) return Fail(WSAENOTSOCK);
    e = std::move(it->second);
    t.map.erase(it);
  }
  std::lock_guard<plat::Mutex> lock(e->mu);
  if (e->registered) {
    posix::RemovePollSource(e->reg_window, e->fd);
    e->registered = false;
  }
  e->events = 0;
  e->window = 0;
  ::close(e->fd);
  e->fd = -1;
  return 0;
}

int Impl_shutdown(TSocket s, int how) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  int sys_how;
  switch (how) {
    case sock::kSdReceive:
      sys_how = SHUT_RD;
      break;
    case sock::kSdSend:
      sys_how = SHUT_WR;
      break;
    case sock::kSdBoth:
      sys_how = SHUT_RDWR;
      break;
    default:
      return Fail(WSAEINVAL);
  }
  if (::shutdown(e->fd, sys_how) != 0) return Fail(MapErrno(errno));
  std::lock_guard<plat::Mutex> lock(e->mu);
  if (how != sock::kSdReceive) e->shut_wr = true;
  return 0;
}

// Option translation: Windows level and name -> system level and name.
bool MapOption(int level, int optname, int& sys_level, int& sys_name) {
  if (level == sock::kSolSocket) {
    sys_level = SOL_SOCKET;
    switch (optname) {
      case sock::kSoReuseAddr:
        sys_name = SO_REUSEADDR;
        return true;
      case sock::kSoKeepAlive:
        sys_name = SO_KEEPALIVE;
        return true;
      case sock::kSoBroadcast:
        sys_name = SO_BROADCAST;
        return true;
      case sock::kSoLinger:
        sys_name = SO_LINGER;
        return true;
      case sock::kSoSndBuf:
        sys_name = SO_SNDBUF;
        return true;
      case sock::kSoRcvBuf:
        sys_name = SO_RCVBUF;
        return true;
      case sock::kSoError:
        sys_name = SO_ERROR;
        return true;
      case sock::kSoType:
        sys_name = SO_TYPE;
        return true;
      case 0x1005:
        sys_name = SO_SNDTIMEO;
        return true;
      case 0x1006:
        sys_name = SO_RCVTIMEO;
        return true;
      default:
        return false;
    }
  }
  if (level == sock::kIpProtoTcp && optname == sock::kTcpNoDelay) {
    sys_level = IPPROTO_TCP;
    sys_name = TCP_NODELAY;
    return true;
  }
  return false;
}

int Impl_setsockopt(TSocket s, int level, int optname, const char* optval, int optlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  int sys_level, sys_name;
  if (!MapOption(level, optname, sys_level, sys_name)) return Fail(WSAENOPROTOOPT);
  if (optval == nullptr) return Fail(WSAEFAULT);
  int r;
  if (sys_name == SO_LINGER && sys_level == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(sock::TLinger))) return Fail(WSAEFAULT);
    sock::TLinger wl;
    std::memcpy(&wl, optval, sizeof wl);
    linger l{wl.l_onoff != 0 ? 1 : 0, wl.l_linger};
    r = ::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else if (sys_level == SOL_SOCKET && (sys_name == SO_SNDTIMEO || sys_name == SO_RCVTIMEO)) {
    if (optlen < 4) return Fail(WSAEFAULT);
    std::uint32_t ms;
    std::memcpy(&ms, optval, sizeof ms);
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    r = ::setsockopt(e->fd, SOL_SOCKET, sys_name, &tv, sizeof tv);
  } else {
    if (optlen < 1) return Fail(WSAEFAULT);
    std::uint32_t v = 0;
    std::memcpy(&v, optval, static_cast<std::size_t>(optlen < 4 ? optlen : 4));
    int iv = static_cast<int>(v);
    if (sys_name == SO_REUSEADDR || sys_name == SO_KEEPALIVE || sys_name == SO_BROADCAST ||
        sys_name == TCP_NODELAY)
      iv = v != 0 ? 1 : 0;
    r = ::setsockopt(e->fd, sys_level, sys_name, &iv, sizeof iv);
  }
  if (r != 0) return Fail(MapErrno(errno));
  return 0;
}

int Impl_getsockopt(TSocket s, int level, int optname, char* optval, int* optlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  int sys_level, sys_name;
  if (!MapOption(level, optname, sys_level, sys_name)) return Fail(WSAENOPROTOOPT);
  if (optval == nullptr || optlen == nullptr) return Fail(WSAEFAULT);
  if (sys_level == SOL_SOCKET && sys_name == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(sock::TLinger))) return Fail(WSAEFAULT);
    linger l{};
    socklen_t len = sizeof l;
    if (::getsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0) return Fail(MapErrno(errno));
    sock::TLinger wl{static_cast<std::uint16_t>(l.l_onoff), static_cast<std::uint16_t>(l.l_linger)};
    std::memcpy(optval, &wl, sizeof wl);
    *optlen = sizeof wl;
    return 0;
  }
  if (*optlen < 4) return Fail(WSAEFAULT);
  int v = 0;
  if (sys_level == SOL_SOCKET && (sys_name == SO_SNDTIMEO || sys_name == SO_RCVTIMEO)) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(e->fd, SOL_SOCKET, sys_name, &tv, &len) != 0) return Fail(MapErrno(errno));
    v = static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
  } else {
    socklen_t len = sizeof v;
    if (::getsockopt(e->fd, sys_level, sys_name, &v, &len) != 0) return Fail(MapErrno(errno));
    if (sys_level == SOL_SOCKET && sys_name == SO_ERROR) {
      std::lock_guard<plat::Mutex> lock(e->mu);
      v = v != 0 ? MapErrno(v) : e->sticky_error;
    } else if (sys_level == SOL_SOCKET && sys_name == SO_TYPE) {
      v = v == SOCK_STREAM  ? sock::kSockStream
          : v == SOCK_DGRAM ? sock::kSockDgram
                            : sock::kSockRaw;
    }
  }
  std::memcpy(optval, &v, sizeof v);
  *optlen = sizeof v;
  return 0;
}

int SendCommon(Entry& e, const char* buf, int len, int flags, const sockaddr* to, socklen_t tolen) {
  if (len < 0) return Fail(WSAEINVAL);
  int sys_flags = MSG_NOSIGNAL | ((flags & sock::kMsgOob) ? MSG_OOB : 0);
  ssize_t n = to ? ::sendto(e.fd, buf, static_cast<std::size_t>(len), sys_flags, to, tolen)
                 : ::send(e.fd, buf, static_cast<std::size_t>(len), sys_flags);
  int err = errno;
  std::lock_guard<plat::Mutex> lock(e.mu);
  e.parked = false;
  if (n >= 0) {
    // The system took only part: like a refusal, it owes a write notice once it has room.
    if (n < len && e.nonblocking) {
      e.write_armed = true;
      e.Update();
    }
    return static_cast<int>(n);
  }
  if (err == EAGAIN || err == EWOULDBLOCK) {
    e.write_armed = true;  // FD_WRITE once the system can take bytes again
    e.Update();
    return Fail(WSAEWOULDBLOCK);
  }
  if (e.sticky_error != 0) return Fail(e.sticky_error);
  if (err == EPIPE) return Fail(e.shut_wr ? WSAESHUTDOWN : WSAECONNRESET);
  if (err == ECONNRESET) e.sticky_error = WSAECONNRESET;
  e.Update();
  return Fail(MapErrno(err));
}

int Impl_send(TSocket s, const char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  return SendCommon(*e, buf, len, flags, nullptr, 0);
}

int Impl_sendto(TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  if (to == nullptr) return SendCommon(*e, buf, len, flags, nullptr, 0);
  sockaddr_storage ss;
  socklen_t sl = 0;
  if (int err = AddrToSys(to, tolen, ss, sl)) return Fail(err);
  return SendCommon(*e, buf, len, flags, reinterpret_cast<sockaddr*>(&ss), sl);
}

int RecvCommon(Entry& e, char* buf, int len, int flags, sockaddr_storage* from) {
  if (len < 0) return Fail(WSAEINVAL);
  int sys_flags =
      ((flags & sock::kMsgPeek) ? MSG_PEEK : 0) | ((flags & sock::kMsgOob) ? MSG_OOB : 0);
  socklen_t fl = sizeof(sockaddr_storage);
  ssize_t n = from ? ::recvfrom(e.fd, buf, static_cast<std::size_t>(len), sys_flags,
                                reinterpret_cast<sockaddr*>(from), &fl)
                   : ::recv(e.fd, buf, static_cast<std::size_t>(len), sys_flags);
  int err = errno;
  std::lock_guard<plat::Mutex> lock(e.mu);
  // Any receive re-enables FD_READ: bytes still waiting are announced again.
  e.read_posted = false;
  e.parked = false;
  if (n < 0 && err == ECONNRESET) e.sticky_error = WSAECONNRESET;
  e.Update();
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    if (len > 0 && e.sticky_error != 0) return Fail(e.sticky_error);
    return 0;
  }
  if ((err == EAGAIN || err == EWOULDBLOCK) && e.sticky_error != 0) return Fail(e.sticky_error);
  if (err == ENOTCONN && e.type == SOCK_STREAM) return Fail(WSAENOTCONN);
  return Fail(MapErrno(err));
}

int Impl_recv(TSocket s, char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  return RecvCommon(*e, buf, len, flags, nullptr);
}

int Impl_recvfrom(TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss{};
  int n = RecvCommon(*e, buf, len, flags, &ss);
  if (n >= 0 && from != nullptr && fromlen != nullptr) {
    if (int err = AddrFromSys(ss, from, fromlen)) return Fail(err);
  }
  return n;
}

std::uint16_t Impl_ntohs(std::uint16_t netshort) {
  return ::ntohs(netshort);
}

std::uint16_t Impl_htons(std::uint16_t hostshort) {
  return ::htons(hostshort);
}

int Impl_listen(TSocket s, int backlog) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  if (::listen(e->fd, backlog) != 0) return Fail(MapErrno(errno));
  std::lock_guard<plat::Mutex> lock(e->mu);
  e->listening = true;
  e->Update();
  return 0;
}

int Impl_ioctlsocket(TSocket s, std::int32_t cmd, std::uint32_t* argp) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == sock::kFionRead) {
    int n = 0;
    if (ioctl(e->fd, FIONREAD, &n) != 0) return Fail(MapErrno(errno));
    *argp = static_cast<std::uint32_t>(n < 0 ? 0 : n);
    return 0;
  }
  if (cmd == sock::kFionBio) {
    std::lock_guard<plat::Mutex> lock(e->mu);
    // As on Windows: a socket with notifications selected cannot be made blocking.
    if (*argp == 0 && e->events != 0) return Fail(WSAEINVAL);
    SetNonBlocking(e->fd, *argp != 0);
    e->nonblocking = *argp != 0;
    return 0;
  }
  return Fail(WSAEINVAL);
}

thread_local char t_ntoa[16];

char* Impl_inet_ntoa(std::uint32_t in) {
  const auto* b = reinterpret_cast<const unsigned char*>(&in);
  std::snprintf(t_ntoa, sizeof t_ntoa, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return t_ntoa;
}

std::uint32_t Impl_inet_addr(const char* cp) {
  if (cp == nullptr) return sock::kInAddrNone;
  return ::inet_addr(cp);
}

int Impl_getsockname(TSocket s, TSockAddr* name, int* namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(e->fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
    return Fail(MapErrno(errno));
  if (int err = AddrFromSys(ss, name, namelen))
    return Fail(err == WSAEAFNOSUPPORT ? WSAEINVAL : err);
  return 0;
}

int Impl_getpeername(TSocket s, TSockAddr* name, int* namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(e->fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
    return Fail(MapErrno(errno));
  if (int err = AddrFromSys(ss, name, namelen)) return Fail(err);
  return 0;
}

int Impl_connect(TSocket s, const TSockAddr* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss;
  socklen_t sl = 0;
  if (int err = AddrToSys(name, namelen, ss, sl)) return Fail(err);
  int r = ::connect(e->fd, reinterpret_cast<sockaddr*>(&ss), sl);
  int err = errno;
  std::lock_guard<plat::Mutex> lock(e->mu);
  if (!e->nonblocking || e->type != SOCK_STREAM) {
    if (r == 0) e->connected = true;
    return r == 0 ? 0 : Fail(ConnectError(err));
  }
  // A non-blocking stream connect always completes through FD_CONNECT, as on Windows; a
  // refusal the system reports at once is delivered the same way.
  if (r == 0 || err == EINPROGRESS) {
    e->connecting = true;
    e->parked = false;
    e->Update();
    return Fail(WSAEWOULDBLOCK);
  }
  if ((err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH) &&
      e->events != 0) {
    if (e->events & sock::kFdConnect) e->Post(sock::kFdConnect, MapErrno(err));
    return Fail(WSAEWOULDBLOCK);
  }
  // Any other refusal is final. EAGAIN here is no "would block": the system found no free local
  // port (or routing entry) and no completion will ever follow; Windows calls that WSAENOBUFS.
  return Fail(ConnectError(err));
}

int Impl_bind(TSocket s, const TSockAddr* addr, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss;
  socklen_t sl = 0;
  if (int err = AddrToSys(addr, namelen, ss, sl)) return Fail(err);
  if (::bind(e->fd, reinterpret_cast<sockaddr*>(&ss), sl) != 0) return Fail(MapErrno(errno));
  return 0;
}

TSocket Impl_accept(TSocket s, TSockAddr* addr, int* addrlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd = ::accept4(e->fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  int err = errno;
  std::uintptr_t window;
  std::uint32_t msg;
  std::int32_t events;
  {
    std::lock_guard<plat::Mutex> lock(e->mu);
    e->read_posted = false;  // accept re-enables FD_ACCEPT
    e->parked = false;
    e->Update();
    window = e->window;
    msg = e->msg;
    events = e->events;
  }
  if (fd < 0) return Fail(MapErrno(err));
  if (addr != nullptr && addrlen != nullptr && AddrFromSys(ss, addr, addrlen) != 0) {
    ::close(fd);
    return Fail(WSAEFAULT);
  }
  auto n = std::make_shared<Entry>();
  n->fd = fd;
  n->type = SOCK_STREAM;
  n->connected = true;
  Entry* raw = n.get();
  TSocket h = AddEntry(std::move(n));
  // The accepted socket inherits the listening socket's selection, as on Windows.
  if (events != 0) {
    std::lock_guard<plat::Mutex> lock(raw->mu);
    SetNonBlocking(fd, true);
    raw->nonblocking = true;
    raw->window = window;
    raw->msg = msg;
    raw->events = events & ~sock::kFdAccept;
    raw->write_armed = true;
    raw->Update();
  }
  return h;
}

int Impl_WSAIoctl(TSocket s, std::uint32_t code, void* in, std::uint32_t in_len, void*,
                  std::uint32_t, std::uint32_t* returned, void*, void*) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  auto e = Find(s);
  if (!e) return Fail(WSAENOTSOCK);
  if (returned != nullptr) *returned = 0;
  if (code == sock::kSioKeepAliveVals) {
    if (in == nullptr || in_len < sizeof(sock::TTcpKeepAlive)) return Fail(WSAEFAULT);
    sock::TTcpKeepAlive ka;
    std::memcpy(&ka, in, sizeof ka);
    int on = ka.onoff != 0 ? 1 : 0;
    if (::setsockopt(e->fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
      return Fail(MapErrno(errno));
    if (on) {
      int idle = static_cast<int>(ka.keepalivetime / 1000);
      int intvl = static_cast<int>(ka.keepaliveinterval / 1000);
      if (idle < 1) idle = 1;
      if (intvl < 1) intvl = 1;
      if (::setsockopt(e->fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
          ::setsockopt(e->fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0)
        return Fail(MapErrno(errno));
    }
    return 0;
  }
  return Fail(WSAEOPNOTSUPP);
}

// UTF-16 <-> UTF-8 for the wide name-resolution calls.
std::string Narrow(const char16_t* s) {
  if (s == nullptr) return {};
  std::u16string_view v(s);
  return text::ToUtf8(v);
}

int Impl_GetAddrInfoW(const char16_t* node, const char16_t* service, const TAddrInfoW* hints,
                      TAddrInfoW** result) {
  if (!Started()) {
    t_wsa_error = WSANOTINITIALISED;
    return WSANOTINITIALISED;
  }
  if (result == nullptr) {
    t_wsa_error = WSAEINVAL;
    return WSAEINVAL;
  }
  *result = nullptr;
  addrinfo sys_hints{};
  if (hints != nullptr) {
    sys_hints.ai_flags = hints->ai_flags & (AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST);
    sys_hints.ai_family = FamilyToSys(hints->ai_family);
    if (sys_hints.ai_family < 0) {
      t_wsa_error = WSAEAFNOSUPPORT;
      return WSAEAFNOSUPPORT;
    }
    sys_hints.ai_socktype = hints->ai_socktype;
    sys_hints.ai_protocol = hints->ai_protocol;
  }
  std::string n = Narrow(node), sv = Narrow(service);
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(node ? n.c_str() : nullptr, service ? sv.c_str() : nullptr,
                         hints ? &sys_hints : nullptr, &res);
  int saved = errno;
  if (rc != 0) {
    int err = MapGai(rc, saved);
    t_wsa_error = err;
    return err;
  }
  TAddrInfoW* head = nullptr;
  TAddrInfoW** tail = &head;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET && p->ai_family != AF_INET6) continue;
    auto* item = new TAddrInfoW{};
    item->ai_flags = p->ai_flags;
    item->ai_family = FamilyFromSys(p->ai_family);
    item->ai_socktype = p->ai_socktype;
    item->ai_protocol = p->ai_protocol;
    auto* sa = new sock::TSockAddrIn6{};
    int len = sizeof *sa;
    sockaddr_storage ss{};
    std::memcpy(&ss, p->ai_addr, p->ai_addrlen);
    AddrFromSys(ss, reinterpret_cast<TSockAddr*>(sa), &len);
    item->ai_addr = reinterpret_cast<TSockAddr*>(sa);
    item->ai_addrlen = static_cast<std::size_t>(len);
    if (p->ai_canonname != nullptr) {
      String c = text::FromUtf8(p->ai_canonname);
      item->ai_canonname = new char16_t[c.size() + 1];
      std::memcpy(item->ai_canonname, c.c_str(), (c.size() + 1) * sizeof(char16_t));
    }
    *tail = item;
    tail = &item->ai_next;
  }
  ::freeaddrinfo(res);
  *result = head;
  return 0;
}

void Impl_FreeAddrInfoW(TAddrInfoW* p) {
  while (p != nullptr) {
    TAddrInfoW* next = p->ai_next;
    delete reinterpret_cast<sock::TSockAddrIn6*>(p->ai_addr);
    delete[] p->ai_canonname;
    delete p;
    p = next;
  }
}

int Impl_GetNameInfoW(const TSockAddr* sa, int salen, char16_t* node, std::uint32_t node_size,
                      char16_t* service, std::uint32_t service_size, int flags) {
  if (!Started()) {
    t_wsa_error = WSANOTINITIALISED;
    return WSANOTINITIALISED;
  }
  sockaddr_storage ss;
  socklen_t sl = 0;
  if (int err = AddrToSys(sa, salen, ss, sl)) {
    t_wsa_error = err;
    return err;
  }
  int sys_flags = 0;
  if (flags & 0x01) sys_flags |= NI_NOFQDN;
  if (flags & sock::kNiNumericHost) sys_flags |= NI_NUMERICHOST;
  if (flags & 0x04) sys_flags |= NI_NAMEREQD;
  if (flags & sock::kNiNumericServ) sys_flags |= NI_NUMERICSERV;
  if (flags & 0x10) sys_flags |= NI_DGRAM;
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), sl, node ? host : nullptr,
                         node ? sizeof host : 0, service ? serv : nullptr,
                         service ? sizeof serv : 0, sys_flags);
  int saved = errno;
  if (rc != 0) {
    int err = MapGai(rc, saved);
    t_wsa_error = err;
    return err;
  }
  auto put = [](char16_t* out, std::uint32_t size, const char* in) {
    String w = text::FromUtf8(in);
    if (w.size() + 1 > size) return false;
    std::memcpy(out, w.c_str(), (w.size() + 1) * sizeof(char16_t));
    return true;
  };
  if ((node && !put(node, node_size, host)) || (service && !put(service, service_size, serv))) {
    t_wsa_error = WSAEFAULT;
    return WSAEFAULT;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The built-in libraries.

struct ProcEntry {
  const char* name;
  void* address;
};

// Takes the procedure's address only when its type is exactly the declared one.
template <typename Declared>
void* Checked(Declared* f) {
  return reinterpret_cast<void*>(f);
}
#define VEXLOR_PROC(name) \
  { #name, Checked < decltype(sock::name)>(&Impl_##name) }

const ProcEntry kBaseProcs[] = {
    VEXLOR_PROC(WSAStartup),
    VEXLOR_PROC(WSACleanup),
    VEXLOR_PROC(WSASetLastError),
    VEXLOR_PROC(WSAGetLastError),
    VEXLOR_PROC(WSACancelAsyncRequest),
    VEXLOR_PROC(WSAAsyncGetHostByName),
    VEXLOR_PROC(WSAAsyncGetHostByAddr),
    VEXLOR_PROC(WSAAsyncSelect),
    VEXLOR_PROC(getservbyname),
    VEXLOR_PROC(getprotobyname),
    VEXLOR_PROC(gethostbyname),
    VEXLOR_PROC(gethostbyaddr),
    VEXLOR_PROC(gethostname),
    VEXLOR_PROC(socket),
    VEXLOR_PROC(shutdown),
    VEXLOR_PROC(setsockopt),
    VEXLOR_PROC(getsockopt),
    VEXLOR_PROC(sendto),
    VEXLOR_PROC(send),
    VEXLOR_PROC(recv),
    VEXLOR_PROC(recvfrom),
    VEXLOR_PROC(ntohs),
    VEXLOR_PROC(htons),
    VEXLOR_PROC(listen),
    VEXLOR_PROC(ioctlsocket),
    VEXLOR_PROC(inet_ntoa),
    VEXLOR_PROC(inet_addr),
    VEXLOR_PROC(getsockname),
    VEXLOR_PROC(getpeername),
    VEXLOR_PROC(connect),
    VEXLOR_PROC(closesocket),
    VEXLOR_PROC(bind),
    VEXLOR_PROC(accept),
};

const ProcEntry kExtProcs[] = {
    VEXLOR_PROC(WSAIoctl),
    VEXLOR_PROC(GetAddrInfoW),
    VEXLOR_PROC(FreeAddrInfoW),
    VEXLOR_PROC(GetNameInfoW),
    {"getaddrinfo", Checked<decltype(sock::GetAddrInfoW)>(&Impl_GetAddrInfoW)},
};
#undef VEXLOR_PROC

struct BuiltinLibrary {
  const char* file_name;
  const ProcEntry* procs;
  std::size_t count;
};

const BuiltinLibrary kLibraries[] = {
    {"wsock32.dll", kBaseProcs, sizeof kBaseProcs / sizeof kBaseProcs[0]},
    {"ws2_32.dll", kExtProcs, sizeof kExtProcs / sizeof kExtProcs[0]},
};

bool SameName(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

}  // namespace
}  // namespace plat::posix_sock

namespace plat::sock::backend {

void* OpenLibrary(const char* file_name) {
  for (const auto& lib : posix_sock::kLibraries) {
    if (posix_sock::SameName(lib.file_name, file_name))
      return const_cast<posix_sock::BuiltinLibrary*>(&lib);
  }
  posix_sock::t_loader_error =
      std::string(file_name) + ": cannot open shared object file: No such file or directory";
  return nullptr;
}

void* LibraryProc(void* library, const char* name) {
  const auto* lib = static_cast<const posix_sock::BuiltinLibrary*>(library);
  for (std::size_t i = 0; i < lib->count; ++i) {
    if (std::strcmp(lib->procs[i].name, name) == 0) return lib->procs[i].address;
  }
  posix_sock::t_loader_error = std::string("undefined symbol: ") + name;
  return nullptr;
}

void CloseLibrary(void*) {}

std::string LastErrorText() {
  return posix_sock::t_loader_error;
}

bool OsSupportsIPv6Api() {
  return true;
}

}  // namespace plat::sock::backend
