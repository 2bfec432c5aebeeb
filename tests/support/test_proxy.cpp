// The loopback test proxies: an HTTP proxy with scripted authentication and refusals, and a
// SOCKS 4/4A/5 server. Plain blocking-style code over the socket library binding, one thread
// per connection, every wait bounded.
#include "tests/support/test_proxy.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/md5.h"
#include "platform/sockets.h"
#include "tests/support/test_thread.h"

namespace support {
namespace {

namespace ws = plat::sock;
using Clock = std::chrono::steady_clock;

void Nap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void SetNonBlocking(ws::TSocket s) {
  std::uint32_t on = 1;
  ws::ioctlsocket(s, ws::kFionBio, &on);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  return true;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode64(const std::string& in) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                 static_cast<unsigned char>(in[i + 1]) << 8 | static_cast<unsigned char>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6)
      out += kB64[v >> k & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kB64[v >> 18 & 63];
    out += kB64[v >> 12 & 63];
    out += i + 1 < in.size() ? kB64[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Decode64(const std::string& in) {
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : in) {
    const char* p = std::strchr(kB64, c);
    if (c == '=' || c == 0 || p == nullptr) break;
    v = v << 6 | static_cast<unsigned>(p - kB64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(v >> bits & 0xff);
    }
  }
  return out;
}

// The value of a field of a request header ("" when absent); the first one.
std::string Field(const std::string& header, const std::string& name) {
  std::size_t pos = header.find("\r\n");
  while (pos != std::string::npos && pos + 2 < header.size()) {
    const std::size_t start = pos + 2;
    const std::size_t end = header.find("\r\n", start);
    const std::string line = header.substr(start, end - start);
    if (StartsNoCase(line, name + ":")) {
      std::string v = line.substr(name.size() + 1);
      while (!v.empty() && v.front() == ' ')
        v.erase(0, 1);
      return v;
    }
    pos = end;
  }
  return std::string();
}

// key=value and key="value" pairs of a Digest authorization.
std::map<std::string, std::string> DigestParams(std::string s) {
  std::map<std::string, std::string> r;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == ','))
      ++i;
    std::size_t eq = s.find('=', i);
    if (eq == std::string::npos) break;
    std::string key = s.substr(i, eq - i);
    for (char& c : key)
      c = Lower(c);
    i = eq + 1;
    std::string value;
    if (i < s.size() && s[i] == '"') {
      std::size_t close = s.find('"', i + 1);
      if (close == std::string::npos) break;
      value = s.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      std::size_t comma = s.find(',', i);
      value = s.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
      while (!value.empty() && value.back() == ' ')
        value.pop_back();
      i = comma == std::string::npos ? s.size() : comma;
    }
    r[key] = value;
  }
  return r;
}

// Digest's hex is lower case.
std::string Md5Hex(const std::string& s) {
  std::string hex = plat::DigestToHex(plat::MD5(s));
  for (char& c : hex)
    c = Lower(c);
  return hex;
}

const char kDigestRealm[] = "vexlor-test";
const char kDigestNonce[] = "dcd98b7102dd2f0e8b11d0f600bfb0c093";

// An NTLM challenge (type 2) with server challenge 0123456789abcdef and a target
// information block naming the domain "TEST".
std::string NtlmChallenge() {
  std::string info;
  auto av = [&](int id, const std::string& utf16) {
    info += static_cast<char>(id & 0xff);
    info += static_cast<char>(id >> 8);
    info += static_cast<char>(utf16.size() & 0xff);
    info += static_cast<char>(utf16.size() >> 8);
    info += utf16;
  };
  av(2, std::string("T\0E\0S\0T\0", 8));
  av(0, "");
  auto le16 = [](std::string& o, unsigned v) {
    o += static_cast<char>(v & 0xff);
    o += static_cast<char>(v >> 8 & 0xff);
  };
  auto le32 = [&](std::string& o, unsigned v) {
    le16(o, v & 0xffff);
    le16(o, v >> 16);
  };
  std::string m("NTLMSSP\0", 8);
  le32(m, 2);
  le16(m, 0), le16(m, 0), le32(m, 48);  // target name: empty
  le32(m, 0x00898205u);                 // unicode, NTLM, target info, extended security
  m += std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
  m += std::string(8, '\0');
  le16(m, static_cast<unsigned>(info.size()));
  le16(m, static_cast<unsigned>(info.size()));
  le32(m, 48);
  return m + info;
}

std::string Answer(int status, const std::string& phrase, const std::string& fields,
                   const std::string& body, bool close) {
  return "HTTP/1.1 " + std::to_string(status) + " " + phrase + "\r\n" + fields +
         "Content-Length: " + std::to_string(body.size()) + "\r\n" +
         (close ? "Connection: close\r\n" : "") + "\r\n" + body;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The common part.

LoopbackProxyBase::LoopbackProxyBase() {
  {
    std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
    ++ws::SocketInstanceCount();
  }
  ws::TSocket s = ws::socket(ws::kAfInet, ws::kSockStream, ws::kIpProtoTcp);
  ws::TSockAddrIn in{};
  in.sin_family = ws::kAfInet;
  in.sin_addr = ws::inet_addr("127.0.0.1");
  if (s == ws::kInvalidSocket ||
      ws::bind(s, reinterpret_cast<ws::TSockAddr*>(&in), sizeof in) != 0 || ws::listen(s, 16) != 0)
    throw std::runtime_error("test proxy: cannot listen, error " +
                             std::to_string(ws::WSAGetLastError()));
  ws::TSockAddrIn bound{};
  int len = sizeof bound;
  ws::getsockname(s, reinterpret_cast<ws::TSockAddr*>(&bound), &len);
  port_ = ws::ntohs(bound.sin_port);
  SetNonBlocking(s);
  listener_ = static_cast<std::intptr_t>(s);
}

LoopbackProxyBase::~LoopbackProxyBase() {
  Stop();
  std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
  if (--ws::SocketInstanceCount() <= 0) ws::UnloadSocketLibrary();
}

void LoopbackProxyBase::Start() {
  accept_thread_ = support::TestThread([this] { AcceptLoop(); });
}

void LoopbackProxyBase::Stop() {
  if (listener_ == -1) return;
  stop_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  for (support::TestThread& t : workers_)
    t.join();
  workers_.clear();
  CloseSocket(listener_);
  listener_ = -1;
}

void LoopbackProxyBase::AcceptLoop() {
  while (!Stopping()) {
    ws::TSocket s = ws::accept(static_cast<ws::TSocket>(listener_), nullptr, nullptr);
    if (s == ws::kInvalidSocket) {
      Nap();
      continue;
    }
    SetNonBlocking(s);
    std::lock_guard<plat::Mutex> lock(mu_);
    if (accepted_ >= kMaxConnections) {
      errors_.push_back("too many connections");
      ws::closesocket(s);
      continue;
    }
    ++accepted_;
    const auto handle = static_cast<std::intptr_t>(s);
    workers_.emplace_back([this, handle] {
      Serve(handle);
      CloseSocket(handle);
    });
  }
}

void LoopbackProxyBase::MapHost(const std::string& name, const std::string& loopback_address) {
  std::lock_guard<plat::Mutex> lock(mu_);
  hosts_[name] = loopback_address;
}

int LoopbackProxyBase::AcceptedCount() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return accepted_;
}

std::vector<std::string> LoopbackProxyBase::Errors() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return errors_;
}

void LoopbackProxyBase::AddError(std::string line) {
  std::lock_guard<plat::Mutex> lock(mu_);
  errors_.push_back(std::move(line));
}

void LoopbackProxyBase::CloseSocket(std::intptr_t s) {
  ws::shutdown(static_cast<ws::TSocket>(s), ws::kSdSend);
  ws::closesocket(static_cast<ws::TSocket>(s));
}

bool LoopbackProxyBase::ReadUntil(std::intptr_t s, std::string& bytes, const std::string& marker,
                                  std::size_t limit) {
  auto last = Clock::now();
  char buf[4096];
  while (bytes.find(marker) == std::string::npos) {
    if (bytes.size() > limit || Stopping()) return false;
    const int n = ws::recv(static_cast<ws::TSocket>(s), buf, sizeof buf, 0);
    if (n > 0) {
      bytes.append(buf, static_cast<std::size_t>(n));
      last = Clock::now();
      continue;
    }
    if (n == 0 || ws::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (Clock::now() - last > std::chrono::milliseconds(idle_limit_ms_)) return false;
    Nap();
  }
  return true;
}

bool LoopbackProxyBase::ReadExactly(std::intptr_t s, std::string& bytes, std::size_t count) {
  auto last = Clock::now();
  char buf[512];
  while (count > 0) {
    if (Stopping()) return false;
    const int want = static_cast<int>(count < sizeof buf ? count : sizeof buf);
    const int n = ws::recv(static_cast<ws::TSocket>(s), buf, want, 0);
    if (n > 0) {
      bytes.append(buf, static_cast<std::size_t>(n));
      count -= static_cast<std::size_t>(n);
      last = Clock::now();
      continue;
    }
    if (n == 0 || ws::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (Clock::now() - last > std::chrono::milliseconds(idle_limit_ms_)) return false;
    Nap();
  }
  return true;
}

bool LoopbackProxyBase::SendAll(std::intptr_t s, const std::string& bytes) {
  std::size_t done = 0;
  auto last = Clock::now();
  while (done < bytes.size()) {
    if (Stopping()) return false;
    const int n = ws::send(static_cast<ws::TSocket>(s), bytes.data() + done,
                           static_cast<int>(bytes.size() - done), 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      last = Clock::now();
      continue;
    }
    if (ws::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (Clock::now() - last > std::chrono::milliseconds(idle_limit_ms_)) return false;
    Nap();
  }
  return true;
}

std::intptr_t LoopbackProxyBase::ConnectTarget(const std::string& host, std::uint16_t port) {
  std::string address = host;
  {
    std::lock_guard<plat::Mutex> lock(mu_);
    auto it = hosts_.find(host);
    if (it != hosts_.end()) address = it->second;
  }
  if (address == "localhost") address = "127.0.0.1";
  if (address.size() >= 2 && address.front() == '[')
    address = address.substr(1, address.size() - 2);
  ws::TSockAddrIn6 sa{};
  int len = 0;
  int family = ws::kAfInet;
  if (address == "::1") {
    family = ws::kAfInet6;
    sa.sin6_family = ws::kAfInet6;
    sa.sin6_addr[15] = 1;
    sa.sin6_port = ws::htons(port);
    len = sizeof sa;
  } else if (address.rfind("127.", 0) == 0) {
    ws::TSockAddrIn in{};
    in.sin_family = ws::kAfInet;
    in.sin_addr = ws::inet_addr(address.c_str());
    in.sin_port = ws::htons(port);
    if (in.sin_addr == ws::kInAddrNone) return -1;
    std::memcpy(&sa, &in, sizeof in);
    len = sizeof in;
  } else {
    AddError("refused target " + host);
    return -1;
  }
  // A blocking connect: loopback answers at once.
  ws::TSocket s = ws::socket(family, ws::kSockStream, ws::kIpProtoTcp);
  if (s == ws::kInvalidSocket) return -1;
  if (ws::connect(s, reinterpret_cast<ws::TSockAddr*>(&sa), len) != 0) {
    ws::closesocket(s);
    return -1;
  }
  SetNonBlocking(s);
  return static_cast<std::intptr_t>(s);
}

void LoopbackProxyBase::Relay(std::intptr_t a, std::intptr_t b) {
  char buf[16384];
  auto last = Clock::now();
  for (;;) {
    if (Stopping()) return;
    bool moved = false;
    for (int dir = 0; dir < 2; ++dir) {
      const std::intptr_t from = dir == 0 ? a : b, to = dir == 0 ? b : a;
      const int n = ws::recv(static_cast<ws::TSocket>(from), buf, sizeof buf, 0);
      if (n > 0) {
        if (!SendAll(to, std::string(buf, static_cast<std::size_t>(n)))) return;
        moved = true;
        continue;
      }
      // One side has ended: what it sent is through, so the other is ended too.
      if (n == 0 || ws::WSAGetLastError() != WSAEWOULDBLOCK) return;
    }
    if (moved) {
      last = Clock::now();
      continue;
    }
    if (Clock::now() - last > std::chrono::milliseconds(idle_limit_ms_)) return;
    Nap();
  }
}

// ---------------------------------------------------------------------------------------------
// The HTTP proxy.

TestHttpProxy::TestHttpProxy() {
  Start();
}

TestHttpProxy::~TestHttpProxy() {
  Stop();
}

void TestHttpProxy::RequireBasic(const std::string& user, const std::string& password) {
  auth_ = Auth::Basic;
  user_ = user;
  password_ = password;
}

void TestHttpProxy::RequireDigest(const std::string& user, const std::string& password) {
  auth_ = Auth::Digest;
  user_ = user;
  password_ = password;
}

void TestHttpProxy::RequireNtlm() {
  auth_ = Auth::Ntlm;
}

std::vector<std::string> TestHttpProxy::Requests() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return requests_;
}

std::vector<std::string> TestHttpProxy::Passed() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return passed_;
}

bool TestHttpProxy::Authorized(const std::string& header, std::string& challenge) {
  const std::string given = Field(header, "Proxy-Authorization");
  switch (auth_) {
    case Auth::None:
      return true;
    case Auth::Basic:
      challenge = "Basic realm=\"vexlor-test\"";
      return given == "Basic " + Encode64(user_ + ":" + password_);
    case Auth::Digest: {
      challenge = std::string("Digest realm=\"") + kDigestRealm + "\", nonce=\"" + kDigestNonce +
                  "\", qop=\"auth\", algorithm=MD5";
      if (!StartsNoCase(given, "Digest ")) return false;
      auto p = DigestParams(given.substr(7));
      const std::string method = header.substr(0, header.find(' '));
      const std::string ha1 = Md5Hex(user_ + ":" + kDigestRealm + ":" + password_);
      const std::string ha2 = Md5Hex(method + ":" + p["uri"]);
      const std::string expected =
          Md5Hex(ha1 + ":" + kDigestNonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
      return p["username"] == user_ && p["realm"] == kDigestRealm && p["nonce"] == kDigestNonce &&
             p["qop"] == "auth" && p["response"] == expected;
    }
    case Auth::Ntlm: {
      if (!StartsNoCase(given, "NTLM ")) {
        challenge = "NTLM";
        return false;
      }
      const std::string message = Decode64(given.substr(5));
      if (message.size() < 12 || message.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0) {
        challenge = "NTLM";
        return false;
      }
      if (message[8] == 1) {
        challenge = "NTLM " + Encode64(NtlmChallenge());
        return false;
      }
      // A third message of the right form is let through; its contents are the test's to check.
      return message[8] == 3 && message.size() >= 64;
    }
  }
  return false;
}

void TestHttpProxy::Serve(std::intptr_t s) {
  // A connection may carry several requests while the proxy keeps it (authentication rounds).
  for (int round = 0; round < 8; ++round) {
    std::string header;
    if (!ReadUntil(s, header, "\r\n\r\n", 64 * 1024)) return;
    header.resize(header.find("\r\n\r\n") + 4);
    {
      std::lock_guard<plat::Mutex> lock(mu_);
      requests_.push_back(header);
    }
    if (!raw_answer_.empty()) {
      SendAll(s, raw_answer_);
      return;
    }
    if (refuse_status_ != 0) {
      SendAll(s, Answer(refuse_status_, "Refused", "", "refused by the test proxy", true));
      return;
    }
    std::string challenge;
    if (!Authorized(header, challenge)) {
      std::string fields;
      for (const std::string& c : extra_challenges_)
        fields += "Proxy-Authenticate: " + c + "\r\n";
      fields += "Proxy-Authenticate: " + challenge + "\r\n";
      SendAll(s, Answer(407, "Proxy Authentication Required", fields, "credentials needed",
                        close_after_407_));
      if (close_after_407_) return;
      continue;
    }
    const std::string line = header.substr(0, header.find("\r\n"));
    const std::size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 <= sp1) return;
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (method == "CONNECT") {
      const std::size_t colon = target.rfind(':');
      const std::string host = target.substr(0, colon);
      const auto port = static_cast<std::uint16_t>(std::stoi(target.substr(colon + 1)));
      const std::intptr_t t = ConnectTarget(host, port);
      if (t == -1) {
        SendAll(s, Answer(502, "Bad Gateway", "", "", true));
        return;
      }
      {
        std::lock_guard<plat::Mutex> lock(mu_);
        passed_.push_back(target);
      }
      if (SendAll(s, "HTTP/1.1 200 Connection established\r\n\r\n" + after_connect_)) Relay(s, t);
      CloseSocket(t);
      return;
    }
    // A plain request in absolute form: "http://host[:port]/path".
    if (target.rfind("http://", 0) != 0) {
      SendAll(s, Answer(400, "Bad Request", "", "", true));
      return;
    }
    const std::size_t slash = target.find('/', 7);
    const std::string authority = target.substr(7, slash - 7);
    const std::string path = slash == std::string::npos ? "/" : target.substr(slash);
    std::string host = authority;
    std::uint16_t port = 80;
    if (const std::size_t colon = authority.rfind(':');
        colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
      host = authority.substr(0, colon);
      port = static_cast<std::uint16_t>(std::stoi(authority.substr(colon + 1)));
    }
    const std::intptr_t t = ConnectTarget(host, port);
    if (t == -1) {
      SendAll(s, Answer(502, "Bad Gateway", "", "", true));
      return;
    }
    {
      std::lock_guard<plat::Mutex> lock(mu_);
      passed_.push_back(target);
    }
    std::string forward = method + " " + path + line.substr(sp2) + "\r\n";
    std::size_t pos = header.find("\r\n") + 2;
    while (pos < header.size() - 2) {
      const std::size_t end = header.find("\r\n", pos);
      const std::string field = header.substr(pos, end - pos);
      if (!StartsNoCase(field, "Proxy-") && !StartsNoCase(field, "Connection:"))
        forward += field + "\r\n";
      pos = end + 2;
    }
    forward += "Connection: close\r\n\r\n";
    if (SendAll(t, forward)) Relay(s, t);
    CloseSocket(t);
    return;
  }
}

// ---------------------------------------------------------------------------------------------
// The SOCKS server.

TestSocksServer::TestSocksServer() {
  Start();
}

TestSocksServer::~TestSocksServer() {
  Stop();
}

void TestSocksServer::RequirePassword(const std::string& user, const std::string& password) {
  user_ = user;
  password_ = password;
}

std::vector<std::string> TestSocksServer::Targets() const {
  std::lock_guard<plat::Mutex> lock(mu_);
  return targets_;
}

void TestSocksServer::Reply5(std::intptr_t s, int rep) {
  SendAll(s, std::string("\x05", 1) + static_cast<char>(rep) +
                 std::string("\x00\x01\x7f\x00\x00\x01\x00\x00", 8));
}

void TestSocksServer::Serve(std::intptr_t s) {
  std::string m;
  if (!ReadExactly(s, m, 1)) return;
  std::string host;
  std::uint16_t port = 0;
  if (m[0] == 4) {
    // SOCKS 4 and 4A: command, port, address, user id, [name].
    if (!ReadExactly(s, m, 7)) return;
    port = static_cast<std::uint16_t>(static_cast<unsigned char>(m[2]) << 8 |
                                      static_cast<unsigned char>(m[3]));
    auto read_string = [&](std::string& out) {
      for (int i = 0; i < 256; ++i) {
        std::string c;
        if (!ReadExactly(s, c, 1)) return false;
        if (c[0] == 0) return true;
        out += c;
      }
      return false;
    };
    std::string user;
    if (!read_string(user)) return;
    const auto* a = reinterpret_cast<const unsigned char*>(m.data() + 4);
    const bool is4a = a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] != 0;
    if (is4a) {
      if (!read_string(host)) return;
    } else {
      host = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
             std::to_string(a[3]);
    }
    {
      std::lock_guard<plat::Mutex> lock(mu_);
      targets_.push_back(std::string(is4a ? "4a " : "4 ") + host + ":" + std::to_string(port));
    }
    const std::intptr_t t = ConnectTarget(host, port);
    const char status = t == -1 ? 91 : 90;
    if (SendAll(s, std::string("\x00", 1) + status + std::string(6, '\0')) && t != -1) Relay(s, t);
    if (t != -1) CloseSocket(t);
    return;
  }
  if (m[0] != 5) return;
  m.clear();
  if (!ReadExactly(s, m, 1) || !ReadExactly(s, m, static_cast<unsigned char>(m[0]))) return;
  const std::string methods = m.substr(1);
  if (!user_.empty()) {
    if (methods.find('\x02') == std::string::npos) {
      SendAll(s, std::string("\x05\xff", 2));
      return;
    }
    SendAll(s, std::string("\x05\x02", 2));
    std::string a;
    if (!ReadExactly(s, a, 2) || !ReadExactly(s, a, static_cast<unsigned char>(a[1]))) return;
    const std::string user = a.substr(2);
    std::string p;
    if (!ReadExactly(s, p, 1) || !ReadExactly(s, p, static_cast<unsigned char>(p[0]))) return;
    const bool ok = user == user_ && p.substr(1) == password_;
    SendAll(s, std::string("\x01", 1) + (ok ? '\0' : '\x01'));
    if (!ok) return;
  } else {
    if (methods.find('\0') == std::string::npos) {
      SendAll(s, std::string("\x05\xff", 2));
      return;
    }
    SendAll(s, std::string("\x05\x00", 2));
  }
  std::string r;
  if (!ReadExactly(s, r, 4) || r[1] != 1) {
    Reply5(s, 7);
    return;
  }
  switch (r[3]) {
    case 1: {
      std::string a;
      if (!ReadExactly(s, a, 4)) return;
      host = std::to_string(static_cast<unsigned char>(a[0])) + "." +
             std::to_string(static_cast<unsigned char>(a[1])) + "." +
             std::to_string(static_cast<unsigned char>(a[2])) + "." +
             std::to_string(static_cast<unsigned char>(a[3]));
      break;
    }
    case 3: {
      std::string n;
      if (!ReadExactly(s, n, 1) || !ReadExactly(s, n, static_cast<unsigned char>(n[0]))) return;
      host = n.substr(1);
      break;
    }
    case 4: {
      std::string a;
      if (!ReadExactly(s, a, 16)) return;
      host = a == std::string(15, '\0') + "\x01" ? "[::1]" : "[v6]";
      break;
    }
    default:
      Reply5(s, 8);
      return;
  }
  std::string p;
  if (!ReadExactly(s, p, 2)) return;
  port = static_cast<std::uint16_t>(static_cast<unsigned char>(p[0]) << 8 |
                                    static_cast<unsigned char>(p[1]));
  {
    std::lock_guard<plat::Mutex> lock(mu_);
    targets_.push_back("5 " + host + ":" + std::to_string(port));
  }
  const std::intptr_t t = ConnectTarget(host, port);
  if (t == -1) {
    Reply5(s, 4);
    return;
  }
  Reply5(s, 0);
  Relay(s, t);
  CloseSocket(t);
}

}  // namespace support
