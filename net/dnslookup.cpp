// Worker-thread name lookups and address text.
#include "net/dnslookup.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "net/wsocket.h"
#include "platform/thread.h"

namespace {

// Keeps the socket library loaded while a worker uses it, without unloading afterwards.
struct LibraryUse {
  LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(plat::sock::SocketLibraryLock());
    ++plat::sock::SocketInstanceCount();
  }
  ~LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(plat::sock::SocketLibraryLock());
    --plat::sock::SocketInstanceCount();
  }
};

int SysFamilyFor(int family) {
  switch (family) {
    case sfIPv4:
      return plat::sock::kAfInet;
    case sfIPv6:
      return plat::sock::kAfInet6;
    default:
      return plat::sock::kAfUnspec;
  }
}

}  // namespace

struct TNetAsyncDnsLookup::Impl {
  plat::Mutex mu;
  plat::ConditionVariable cv;
  std::vector<plat::sock::TAsyncHandle> queue;  // oldest first; a handful at most
  // Every request not yet taken or dropped. Handles only grow, so appending keeps the list
  // sorted by handle and a lookup is a binary search.
  using TEntry = std::pair<plat::sock::TAsyncHandle, std::shared_ptr<TNetAsyncDnsLookupRequest>>;
  std::vector<TEntry> all;

  std::vector<TEntry>::iterator Find(plat::sock::TAsyncHandle h) {
    auto it =
        std::lower_bound(all.begin(), all.end(), h,
                         [](const TEntry& e, plat::sock::TAsyncHandle k) { return e.first < k; });
    return it != all.end() && it->first == h ? it : all.end();
  }
  void Erase(plat::sock::TAsyncHandle h) {
    auto it = Find(h);
    if (it != all.end()) all.erase(it);
  }
  plat::sock::TAsyncHandle next = 0x10000;
  int workers = 0;
  int idle = 0;
};

TNetAsyncDnsLookup& TNetAsyncDnsLookup::Instance() {
  // Never destroyed: a worker may still be inside a lookup when the program ends.
  static TNetAsyncDnsLookup* pool = [] {
    auto* p = new TNetAsyncDnsLookup;
    p->impl_ = new Impl;
    return p;
  }();
  return *pool;
}

plat::sock::TAsyncHandle TNetAsyncDnsLookup::Submit(
    std::shared_ptr<TNetAsyncDnsLookupRequest> Request, int& error) {
  if (!plat::sock::SupportsIPv6Api()) {
    error = WSAVERNOTSUPPORTED;
    return 0;
  }
  Impl& d = *impl_;
  std::unique_lock<plat::Mutex> lock(d.mu);
  plat::sock::TAsyncHandle h = d.next++;
  Request->State = lrsNone;
  d.all.emplace_back(h, std::move(Request));
  d.queue.push_back(h);
  unsigned max_workers = plat::ProcessorCount();
  if (d.idle == 0 && d.workers < static_cast<int>(max_workers)) {
    plat::Thread worker;
    bool started = false;
    try {
      started = worker.Start([this] { WorkerLoop(); });
    } catch (const std::exception&) {  // no memory for the thread's start
    }
    if (started) {
      worker.Detach();
      ++d.workers;
    } else {  // no thread: the workers there are take the request, if there are any
      if (d.workers == 0) {
        d.queue.pop_back();
        d.all.pop_back();
        error = WSAENOBUFS;
        return 0;
      }
    }
  }
  d.cv.notify_one();
  error = 0;
  return h;
}

int TNetAsyncDnsLookup::Cancel(plat::sock::TAsyncHandle Handle) {
  Impl& d = *impl_;
  std::lock_guard<plat::Mutex> lock(d.mu);
  auto it = d.Find(Handle);
  if (it == d.all.end()) return WSAEINVAL;
  auto& req = it->second;
  if (req->State == lrsAlready) {
    // Too late: the answer is posted already. Nobody will take it now (the owner forgets the
    // handle, and a purged answer never arrives), so it goes here.
    d.all.erase(it);
    return WSAEALREADY;
  }
  if (req->State == lrsNone) {
    for (auto q = d.queue.begin(); q != d.queue.end(); ++q) {
      if (*q == Handle) {
        d.queue.erase(q);
        break;
      }
    }
    d.all.erase(it);
    return 0;
  }
  req->Cancelled = true;  // the worker drops it when done
  return 0;
}

std::shared_ptr<TNetAsyncDnsLookupRequest> TNetAsyncDnsLookup::Take(
    plat::sock::TAsyncHandle Handle) {
  Impl& d = *impl_;
  std::lock_guard<plat::Mutex> lock(d.mu);
  auto it = d.Find(Handle);
  if (it == d.all.end() || it->second->State != lrsAlready) return nullptr;
  auto req = std::move(it->second);
  d.all.erase(it);
  return req;
}

std::size_t TNetAsyncDnsLookup::HeldCount() {
  Impl& d = *impl_;
  std::lock_guard<plat::Mutex> lock(d.mu);
  return d.all.size();
}

void TNetAsyncDnsLookup::WorkerLoop() {
  Impl& d = *impl_;
  std::unique_lock<plat::Mutex> lock(d.mu);
  for (;;) {
    ++d.idle;
    bool woke =
        plat::WaitFor(d.cv, lock, std::chrono::seconds(60), [&] { return !d.queue.empty(); });
    --d.idle;
    if (!woke) {
      --d.workers;
      return;
    }
    plat::sock::TAsyncHandle h = d.queue.front();
    d.queue.erase(d.queue.begin());
    std::shared_ptr<TNetAsyncDnsLookupRequest> req = d.Find(h)->second;
    req->State = lrsInWork;
    TNetAsyncDnsLookupRequest work = *req;
    lock.unlock();
    Resolve(work);
    lock.lock();
    if (req->Cancelled) {
      d.Erase(h);
      continue;
    }
    req->Results = std::move(work.Results);
    req->Error = work.Error;
    req->State = lrsAlready;
    plat::WindowHandle window = req->Window;
    std::uint32_t msg = req->MsgId;
    int err = req->Error;
    lock.unlock();
    if (!plat::PostMessage(window, msg, static_cast<plat::WParam>(h),
                           plat::sock::MakeSelectReply(0, err))) {
      Take(h);  // nobody will collect it
    }
    lock.lock();
  }
}

void TNetAsyncDnsLookup::Resolve(TNetAsyncDnsLookupRequest& Request) {
  Request.Results.clear();
  Request.Error = 0;
  try {
    LibraryUse use;
    if (Request.Reverse) {
      std::string a = text::UnicodeToAnsi(Request.Name);
      plat::sock::TSockAddrIn6 sa{};
      int len;
      std::uint8_t v6[16];
      std::uint32_t v4 = plat::sock::inet_addr(a.c_str());
      if (IsDottedIPv4(a) && v4 != plat::sock::kInAddrNone) {
        plat::sock::TSockAddrIn sin{};
        sin.sin_family = plat::sock::kAfInet;
        sin.sin_addr = v4;
        std::memcpy(&sa, &sin, sizeof sin);
        len = sizeof sin;
      } else if (ParseIPv6(a, v6)) {
        sa.sin6_family = plat::sock::kAfInet6;
        std::memcpy(sa.sin6_addr, v6, 16);
        len = sizeof sa;
      } else {
        Request.Error = WSAEINVAL;
        return;
      }
      char16_t host[1025];
      int rc = plat::sock::GetNameInfoW(reinterpret_cast<plat::sock::TSockAddr*>(&sa), len, host,
                                        1025, nullptr, 0, 0x04 /* NI_NAMEREQD */);
      if (rc != 0) {
        Request.Error = rc;
        return;
      }
      Request.Results.emplace_back(host);
      return;
    }
    plat::sock::TAddrInfoW hints{};
    hints.ai_family = SysFamilyFor(Request.Family);
    hints.ai_protocol = Request.Protocol;
    hints.ai_socktype = Request.Protocol == plat::sock::kIpProtoUdp ? plat::sock::kSockDgram
                                                                    : plat::sock::kSockStream;
    plat::sock::TAddrInfoW* res = nullptr;
    int rc = plat::sock::GetAddrInfoW(Request.Name.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
      Request.Error = rc;
      return;
    }
    std::vector<String> v4, v6;
    for (auto* p = res; p != nullptr; p = p->ai_next) {
      if (p->ai_addr == nullptr) continue;
      plat::sock::TSockAddrIn6 sa{};
      std::memcpy(&sa, p->ai_addr, std::min<std::size_t>(p->ai_addrlen, sizeof sa));
      String t = SockAddrToText(sa);
      if (t.empty()) continue;
      auto& list = p->ai_family == plat::sock::kAfInet ? v4 : v6;
      bool seen = false;
      for (const auto& x : list)
        seen |= x == t;
      if (!seen) list.push_back(t);
      if (Request.Family == sfAny && !seen) Request.Results.push_back(t);
    }
    plat::sock::FreeAddrInfoW(res);
    if (Request.Family == sfAnyIPv6 || Request.Family == sfIPv6) {
      Request.Results = v6;
      if (Request.Family == sfAnyIPv6)
        Request.Results.insert(Request.Results.end(), v4.begin(), v4.end());
    } else if (Request.Family == sfAnyIPv4 || Request.Family == sfIPv4) {
      Request.Results = v4;
      if (Request.Family == sfAnyIPv4)
        Request.Results.insert(Request.Results.end(), v6.begin(), v6.end());
    }
    if (Request.Results.empty()) Request.Error = WSANO_DATA;
  } catch (const std::exception&) {
    Request.Error = WSANOTINITIALISED;
  }
}

// ---------------------------------------------------------------------------------------------
// Address text.

String IPv4ToText(std::uint32_t AddrNetworkOrder) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&AddrNetworkOrder);
  String s;
  for (int i = 0; i < 4; ++i) {
    if (i) s += u'.';
    s += text::IntToStr(b[i]);
  }
  return s;
}

bool ParseIPv6(std::string_view t, std::uint8_t (&Out)[16]) {
  std::uint16_t words[8] = {};
  int n = 0, gap = -1;
  std::size_t i = 0;
  if (t.size() < 2) return false;
  if (t[0] == ':') {
    if (t[1] != ':') return false;
    gap = 0;
    i = 2;
    if (i == t.size()) {
      std::memset(Out, 0, 16);
      return true;
    }
  }
  while (i < t.size()) {
    if (n >= 8) return false;
    // An embedded dotted IPv4 tail takes the last two words.
    std::size_t end = t.find(':', i);
    std::string_view part = t.substr(i, end == std::string_view::npos ? t.size() - i : end - i);
    if (part.find('.') != std::string_view::npos) {
      if (end != std::string_view::npos || n > 6) return false;
      if (!IsDottedIPv4(part)) return false;
      unsigned v[4] = {}, k = 0;
      for (char c : part) {
        if (c == '.') {
          ++k;
        } else {
          v[k] = v[k] * 10 + static_cast<unsigned>(c - '0');
        }
      }
      if (k != 3) return false;
      words[n++] = static_cast<std::uint16_t>((v[0] << 8) | v[1]);
      words[n++] = static_cast<std::uint16_t>((v[2] << 8) | v[3]);
      i = t.size();
      break;
    }
    if (part.empty() || part.size() > 4) return false;
    unsigned w = 0;
    for (char c : part) {
      if (!text::IsHexDigit(static_cast<char16_t>(c))) return false;
      w = w * 16 + static_cast<unsigned>(text::HexValue(static_cast<char16_t>(c)));
    }
    words[n++] = static_cast<std::uint16_t>(w);
    if (end == std::string_view::npos) {
      i = t.size();
      break;
    }
    i = end + 1;
    if (i < t.size() && t[i] == ':') {
      if (gap >= 0) return false;
      gap = n;
      ++i;
      if (i == t.size()) break;
    } else if (i == t.size()) {
      return false;  // a trailing single colon
    }
  }
  if (gap < 0 && n != 8) return false;
  if (gap >= 0 && n >= 8) return false;
  std::uint16_t full[8] = {};
  if (gap < 0) {
    std::memcpy(full, words, sizeof full);
  } else {
    for (int k = 0; k < gap; ++k)
      full[k] = words[k];
    int tail = n - gap;
    for (int k = 0; k < tail; ++k)
      full[8 - tail + k] = words[gap + k];
  }
  for (int k = 0; k < 8; ++k) {
    Out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
    Out[2 * k + 1] = static_cast<std::uint8_t>(full[k] & 0xff);
  }
  return true;
}

bool IsIPv6Literal(std::string_view Text) {
  std::uint8_t a[16];
  return ParseIPv6(Text, a);
}

String IPv6ToText(const std::uint8_t (&Addr)[16]) {
  std::uint16_t w[8];
  for (int k = 0; k < 8; ++k)
    w[k] = static_cast<std::uint16_t>((Addr[2 * k] << 8) | Addr[2 * k + 1]);
  int best = -1, best_len = 0;
  for (int k = 0; k < 8;) {
    if (w[k] != 0) {
      ++k;
      continue;
    }
    int j = k;
    while (j < 8 && w[j] == 0)
      ++j;
    if (j - k > best_len && j - k >= 2) {
      best = k;
      best_len = j - k;
    }
    k = j;
  }
  static const char16_t kHex[] = u"0123456789abcdef";
  String s;
  for (int k = 0; k < 8; ++k) {
    if (k == best) {
      s += u"::";
      k += best_len - 1;
      continue;
    }
    if (!s.empty() && s.back() != u':') s += u':';
    bool lead = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned d = (w[k] >> shift) & 0xf;
      if (d == 0 && lead && shift != 0) continue;
      lead = false;
      s += kHex[d];
    }
  }
  return s;
}

String SockAddrToText(const plat::sock::TSockAddrIn6& Sa) {
  if (Sa.sin6_family == plat::sock::kAfInet) {
    plat::sock::TSockAddrIn sin;
    std::memcpy(&sin, &Sa, sizeof sin);
    return IPv4ToText(sin.sin_addr);
  }
  if (Sa.sin6_family == plat::sock::kAfInet6) {
    std::uint8_t a[16];
    std::memcpy(a, Sa.sin6_addr, 16);
    return IPv6ToText(a);
  }
  return String();
}
