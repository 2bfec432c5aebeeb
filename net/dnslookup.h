// Name lookups on worker threads, for the address families that the system's asynchronous
// IPv4 lookup cannot serve (IPv6, "any"), and address <-> text conversion.
//
// A request names the window and message id its completion goes to; a worker resolves it
// with the socket library's family-aware lookup and posts the message (wParam the request's
// handle, lParam high word the error) unless the request was cancelled meanwhile. The owner
// then takes the answered request by its handle.
//
// Threads: Submit, Cancel and Take may be called from any thread; workers are the pool's own
// (at most one per processor, each ending after 60 idle seconds). The pool lives until the
// process ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/messages.h"
#include "platform/sockets.h"
#include "platform/text.h"

enum TNetLookupRequestState { lrsNone, lrsInWork, lrsAlready };

struct TNetAsyncDnsLookupRequest {
  plat::WindowHandle Window = 0;
  std::uint32_t MsgId = 0;
  int Family = 0;  // a TSocketFamily value
  int Protocol = 6;
  String Name;  // host name, or the address text of a reverse lookup
  bool Reverse = false;
  // Filled by the pool.
  TNetLookupRequestState State = lrsNone;
  bool Cancelled = false;
  std::vector<String> Results;
  int Error = 0;
};

class TNetAsyncDnsLookup {
 public:
  static TNetAsyncDnsLookup& Instance();

  // Queues the request; its handle, or 0 with `error` set (10092 without the IPv6 calls).
  plat::sock::TAsyncHandle Submit(std::shared_ptr<TNetAsyncDnsLookupRequest> Request, int& error);
  // Withdraws a queued request or marks one in work as cancelled (0); 10037 once answered (the
  // answer is dropped then: its message may be purged with the owner's ids and nobody would
  // take it), 10022 for an unknown handle.
  int Cancel(plat::sock::TAsyncHandle Handle);
  // The answered request with this handle, removed from the pool; nullptr when unknown.
  std::shared_ptr<TNetAsyncDnsLookupRequest> Take(plat::sock::TAsyncHandle Handle);
  // Requests queued, in work or answered and not yet taken, for tests and diagnostics.
  std::size_t HeldCount();

  // Resolves synchronously on the calling thread, as a worker does.
  static void Resolve(TNetAsyncDnsLookupRequest& Request);

 private:
  TNetAsyncDnsLookup() = default;
  void WorkerLoop();
  struct Impl;
  Impl* impl_ = nullptr;
};

// Dotted text of an IPv4 address given in network order.
String IPv4ToText(std::uint32_t AddrNetworkOrder);
// Parses an IPv6 literal (with "::" and an optional embedded dotted IPv4 tail, no brackets or
// zone); false when the text is not one.
bool ParseIPv6(std::string_view Text, std::uint8_t (&Out)[16]);
bool IsIPv6Literal(std::string_view Text);
// The canonical text (lower case, longest zero run as "::").
String IPv6ToText(const std::uint8_t (&Addr)[16]);
// The address of a Windows-layout socket address as text; "" for another family.
String SockAddrToText(const plat::sock::TSockAddrIn6& Sa);
