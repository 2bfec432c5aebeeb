// Arbitrary answers, cut into arbitrary reads, to a client on a socket without a network.
//
// Input: one byte of settings (bit 0 RequestVer 1.1, bit 1 HEAD instead of GET, bit 2 the
// peer closes at the end, bit 3 content coding enabled, bit 4 no RcvdStream), then pieces,
// each a length byte followed by that many bytes (the last piece takes what is left); every
// piece is one read. Whatever the bytes, the client must not crash, every reported block must
// have been stored first, and once the peer has closed the request must have ended exactly
// once.
#include <cstdint>
#include <cstdlib>

#include "tests/http/fake_socket.h"

namespace {

struct Counts {
  int done = 0;
  std::int64_t reported = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  httptest::TFakeHttpCli cli;
  cli.SetAgent(u"Mozilla/4.0 (compatible; Vexlor)");
  cli.SetRequestVer((flags & 1) ? u"1.1" : u"1.0");
  if (flags & 8) cli.SetOptions(httpoEnableContentCoding);
  TMemoryStream stream;
  if (!(flags & 16)) cli.SetRcvdStream(&stream);
  Counts counts;
  cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) { ++counts.done; };
  cli.OnDocData = [&](TObject*, const void*, std::int32_t n) {
    counts.reported += n;
    // The block is counted and stored before it is reported.
    if (cli.RcvdStream() && cli.RcvdCount() > stream.Size() - cli.RcvdStreamStartSize())
      std::abort();
  };
  cli.SetURL(u"http://fuzz.invalid/dir/file.exe?q=1");
  if (flags & 2)
    cli.HeadASync();
  else
    cli.GetASync();

  std::size_t at = 1;
  while (at < size) {
    std::size_t n = data[at++];
    if (n == 0 || at + n > size) n = size - at;
    cli.Fake().Pieces.emplace_back(reinterpret_cast<const char*>(data + at), n);
    at += n;
    cli.Fake().DeliverAll();
    httptest::DrainMessages();
  }
  if (flags & 4) {
    // Each relocation may open a fresh connection that gets nothing but a close.
    for (int round = 0; round < 10 && counts.done == 0; ++round) {
      cli.Fake().PeerClose();
      httptest::DrainMessages();
    }
    if (counts.done != 1 || cli.State() != httpReady) std::abort();
  }
  if (counts.done > 1) std::abort();
  // Relocations cut reported documents out of the stream again, never more.
  if (!(flags & 16) && stream.Size() > counts.reported) std::abort();
  return 0;
}
