// Loopback proxies for tests: a scripted HTTP proxy and a small SOCKS server.
//
// Both listen on 127.0.0.1 on a free port and serve every accepted connection on a thread of
// its own with the socket library binding (platform/sockets.h), as the scripted server does:
// non-blocking sockets polled in short steps, every wait bounded (a connection is given up
// after IdleLimitMs without traffic), and at most kMaxConnections connections per proxy. They
// connect only to loopback addresses: a target is a literal 127.0.0.0/8 or ::1 address, or a
// name the test maps to one (MapHost); anything else is refused (502, SOCKS reply 4).
//
//   support::TestHttpProxy proxy;
//   proxy.RequireBasic("user", "pass");
//   ... client.SetProxy(u"127.0.0.1"); client.SetProxyPort(proxy.Port()) ...
//   EXPECT_EQ(proxy.Requests().size(), 2u);
//
// The HTTP proxy answers CONNECT (200, then relays the bytes both ways) and forwards plain
// requests in absolute form ("GET http://host:port/path HTTP/1.1": the request goes to the
// origin in origin form without the Proxy-* fields, with "Connection: close", and the answer
// comes back as it is). It can ask for credentials with a 407 (Basic, Digest with MD5 and
// qop "auth", or NTLM, whose last message is checked for its form only), close after the 407,
// refuse with a status, or send a scripted answer of its own.
//
// Threads: configure before the first connection arrives; construct, query and destroy on the
// test's thread. The queries are safe while connections are served.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/test_thread.h"

namespace support {

class LoopbackProxyBase {
 public:
  static constexpr int kMaxConnections = 64;

  LoopbackProxyBase();
  virtual ~LoopbackProxyBase();
  LoopbackProxyBase(const LoopbackProxyBase&) = delete;
  LoopbackProxyBase& operator=(const LoopbackProxyBase&) = delete;

  std::uint16_t Port() const { return port_; }
  // A target name and the loopback address it stands for.
  void MapHost(const std::string& name, const std::string& loopback_address);
  void SetIdleLimitMs(int ms) { idle_limit_ms_ = ms; }
  int AcceptedCount() const;
  // Problems met while serving (a refused target, a failed send), one line each.
  std::vector<std::string> Errors() const;

 protected:
  // Starts the accepting thread; the most derived constructor calls it last.
  void Start();
  // Stops and joins every thread; the most derived destructor calls it first.
  void Stop();
  virtual void Serve(std::intptr_t s) = 0;

  bool Stopping() const { return stop_.load(); }
  void AddError(std::string line);
  // Reads until `bytes` holds `marker` (true), the peer closes or the idle limit passes.
  bool ReadUntil(std::intptr_t s, std::string& bytes, const std::string& marker, std::size_t limit);
  bool ReadExactly(std::intptr_t s, std::string& bytes, std::size_t count);
  bool SendAll(std::intptr_t s, const std::string& bytes);
  // Connects to host:port when the host is loopback (or mapped to it); -1 otherwise.
  std::intptr_t ConnectTarget(const std::string& host, std::uint16_t port);
  // Copies bytes both ways until one side closes or nothing moved for the idle limit.
  void Relay(std::intptr_t a, std::intptr_t b);
  static void CloseSocket(std::intptr_t s);

  mutable plat::Mutex mu_;

 private:
  void AcceptLoop();

  std::intptr_t listener_ = -1;
  std::uint16_t port_ = 0;
  int idle_limit_ms_ = 10000;
  std::atomic<bool> stop_{false};
  int accepted_ = 0;
  std::map<std::string, std::string> hosts_;
  std::vector<std::string> errors_;
  support::TestThread accept_thread_;
  std::vector<support::TestThread> workers_;
};

class TestHttpProxy : public LoopbackProxyBase {
 public:
  enum class Auth { None, Basic, Digest, Ntlm };

  TestHttpProxy();
  ~TestHttpProxy() override;

  // Every request must carry these credentials; a missing or wrong Proxy-Authorization gets
  // a 407 with the scheme's challenge (and, for NTLM, the exchange's second message).
  void RequireBasic(const std::string& user, const std::string& password);
  void RequireDigest(const std::string& user, const std::string& password);
  void RequireNtlm();
  // The 407 also offers these challenges (before its own), for the client to choose among.
  void AlsoOffer(const std::string& challenge) { extra_challenges_.push_back(challenge); }
  // After a 407 the proxy closes the connection (and says so).
  void SetCloseAfter407(bool close) { close_after_407_ = close; }
  // Refuses every request with this status (403, 502...).
  void SetRefuseStatus(int status) { refuse_status_ = status; }
  // Answers every request with these bytes, then closes.
  void SetRawAnswer(const std::string& bytes) { raw_answer_ = bytes; }
  // Bytes sent to the client right after the 200 of a CONNECT, before the target's.
  void SetBytesAfterConnect(const std::string& bytes) { after_connect_ = bytes; }

  // Every request header received, in order.
  std::vector<std::string> Requests() const;
  // The requests that were let through (CONNECT targets as "host:port", plain requests as
  // their absolute URI).
  std::vector<std::string> Passed() const;

 protected:
  void Serve(std::intptr_t s) override;

 private:
  bool Authorized(const std::string& header, std::string& challenge);

  Auth auth_ = Auth::None;
  std::string user_, password_;
  std::vector<std::string> extra_challenges_;
  bool close_after_407_ = false;
  int refuse_status_ = 0;
  std::string raw_answer_;
  std::string after_connect_;
  std::vector<std::string> requests_;
  std::vector<std::string> passed_;
};

class TestSocksServer : public LoopbackProxyBase {
 public:
  TestSocksServer();
  ~TestSocksServer() override;

  // SOCKS 5 clients must authenticate with these (RFC 1929); without, method 0 is chosen.
  void RequirePassword(const std::string& user, const std::string& password);
  // The targets asked for, as the client sent them ("name:port", "1.2.3.4:port", "[v6]:port"),
  // with the version ("5 host:port", "4 ...", "4a ...").
  std::vector<std::string> Targets() const;

 protected:
  void Serve(std::intptr_t s) override;

 private:
  void Reply5(std::intptr_t s, int rep);
  std::string user_, password_;
  std::vector<std::string> targets_;
};

}  // namespace support
