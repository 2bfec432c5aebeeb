// A socket without a network for driving THttpCli byte by byte: name lookup and connect
// succeed at once, what the client sends is kept, and the answer is handed over in pieces of
// the test's choosing, each piece one read.
//
// Used by the client tests that split answers at every byte and by the fuzz target.
// Threads: the test's thread only.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

#include "http/httpcli.h"
#include "net/wsocket.h"
#include "platform/messages.h"

namespace httptest {

class TFakeSocket : public TWSocket {
 public:
  TFakeSocket() : TWSocket(nullptr) {}

  // What the client sent: request headers and bodies.
  std::string Sent;
  // The answer still to be read, one read per piece.
  std::deque<std::string> Pieces;
  bool PeerClosed = false;
  // Connections opened so far, so a test can tell which connection a request went out on.
  int Connects = 0;

  void DnsLookup(const String&, int) override {
    FDnsResult = u"127.0.0.1";
    TriggerDnsLookupDone(0);
  }
  void Connect() override {
    SetSocketState(wsOpened);
    SetSocketState(wsConnecting);
    SetSocketState(wsConnected);
    PeerClosed = false;
    ++Connects;
    TriggerSessionConnected(0);
  }
  void PutDataInSendBuffer(const void* Data, std::int32_t Len) override {
    if (Data && Len > 0) Sent.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
  }
  std::int32_t Send(const void* Data, std::int32_t Len) override {
    if (State() != wsConnected) return -1;
    PutDataInSendBuffer(Data, Len);
    return Data && Len > 0 ? Len : 0;
  }
  std::int32_t Receive(void* Buffer, std::int32_t BufferSize) override {
    if (Pieces.empty()) {
      if (PeerClosed) return 0;
      FLastError = WSAEWOULDBLOCK;
      return -1;
    }
    std::string& p = Pieces.front();
    auto n = static_cast<std::int32_t>(
        std::min<std::size_t>(p.size(), static_cast<std::size_t>(BufferSize)));
    std::memcpy(Buffer, p.data(), static_cast<std::size_t>(n));
    p.erase(0, static_cast<std::size_t>(n));
    if (p.empty()) Pieces.pop_front();
    FReadCount += n;
    return n;
  }

  // Delivers the queued pieces as readable notices would: the handler is called while pieces
  // remain (bounded, so a handler that stops reading cannot hang the test).
  void DeliverAll() {
    for (int guard = 0; !Pieces.empty() && State() == wsConnected && guard < 1000000; ++guard)
      TriggerDataAvailable(0);
  }
  // The peer closes in order: what is left is delivered, then the close.
  void PeerClose(std::uint16_t ErrCode = 0) {
    if (State() != wsConnected) return;
    DeliverAll();
    PeerClosed = true;
    if (State() != wsConnected) return;
    TriggerDataAvailable(0);
    if (State() == wsConnected && !FCloseInvoked) {
      FCloseInvoked = true;
      TriggerSessionClosed(ErrCode);
    }
    if (State() != wsClosed) Close();
  }

 protected:
  void ReleaseSocket(bool, int ErrCode) override {
    if (State() == wsClosed) return;
    SetSocketState(wsClosed);
    if (!FCloseInvoked && !FDestroying) {
      FCloseInvoked = true;
      TriggerSessionClosed(static_cast<std::uint16_t>(ErrCode));
    }
    Pieces.clear();
    ResetToDefaults();
  }
  void AbortSocket(int ErrCode) override { ReleaseSocket(false, ErrCode); }
};

// A client on a fake socket.
class TFakeHttpCli : public THttpCli {
 public:
  TFakeHttpCli() : THttpCli(nullptr, std::make_unique<TFakeSocket>()) {}
  TFakeSocket& Fake() { return static_cast<TFakeSocket&>(*CtrlSocket()); }
};

// Dispatches everything queued for the calling thread.
inline void DrainMessages() {
  plat::Message m;
  for (int guard = 0; guard < 100000 && plat::PeekMessage(m); ++guard) {
    plat::TranslateMessage(m);
    plat::DispatchMessage(m);
  }
}

}  // namespace httptest
