// The scripted loopback server. It talks to the socket library through the same binding as the
// components (platform/sockets.h), with non-blocking sockets polled in short steps, so every
// wait can end at its deadline or when the server stops.
#include "tests/support/scripted_server.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/sockets.h"
#include "tests/support/test_thread.h"

namespace support {
namespace {

namespace ws = plat::sock;
using Clock = plat::SteadyClock;

void Nap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The server is a user of the socket library like a socket component: it keeps it loaded.
void AddLibraryUser() {
  std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
  ++ws::SocketInstanceCount();
}

void RemoveLibraryUser() {
  std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
  if (--ws::SocketInstanceCount() <= 0) ws::UnloadSocketLibrary();
}

void SetNonBlocking(ws::TSocket s) {
  std::uint32_t on = 1;
  ws::ioctlsocket(s, ws::kFionBio, &on);
}

ws::TSocket OpenListener(bool ipv6, std::uint16_t& port) {
  ws::TSocket s = ws::socket(ipv6 ? ws::kAfInet6 : ws::kAfInet, ws::kSockStream, ws::kIpProtoTcp);
  if (s == ws::kInvalidSocket)
    throw std::runtime_error("scripted server: socket failed, error " +
                             std::to_string(ws::WSAGetLastError()));
  ws::TSockAddrIn6 addr{};
  int len;
  if (ipv6) {
    addr.sin6_family = ws::kAfInet6;
    addr.sin6_addr[15] = 1;  // ::1
    len = sizeof addr;
  } else {
    ws::TSockAddrIn in{};
    in.sin_family = ws::kAfInet;
    in.sin_addr = ws::inet_addr("127.0.0.1");
    std::memcpy(&addr, &in, sizeof in);
    len = sizeof in;
  }
  if (ws::bind(s, reinterpret_cast<ws::TSockAddr*>(&addr), len) != 0 || ws::listen(s, 16) != 0) {
    int e = ws::WSAGetLastError();
    ws::closesocket(s);
    throw std::runtime_error("scripted server: bind/listen failed, error " + std::to_string(e));
  }
  ws::TSockAddrIn6 bound{};
  int blen = sizeof bound;
  ws::getsockname(s, reinterpret_cast<ws::TSockAddr*>(&bound), &blen);
  port = ws::ntohs(bound.sin6_port);
  SetNonBlocking(s);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ServerScript

ServerScript& ServerScript::Send(std::string bytes) {
  steps_.push_back({Op::kSend, std::move(bytes)});
  return *this;
}
ServerScript& ServerScript::Pause(int ms) {
  steps_.push_back({Op::kPause, {}, 0, ms});
  return *this;
}
ServerScript& ServerScript::ReadBytes(std::size_t count) {
  steps_.push_back({Op::kReadBytes, {}, count});
  return *this;
}
ServerScript& ServerScript::ReadUntil(std::string marker) {
  steps_.push_back({Op::kReadUntil, std::move(marker)});
  return *this;
}
ServerScript& ServerScript::WaitPeerClose() {
  steps_.push_back({Op::kWaitPeerClose});
  return *this;
}
ServerScript& ServerScript::WaitSignal() {
  steps_.push_back({Op::kWaitSignal});
  return *this;
}
ServerScript& ServerScript::Notify(int id) {
  steps_.push_back({Op::kNotify, {}, static_cast<std::size_t>(id)});
  return *this;
}
ServerScript& ServerScript::ShutdownSend() {
  steps_.push_back({Op::kShutdownSend});
  return *this;
}
ServerScript& ServerScript::Close() {
  steps_.push_back({Op::kClose});
  return *this;
}
ServerScript& ServerScript::Reset() {
  steps_.push_back({Op::kReset});
  return *this;
}

// ---------------------------------------------------------------------------------------------
// ScriptedServer

ScriptedServer::ScriptedServer(std::vector<ServerScript> scripts, bool ipv6)
    : scripts_(std::move(scripts)) {
  AddLibraryUser();
  try {
    listener_ = OpenListener(ipv6, port_);
  } catch (...) {
    RemoveLibraryUser();
    throw;
  }
  received_.resize(scripts_.size());
  endings_.resize(scripts_.size(), PeerEnd::kNotSeen);
  finished_ = scripts_.empty();
  thread_ = support::TestThread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<plat::Mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  ws::closesocket(listener_);
  RemoveLibraryUser();
}

bool ScriptedServer::Stopping() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return stop_;
}

void ScriptedServer::AddError(std::string line) {
  std::lock_guard<plat::Mutex> lock(mu_);
  errors_.push_back(std::move(line));
}

void ScriptedServer::Run() {
  for (std::size_t index = 0;; ++index) {
    ws::TSocket s = ws::kInvalidSocket;
    while (!Stopping()) {
      s = ws::accept(listener_, nullptr, nullptr);
      if (s != ws::kInvalidSocket) break;
      Nap();
    }
    if (s == ws::kInvalidSocket) return;
    SetNonBlocking(s);
    {
      std::lock_guard<plat::Mutex> lock(mu_);
      ++accepted_;
    }
    bool open = true;
    if (index < scripts_.size()) {
      for (const auto& step : scripts_[index].Steps()) {
        bool ok = PlayStep(index, static_cast<std::intptr_t>(s), step);
        if (step.op == ServerScript::Op::kClose || step.op == ServerScript::Op::kReset)
          open = false;
        if (!ok || Stopping()) break;
      }
    }
    if (open) {
      ws::shutdown(s, ws::kSdSend);
      ws::closesocket(s);
    }
    if (index + 1 == scripts_.size()) {
      std::lock_guard<plat::Mutex> lock(mu_);
      finished_ = true;
      cv_.notify_all();
    }
  }
}

bool ScriptedServer::ReadSome(std::size_t index, std::intptr_t s, bool& closed, bool& reset) {
  char buf[65536];
  int n = ws::recv(static_cast<ws::TSocket>(s), buf, sizeof buf, 0);
  if (n > 0) {
    std::lock_guard<plat::Mutex> lock(mu_);
    received_[index].append(buf, static_cast<std::size_t>(n));
    return true;
  }
  if (n == 0) {
    closed = true;
    return true;
  }
  int e = ws::WSAGetLastError();
  if (e == WSAEWOULDBLOCK) return false;
  if (e == WSAECONNRESET || e == WSAECONNABORTED) {
    reset = true;
    return true;
  }
  AddError("connection " + std::to_string(index) + ": recv failed with " + std::to_string(e));
  closed = true;
  return true;
}

bool ScriptedServer::PlayStep(std::size_t index, std::intptr_t sock,
                              const ServerScript::Step& step) {
  using Op = ServerScript::Op;
  const auto s = static_cast<ws::TSocket>(sock);
  const auto deadline = Clock::now() + std::chrono::milliseconds(step_timeout_ms_);
  auto timed_out = [&](const char* what) {
    AddError("connection " + std::to_string(index) + ": " + what + " timed out");
    return false;
  };
  switch (step.op) {
    case Op::kSend: {
      std::size_t done = 0;
      while (done < step.data.size()) {
        int n = ws::send(s, step.data.data() + done, static_cast<int>(step.data.size() - done), 0);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
          continue;
        }
        int e = ws::WSAGetLastError();
        if (e != WSAEWOULDBLOCK) {
          AddError("connection " + std::to_string(index) + ": send failed with " +
                   std::to_string(e));
          return false;
        }
        if (Stopping()) return false;
        if (Clock::now() > deadline) return timed_out("send");
        Nap();
      }
      return true;
    }
    case Op::kPause: {
      auto until = Clock::now() + std::chrono::milliseconds(step.ms);
      while (Clock::now() < until && !Stopping())
        Nap();
      return true;
    }
    case Op::kReadBytes:
    case Op::kReadUntil:
    case Op::kWaitPeerClose: {
      std::size_t target = 0;
      if (step.op == Op::kReadBytes) {
        std::lock_guard<plat::Mutex> lock(mu_);
        target = received_[index].size() + step.count;
      }
      auto satisfied = [&] {
        std::lock_guard<plat::Mutex> lock(mu_);
        if (step.op == Op::kReadBytes) return received_[index].size() >= target;
        if (step.op == Op::kReadUntil) return received_[index].find(step.data) != std::string::npos;
        return false;
      };
      for (;;) {
        if (satisfied()) return true;
        bool closed = false, reset = false;
        bool progress = ReadSome(index, sock, closed, reset);
        if (closed || reset) {
          std::lock_guard<plat::Mutex> lock(mu_);
          endings_[index] = reset ? PeerEnd::kReset : PeerEnd::kOrderly;
          if (step.op == Op::kWaitPeerClose) return true;
        }
        if (closed || reset) {
          if (satisfied()) return true;
          AddError("connection " + std::to_string(index) + ": peer ended before the read");
          return false;
        }
        if (progress) continue;
        if (Stopping()) return false;
        if (Clock::now() > deadline) return timed_out("read");
        Nap();
      }
    }
    case Op::kWaitSignal: {
      std::unique_lock<plat::Mutex> lock(mu_);
      if (!plat::WaitUntil(cv_, lock, deadline, [&] { return stop_ || signals_ > 0; })) {
        lock.unlock();
        return timed_out("wait for signal");
      }
      if (stop_) return false;
      --signals_;
      return true;
    }
    case Op::kNotify: {
      std::lock_guard<plat::Mutex> lock(mu_);
      notified_.push_back(static_cast<int>(step.count));
      cv_.notify_all();
      return true;
    }
    case Op::kShutdownSend:
      ws::shutdown(s, ws::kSdSend);
      return true;
    case Op::kClose: {
      // Whatever already arrived is captured, so an orderly close does not become a reset.
      bool closed = false, reset = false;
      while (ReadSome(index, sock, closed, reset) && !closed && !reset) {
      }
      ws::shutdown(s, ws::kSdSend);
      ws::closesocket(s);
      return true;
    }
    case Op::kReset: {
      ws::TLinger l{1, 0};
      ws::setsockopt(s, ws::kSolSocket, ws::kSoLinger, reinterpret_cast<const char*>(&l), sizeof l);
      ws::closesocket(s);
      return true;
    }
  }
  return false;
}

bool ScriptedServer::WaitFinished(int timeout_ms) {
  std::unique_lock<plat::Mutex> lock(mu_);
  return plat::WaitFor(cv_, lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_; });
}

bool ScriptedServer::WaitNotified(int id, int timeout_ms) {
  std::unique_lock<plat::Mutex> lock(mu_);
  return plat::WaitFor(cv_, lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (int n : notified_)
      if (n == id) return true;
    return false;
  });
}

void ScriptedServer::Signal() {
  {
    std::lock_guard<plat::Mutex> lock(mu_);
    ++signals_;
  }
  cv_.notify_all();
}

int ScriptedServer::AcceptedCount() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return accepted_;
}

std::string ScriptedServer::Received(std::size_t index) const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return index < received_.size() ? received_[index] : std::string();
}

PeerEnd ScriptedServer::PeerEnding(std::size_t index) const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return index < endings_.size() ? endings_[index] : PeerEnd::kNotSeen;
}

std::vector<std::string> ScriptedServer::Errors() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return errors_;
}

std::uint16_t UnusedLoopbackPort() {
  AddLibraryUser();
  std::uint16_t port = 0;
  try {
    ws::closesocket(OpenListener(false, port));
  } catch (...) {
    RemoveLibraryUser();
    throw;
  }
  RemoveLibraryUser();
  return port;
}

}  // namespace support
