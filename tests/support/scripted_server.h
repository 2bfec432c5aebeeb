// A scripted loopback TCP server for socket and HTTP tests.
//
// The server listens on 127.0.0.1 (or ::1) on a free port and plays one script per accepted
// connection, in order, on its own thread with plain blocking-style sockets: read what
// arrives (captured for the test), send given bytes, pause, wait for the test, close in order
// or reset. Every wait is bounded (StepTimeoutMs), so a client that never sends fails the
// script instead of hanging it.
//
//   ScriptedServer server({ServerScript()
//                              .ReadUntil("\r\n\r\n")
//                              .Send("HTTP/1.0 200 OK\r\n\r\nhello")
//                              .Close()});
//   ... connect a client to 127.0.0.1:server.Port() ...
//   ASSERT_TRUE(server.WaitFinished(5000));
//   EXPECT_EQ(server.Received(0), "GET / HTTP/1.0\r\n...");
//
// Threads: build the scripts, construct, query and destroy the server on one thread (the
// test's); the script runs on the server's own thread. All queries are safe while it runs.
// The server uses the socket library binding (platform/sockets.h) and counts itself as a user
// of it while it lives, so the library stays loaded under its thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/test_thread.h"

namespace support {

// What one connection does, step by step.
class ServerScript {
 public:
  enum class Op {
    kSend,           // send `data` completely
    kPause,          // wait `ms` milliseconds
    kReadBytes,      // wait until `count` more bytes have arrived (captured)
    kReadUntil,      // wait until the captured bytes contain `data`
    kWaitPeerClose,  // read (capturing) until the peer closes or resets
    kWaitSignal,     // wait until the test calls Signal()
    kNotify,         // tell the test that this point was reached: WaitNotified(`count`)
    kShutdownSend,   // end the sending direction in order (FIN), keep reading possible
    kClose,          // capture what is waiting, then close in order
    kReset,          // close abortively: the peer sees a reset (RST)
  };
  struct Step {
    Op op;
    std::string data = {};
    std::size_t count = 0;
    int ms = 0;
  };

  ServerScript& Send(std::string bytes);
  ServerScript& Pause(int ms);
  ServerScript& ReadBytes(std::size_t count);
  ServerScript& ReadUntil(std::string marker);
  ServerScript& WaitPeerClose();
  ServerScript& WaitSignal();
  ServerScript& Notify(int id);
  ServerScript& ShutdownSend();
  ServerScript& Close();
  ServerScript& Reset();

  const std::vector<Step>& Steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

// How the peer ended a connection, as seen by kWaitPeerClose.
enum class PeerEnd { kNotSeen, kOrderly, kReset };

class ScriptedServer {
 public:
  // Listens at once; plays scripts[i] on the i-th accepted connection. A script that ends
  // without Close or Reset closes in order. Connections beyond the scripts are accepted and
  // closed in order at once.
  explicit ScriptedServer(std::vector<ServerScript> scripts, bool ipv6 = false);
  // Stops the thread (unfinished waits end at once) and closes every socket.
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // The longest any one waiting step may take; default 10000 ms. Set before connecting.
  void SetStepTimeoutMs(int ms) { step_timeout_ms_ = ms; }

  // Waits until every script has been played; false when timeout_ms passed first.
  bool WaitFinished(int timeout_ms);
  // Waits until a script reached Notify(id).
  bool WaitNotified(int id, int timeout_ms);
  // Releases one WaitSignal step.
  void Signal();

  int AcceptedCount() const;
  // Bytes received on connection `index` so far.
  std::string Received(std::size_t index) const;
  PeerEnd PeerEnding(std::size_t index) const;
  // Problems the scripts met (a step timed out, a send failed), one line each.
  std::vector<std::string> Errors() const;

 private:
  void Run();
  bool PlayStep(std::size_t index, std::intptr_t s, const ServerScript::Step& step);
  bool ReadSome(std::size_t index, std::intptr_t s, bool& closed, bool& reset);
  bool Stopping() const;
  void AddError(std::string line);

  std::vector<ServerScript> scripts_;
  std::intptr_t listener_ = -1;
  std::uint16_t port_ = 0;
  int step_timeout_ms_ = 10000;

  mutable plat::Mutex mu_;
  plat::ConditionVariable cv_;
  bool stop_ = false;
  bool finished_ = false;
  int signals_ = 0;
  std::vector<int> notified_;
  int accepted_ = 0;
  std::vector<std::string> received_;
  std::vector<PeerEnd> endings_;
  std::vector<std::string> errors_;
  support::TestThread thread_;
};

// A loopback port on which nothing listens (bound once, then closed): connects are refused.
std::uint16_t UnusedLoopbackPort();

}  // namespace support
