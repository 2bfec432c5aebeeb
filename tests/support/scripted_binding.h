// A scripted socket library: the Windows Sockets procedures the socket component calls,
// answered from the test's script instead of the network, the same way on both targets. It
// shows what a real Windows system does and Wine cannot: a peer's reset reported as a reset
// (Wine reports an orderly close), a lookup cancel that works, or one that does nothing and
// lets the answer come late (Wine's), a close refused while the socket lingers.
//
// Installed through the loader's stand-in (platform/sockets.h) while it lives; construct it
// while no socket component exists. The notices follow the Windows rules: FD_CONNECT and
// FD_WRITE when the test completes a connect, FD_READ once until the next recv, FD_CLOSE once,
// after the bytes before an orderly end have been read, or at once with 10054 for a reset.
//
//   ScriptedBinding net;
//   TWSocket s(nullptr);  ... s.Connect();
//   net.CompleteConnect(net.Last());
//   net.Deliver(net.Last(), "bytes"); net.PeerResets(net.Last());
//
// Threads: the test and the socket's thread may be different; every call takes the binding's
// lock. Notices are posted to the socket's window like the system's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace support {

class ScriptedBinding {
 public:
  ScriptedBinding();
  ~ScriptedBinding();
  ScriptedBinding(const ScriptedBinding&) = delete;
  ScriptedBinding& operator=(const ScriptedBinding&) = delete;

  // --- Sockets ------------------------------------------------------------------------------
  // The socket created last (kInvalidSocket when none).
  plat::sock::TSocket Last() const;
  // Ends the connect under way: FD_CONNECT with `error`, then, for 0, FD_WRITE.
  void CompleteConnect(plat::sock::TSocket s, int error = 0);
  // Bytes from the peer.
  void Deliver(plat::sock::TSocket s, const std::string& bytes);
  // The peer ends in order / resets (waiting bytes are lost, recv and send fail with 10054).
  void PeerCloses(plat::sock::TSocket s);
  void PeerResets(plat::sock::TSocket s);
  // The next `times` closesocket calls answer "would block" (a socket lingering on unsent
  // data), each after running OnCloseRefused. An abortive linger (on, 0 s) ends the refusals.
  void RefuseCloses(plat::sock::TSocket s, int times);
  std::function<void()> OnCloseRefused;
  int CloseCalls(plat::sock::TSocket s) const;
  bool IsOpen(plat::sock::TSocket s) const;
  std::string Sent(plat::sock::TSocket s) const;
  // The last linger setting of the socket: on/off and seconds.
  std::pair<int, int> Linger(plat::sock::TSocket s) const;

  // --- Lookups ------------------------------------------------------------------------------
  enum class CancelMode {
    kWorks,        // a cancelled lookup is never answered (Windows)
    kDoesNothing,  // cancel says yes and the lookup goes on (Wine)
  };
  void SetCancelMode(CancelMode mode);
  // Lookups started and not answered yet, oldest first.
  std::vector<plat::sock::TAsyncHandle> Lookups() const;
  // Answers a lookup: the addresses (dotted) written into its buffer as a host entry, or the
  // error, then the completion posted to its window.
  void AnswerLookup(plat::sock::TAsyncHandle h, const std::vector<std::string>& addresses,
                    int error = 0);

  struct State;

 private:
  State* state_;
};

}  // namespace support
