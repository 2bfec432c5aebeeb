// The scripted socket library. Its procedures keep the sockets and lookups of the script in
// one table under one lock and post their notices like the system: a notice is posted once
// and posted again only after the call that re-enables it (recv for FD_READ).
#include "tests/support/scripted_binding.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/messages.h"
#include "tests/support/test_thread.h"

namespace support {

namespace ws = plat::sock;

struct ScriptedSocket {
  std::uintptr_t window = 0;
  std::uint32_t msg = 0;
  std::int32_t events = 0;
  bool connecting = false;
  bool connected = false;
  std::string inbound;
  std::string sent;
  bool peer_closed = false;
  bool reset = false;
  bool read_posted = false;
  bool close_posted = false;
  int refuse_closes = 0;
  int close_calls = 0;
  int linger_on = 0;
  int linger_seconds = 0;
};

struct ScriptedLookup {
  std::uintptr_t window = 0;
  std::uint32_t msg = 0;
  char* buf = nullptr;
  int buflen = 0;
};

struct ScriptedBinding::State {
  mutable plat::Mutex mu;
  std::map<ws::TSocket, ScriptedSocket> sockets;
  std::map<ws::TSocket, int> closed_calls;  // close calls of sockets that are gone
  std::map<ws::TSocket, std::string> closed_sent;
  ws::TSocket next_socket = 0x40;
  ws::TSocket last = ws::kInvalidSocket;
  std::map<ws::TAsyncHandle, ScriptedLookup> lookups;
  std::vector<ws::TAsyncHandle> lookup_order;
  std::vector<ws::TAsyncHandle> answered;
  ws::TAsyncHandle next_lookup = 0x9000;
  CancelMode cancel_mode = CancelMode::kWorks;
  std::function<void()>* on_close_refused = nullptr;
};

namespace {

ScriptedBinding::State* g_state = nullptr;
thread_local int t_error = 0;

int Fail(int code) {
  t_error = code;
  return ws::kSocketError;
}

void Post(const ScriptedSocket& s, ws::TSocket h, int event, int error) {
  plat::PostMessage(s.window, s.msg, static_cast<plat::WParam>(h),
                    ws::MakeSelectReply(event, error));
}

// Posts what holds now and is enabled: the read notice for waiting bytes, the close notice once
// the bytes before an orderly end are read (a reset at once). With the state's lock held.
void PostHeldConditions(ws::TSocket h, ScriptedSocket& s) {
  if (!s.connected || s.window == 0) return;
  if ((s.events & ws::kFdRead) && !s.read_posted && !s.inbound.empty()) {
    s.read_posted = true;
    Post(s, h, ws::kFdRead, 0);
  }
  if ((s.events & ws::kFdClose) && !s.close_posted &&
      (s.reset || (s.peer_closed && s.inbound.empty()))) {
    s.close_posted = true;
    Post(s, h, ws::kFdClose, s.reset ? WSAECONNRESET : 0);
  }
}

ScriptedSocket* Find(ws::TSocket h) {
  auto it = g_state->sockets.find(h);
  return it == g_state->sockets.end() ? nullptr : &it->second;
}

// --- The procedures -------------------------------------------------------------------------

int VEXLOR_SOCKAPI Impl_WSAStartup(std::uint16_t version, ws::TWSAData* data) {
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "scripted");
  return 0;
}
int VEXLOR_SOCKAPI Impl_WSACleanup() {
  return 0;
}
void VEXLOR_SOCKAPI Impl_WSASetLastError(int e) {
  t_error = e;
}
int VEXLOR_SOCKAPI Impl_WSAGetLastError() {
  return t_error;
}

int VEXLOR_SOCKAPI Impl_WSACancelAsyncRequest(ws::TAsyncHandle h) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  if (g_state->lookups.count(h) != 0) {
    if (g_state->cancel_mode == ScriptedBinding::CancelMode::kWorks) {
      g_state->lookups.erase(h);
      std::erase(g_state->lookup_order, h);
    }
    return 0;
  }
  for (ws::TAsyncHandle a : g_state->answered)
    if (a == h) return Fail(WSAEALREADY);
  return Fail(WSAEINVAL);
}

ws::TAsyncHandle VEXLOR_SOCKAPI Impl_WSAAsyncGetHostByName(std::uintptr_t window, std::uint32_t msg,
                                                           const char*, char* buf, int buflen) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ws::TAsyncHandle h = g_state->next_lookup++;
  g_state->lookups[h] = ScriptedLookup{window, msg, buf, buflen};
  g_state->lookup_order.push_back(h);
  return h;
}

ws::TAsyncHandle VEXLOR_SOCKAPI Impl_WSAAsyncGetHostByAddr(std::uintptr_t, std::uint32_t,
                                                           const char*, int, int, char*, int) {
  t_error = WSAEOPNOTSUPP;
  return 0;
}

int VEXLOR_SOCKAPI Impl_WSAAsyncSelect(ws::TSocket h, std::uintptr_t window, std::uint32_t msg,
                                       std::int32_t events) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  s->window = window;
  s->msg = msg;
  s->events = events;
  if (events == 0) return 0;
  // A new selection reports anew what holds now.
  s->read_posted = false;
  s->close_posted = false;
  if (s->connected && (events & ws::kFdWrite) && !s->reset) Post(*s, h, ws::kFdWrite, 0);
  PostHeldConditions(h, *s);
  return 0;
}

ws::TServEnt* VEXLOR_SOCKAPI Impl_getservbyname(const char*, const char*) {
  t_error = WSANO_DATA;
  return nullptr;
}
ws::TProtoEnt* VEXLOR_SOCKAPI Impl_getprotobyname(const char*) {
  t_error = WSANO_DATA;
  return nullptr;
}
ws::THostEnt* VEXLOR_SOCKAPI Impl_gethostbyname(const char*) {
  t_error = WSAHOST_NOT_FOUND;
  return nullptr;
}
ws::THostEnt* VEXLOR_SOCKAPI Impl_gethostbyaddr(const char*, int, int) {
  t_error = WSANO_DATA;
  return nullptr;
}
int VEXLOR_SOCKAPI Impl_gethostname(char* name, int len) {
  if (name == nullptr || len < 9) return Fail(WSAEFAULT);
  std::strcpy(name, "scripted");
  return 0;
}

ws::TSocket VEXLOR_SOCKAPI Impl_socket(int af, int type, int) {
  if (af != ws::kAfInet || type != ws::kSockStream) return Fail(WSAESOCKTNOSUPPORT);
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ws::TSocket h = g_state->next_socket;
  g_state->next_socket += 4;
  g_state->sockets[h] = ScriptedSocket{};
  g_state->last = h;
  return h;
}

int VEXLOR_SOCKAPI Impl_shutdown(ws::TSocket h, int) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  return Find(h) != nullptr ? 0 : Fail(WSAENOTSOCK);
}

int VEXLOR_SOCKAPI Impl_setsockopt(ws::TSocket h, int level, int name, const char* value, int len) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  if (level == ws::kSolSocket && name == ws::kSoLinger) {
    if (value == nullptr || len < static_cast<int>(sizeof(ws::TLinger))) return Fail(WSAEFAULT);
    ws::TLinger l;
    std::memcpy(&l, value, sizeof l);
    s->linger_on = l.l_onoff;
    s->linger_seconds = l.l_linger;
  }
  return 0;
}

int VEXLOR_SOCKAPI Impl_getsockopt(ws::TSocket h, int, int, char* value, int* len) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  if (Find(h) == nullptr) return Fail(WSAENOTSOCK);
  if (value == nullptr || len == nullptr || *len < 4) return Fail(WSAEFAULT);
  std::int32_t v = 8192;  // the buffer sizes; nothing else is asked
  std::memcpy(value, &v, sizeof v);
  *len = sizeof v;
  return 0;
}

int VEXLOR_SOCKAPI Impl_sendto(ws::TSocket, const char*, int, int, const ws::TSockAddr*, int) {
  return Fail(WSAEOPNOTSUPP);
}

int VEXLOR_SOCKAPI Impl_send(ws::TSocket h, const char* buf, int len, int) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  if (s->reset) return Fail(WSAECONNRESET);
  if (!s->connected) return Fail(WSAENOTCONN);
  s->sent.append(buf, static_cast<std::size_t>(len));
  return len;
}

int VEXLOR_SOCKAPI Impl_recv(ws::TSocket h, char* buf, int len, int flags) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  // Any receive re-enables the read notice.
  s->read_posted = false;
  if (s->reset) return Fail(WSAECONNRESET);
  if (s->inbound.empty()) {
    PostHeldConditions(h, *s);
    return s->peer_closed ? 0 : Fail(WSAEWOULDBLOCK);
  }
  std::size_t n = std::min(s->inbound.size(), static_cast<std::size_t>(len < 0 ? 0 : len));
  std::memcpy(buf, s->inbound.data(), n);
  if ((flags & ws::kMsgPeek) == 0) s->inbound.erase(0, n);
  PostHeldConditions(h, *s);
  return static_cast<int>(n);
}

int VEXLOR_SOCKAPI Impl_recvfrom(ws::TSocket, char*, int, int, ws::TSockAddr*, int*) {
  return Fail(WSAEOPNOTSUPP);
}

std::uint16_t VEXLOR_SOCKAPI Impl_ntohs(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
std::uint16_t VEXLOR_SOCKAPI Impl_htons(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

int VEXLOR_SOCKAPI Impl_listen(ws::TSocket, int) {
  return Fail(WSAEOPNOTSUPP);
}

int VEXLOR_SOCKAPI Impl_ioctlsocket(ws::TSocket h, std::int32_t cmd, std::uint32_t* arg) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  if (arg == nullptr) return Fail(WSAEFAULT);
  if (cmd == ws::kFionRead) {
    *arg = s->reset ? 0 : static_cast<std::uint32_t>(s->inbound.size());
    return 0;
  }
  return cmd == ws::kFionBio ? 0 : Fail(WSAEINVAL);
}

thread_local char t_ntoa[16];

char* VEXLOR_SOCKAPI Impl_inet_ntoa(std::uint32_t in) {
  const auto* b = reinterpret_cast<const unsigned char*>(&in);
  std::snprintf(t_ntoa, sizeof t_ntoa, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return t_ntoa;
}

std::uint32_t VEXLOR_SOCKAPI Impl_inet_addr(const char* text) {
  unsigned v[4];
  char tail;
  if (text == nullptr || std::sscanf(text, "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
    return ws::kInAddrNone;
  std::uint32_t a = 0;
  auto* b = reinterpret_cast<unsigned char*>(&a);
  for (int i = 0; i < 4; ++i) {
    if (v[i] > 255) return ws::kInAddrNone;
    b[i] = static_cast<unsigned char>(v[i]);
  }
  return a;
}

int FakeName(ws::TSocket h, ws::TSockAddr* name, int* len, std::uint16_t port) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  if (Find(h) == nullptr) return Fail(WSAENOTSOCK);
  if (name == nullptr || len == nullptr || *len < static_cast<int>(sizeof(ws::TSockAddrIn)))
    return Fail(WSAEFAULT);
  ws::TSockAddrIn a{};
  a.sin_family = ws::kAfInet;
  a.sin_port = Impl_htons(port);
  a.sin_addr = Impl_inet_addr("127.0.0.1");
  std::memcpy(name, &a, sizeof a);
  *len = sizeof a;
  return 0;
}
int VEXLOR_SOCKAPI Impl_getsockname(ws::TSocket h, ws::TSockAddr* name, int* len) {
  return FakeName(h, name, len, 50000);
}
int VEXLOR_SOCKAPI Impl_getpeername(ws::TSocket h, ws::TSockAddr* name, int* len) {
  return FakeName(h, name, len, 80);
}

int VEXLOR_SOCKAPI Impl_connect(ws::TSocket h, const ws::TSockAddr*, int) {
  std::lock_guard<plat::Mutex> lock(g_state->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) return Fail(WSAENOTSOCK);
  s->connecting = true;
  return Fail(WSAEWOULDBLOCK);  // completed by the script
}

int VEXLOR_SOCKAPI Impl_closesocket(ws::TSocket h) {
  std::function<void()> refused;
  {
    std::lock_guard<plat::Mutex> lock(g_state->mu);
    ScriptedSocket* s = Find(h);
    if (s == nullptr) return Fail(WSAENOTSOCK);
    ++s->close_calls;
    bool abortive = s->linger_on != 0 && s->linger_seconds == 0;
    if (s->refuse_closes > 0 && !abortive) {
      --s->refuse_closes;
      if (g_state->on_close_refused != nullptr) refused = *g_state->on_close_refused;
    } else {
      g_state->closed_calls[h] = s->close_calls;
      g_state->closed_sent[h] = s->sent;
      g_state->sockets.erase(h);
      return 0;
    }
  }
  if (refused) refused();
  return Fail(WSAEWOULDBLOCK);
}

int VEXLOR_SOCKAPI Impl_bind(ws::TSocket, const ws::TSockAddr*, int) {
  return Fail(WSAEOPNOTSUPP);
}
ws::TSocket VEXLOR_SOCKAPI Impl_accept(ws::TSocket, ws::TSockAddr*, int*) {
  return Fail(WSAEOPNOTSUPP);
}
int VEXLOR_SOCKAPI Impl_WSAIoctl(ws::TSocket, std::uint32_t, void*, std::uint32_t, void*,
                                 std::uint32_t, std::uint32_t*, void*, void*) {
  return Fail(WSAEOPNOTSUPP);
}
int VEXLOR_SOCKAPI Impl_GetAddrInfoW(const char16_t*, const char16_t*, const ws::TAddrInfoW*,
                                     ws::TAddrInfoW** result) {
  if (result != nullptr) *result = nullptr;
  t_error = WSANO_RECOVERY;
  return WSANO_RECOVERY;
}
void VEXLOR_SOCKAPI Impl_FreeAddrInfoW(ws::TAddrInfoW*) {}
int VEXLOR_SOCKAPI Impl_GetNameInfoW(const ws::TSockAddr*, int, char16_t*, std::uint32_t, char16_t*,
                                     std::uint32_t, int) {
  t_error = WSANO_RECOVERY;
  return WSANO_RECOVERY;
}

struct ProcEntry {
  const char* library;
  const char* name;
  void* address;
};

// Takes the address only when the procedure has exactly the declared signature (with the
// procedures' calling convention).
template <typename R, typename... A>
void* Checked(R (*)(A...), R(VEXLOR_SOCKAPI* impl)(A...)) {
  return reinterpret_cast<void*>(impl);
}
#define SCRIPTED_PROC(lib, name) \
  { lib, #name, Checked(&ws::name, &Impl_##name) }

const ProcEntry kProcs[] = {
    SCRIPTED_PROC("wsock32.dll", WSAStartup),
    SCRIPTED_PROC("wsock32.dll", WSACleanup),
    SCRIPTED_PROC("wsock32.dll", WSASetLastError),
    SCRIPTED_PROC("wsock32.dll", WSAGetLastError),
    SCRIPTED_PROC("wsock32.dll", WSACancelAsyncRequest),
    SCRIPTED_PROC("wsock32.dll", WSAAsyncGetHostByName),
    SCRIPTED_PROC("wsock32.dll", WSAAsyncGetHostByAddr),
    SCRIPTED_PROC("wsock32.dll", WSAAsyncSelect),
    SCRIPTED_PROC("wsock32.dll", getservbyname),
    SCRIPTED_PROC("wsock32.dll", getprotobyname),
    SCRIPTED_PROC("wsock32.dll", gethostbyname),
    SCRIPTED_PROC("wsock32.dll", gethostbyaddr),
    SCRIPTED_PROC("wsock32.dll", gethostname),
    SCRIPTED_PROC("wsock32.dll", socket),
    SCRIPTED_PROC("wsock32.dll", shutdown),
    SCRIPTED_PROC("wsock32.dll", setsockopt),
    SCRIPTED_PROC("wsock32.dll", getsockopt),
    SCRIPTED_PROC("wsock32.dll", sendto),
    SCRIPTED_PROC("wsock32.dll", send),
    SCRIPTED_PROC("wsock32.dll", recv),
    SCRIPTED_PROC("wsock32.dll", recvfrom),
    SCRIPTED_PROC("wsock32.dll", ntohs),
    SCRIPTED_PROC("wsock32.dll", htons),
    SCRIPTED_PROC("wsock32.dll", listen),
    SCRIPTED_PROC("wsock32.dll", ioctlsocket),
    SCRIPTED_PROC("wsock32.dll", inet_ntoa),
    SCRIPTED_PROC("wsock32.dll", inet_addr),
    SCRIPTED_PROC("wsock32.dll", getsockname),
    SCRIPTED_PROC("wsock32.dll", getpeername),
    SCRIPTED_PROC("wsock32.dll", connect),
    SCRIPTED_PROC("wsock32.dll", closesocket),
    SCRIPTED_PROC("wsock32.dll", bind),
    SCRIPTED_PROC("wsock32.dll", accept),
    SCRIPTED_PROC("ws2_32.dll", WSAIoctl),
    SCRIPTED_PROC("ws2_32.dll", GetAddrInfoW),
    SCRIPTED_PROC("ws2_32.dll", FreeAddrInfoW),
    SCRIPTED_PROC("ws2_32.dll", GetNameInfoW),
    {"ws2_32.dll", "getaddrinfo", Checked(&ws::GetAddrInfoW, &Impl_GetAddrInfoW)},
};
#undef SCRIPTED_PROC

void* StandIn(const char* library, const char* name) {
  for (const ProcEntry& p : kProcs) {
    if (std::strcmp(p.library, library) != 0) continue;
    if (name == nullptr || std::strcmp(p.name, name) == 0) return p.address;
  }
  return nullptr;
}

// Waits (bounded) until no socket user is left, unloads and switches the loader's libraries.
void SwitchLibraries(ws::TSocketLibraryStandIn stand_in) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
      if (ws::SocketInstanceCount() == 0) {
        ws::UnloadSocketLibrary();
        if (ws::SetSocketLibraryStandIn(stand_in)) return;
      }
    }
    // A worker lookup of an earlier test may hold the library for a moment.
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("scripted binding: the socket library is still in use");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

ScriptedBinding::ScriptedBinding() : state_(new State) {
  state_->on_close_refused = &OnCloseRefused;
  g_state = state_;
  try {
    SwitchLibraries(&StandIn);
  } catch (...) {
    g_state = nullptr;
    delete state_;
    throw;
  }
}

ScriptedBinding::~ScriptedBinding() {
  try {
    SwitchLibraries(nullptr);
  } catch (...) {
  }
  g_state = nullptr;
  delete state_;
}

ws::TSocket ScriptedBinding::Last() const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  return state_->last;
}

void ScriptedBinding::CompleteConnect(ws::TSocket h, int error) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr || !s->connecting) throw std::logic_error("no connect under way");
  s->connecting = false;
  if (s->events & ws::kFdConnect) Post(*s, h, ws::kFdConnect, error);
  if (error != 0) return;
  s->connected = true;
  if (s->events & ws::kFdWrite) Post(*s, h, ws::kFdWrite, 0);
  PostHeldConditions(h, *s);
}

void ScriptedBinding::Deliver(ws::TSocket h, const std::string& bytes) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) throw std::logic_error("no such socket");
  s->inbound += bytes;
  PostHeldConditions(h, *s);
}

void ScriptedBinding::PeerCloses(ws::TSocket h) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) throw std::logic_error("no such socket");
  s->peer_closed = true;
  PostHeldConditions(h, *s);
}

void ScriptedBinding::PeerResets(ws::TSocket h) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) throw std::logic_error("no such socket");
  s->reset = true;
  s->peer_closed = true;
  s->inbound.clear();
  PostHeldConditions(h, *s);
}

void ScriptedBinding::RefuseCloses(ws::TSocket h, int times) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  ScriptedSocket* s = Find(h);
  if (s == nullptr) throw std::logic_error("no such socket");
  s->refuse_closes = times;
}

int ScriptedBinding::CloseCalls(ws::TSocket h) const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  auto open = state_->sockets.find(h);
  if (open != state_->sockets.end()) return open->second.close_calls;
  auto gone = state_->closed_calls.find(h);
  return gone == state_->closed_calls.end() ? 0 : gone->second;
}

bool ScriptedBinding::IsOpen(ws::TSocket h) const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  return state_->sockets.count(h) != 0;
}

std::string ScriptedBinding::Sent(ws::TSocket h) const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  auto open = state_->sockets.find(h);
  if (open != state_->sockets.end()) return open->second.sent;
  auto gone = state_->closed_sent.find(h);
  return gone == state_->closed_sent.end() ? std::string() : gone->second;
}

std::pair<int, int> ScriptedBinding::Linger(ws::TSocket h) const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  auto open = state_->sockets.find(h);
  if (open == state_->sockets.end()) return {-1, -1};
  return {open->second.linger_on, open->second.linger_seconds};
}

void ScriptedBinding::SetCancelMode(CancelMode mode) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  state_->cancel_mode = mode;
}

std::vector<ws::TAsyncHandle> ScriptedBinding::Lookups() const {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  return state_->lookup_order;
}

void ScriptedBinding::AnswerLookup(ws::TAsyncHandle h, const std::vector<std::string>& addresses,
                                   int error) {
  std::lock_guard<plat::Mutex> lock(state_->mu);
  auto it = state_->lookups.find(h);
  if (it == state_->lookups.end()) throw std::logic_error("no such lookup");
  ScriptedLookup l = it->second;
  state_->lookups.erase(it);
  std::erase(state_->lookup_order, h);
  state_->answered.push_back(h);
  if (error == 0) {
    // The host entry, every pointer pointing into the caller's buffer, as the system writes it.
    std::size_t n = addresses.size();
    std::size_t need = sizeof(ws::THostEnt) + (n + 2) * sizeof(char*) + 4 * n + 9;
    if (l.buf == nullptr || static_cast<std::size_t>(l.buflen) < need)
      throw std::logic_error("lookup buffer too small");
    auto* he = reinterpret_cast<ws::THostEnt*>(l.buf);
    auto** aliases = reinterpret_cast<char**>(l.buf + sizeof(ws::THostEnt));
    char** list = aliases + 1;
    char* data = reinterpret_cast<char*>(list + n + 1);
    aliases[0] = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t a = Impl_inet_addr(addresses[i].c_str());
      std::memcpy(data, &a, 4);
      list[i] = data;
      data += 4;
    }
    list[n] = nullptr;
    std::strcpy(data, "scripted");
    he->h_name = data;
    he->h_aliases = aliases;
    he->h_addrtype = ws::kAfInet;
    he->h_length = 4;
    he->h_addr_list = list;
  }
  plat::PostMessage(l.window, l.msg, static_cast<plat::WParam>(h), ws::MakeSelectReply(0, error));
}

}  // namespace support
