// The same answer cut into reads anywhere gives the same document and the same events.
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"
#include "tests/http/fake_socket.h"

namespace {

using namespace httptest;

struct Outcome {
  std::string stream;
  std::string events;
  int done = 0;
  int err = -1;
  int status = -1;
  std::int64_t rcvd = -1;
  std::string sent;
};

// Plays `answer` cut at `cuts` (each piece one read) to a fresh client; closes at the end when
// asked.
Outcome Play(const std::string& answer, const std::vector<std::size_t>& cuts, bool close,
             const String& version = u"1.1") {
  TFakeHttpCli cli;
  InstallerSettings(cli);
  cli.SetRequestVer(version);
  Recorder rec;
  rec.Attach(cli);
  TMemoryStream stream;
  cli.SetRcvdStream(&stream);
  cli.SetURL(u"http://fake.invalid/x");
  cli.GetASync();
  std::size_t from = 0;
  auto feed = [&](std::size_t to) {
    if (to > from) cli.Fake().Pieces.push_back(answer.substr(from, to - from));
    cli.Fake().DeliverAll();
    DrainMessages();
    from = to;
  };
  for (std::size_t c : cuts)
    feed(c);
  feed(answer.size());
  if (close) cli.Fake().PeerClose();
  DrainMessages();
  return {std::string(stream.View()), rec.Joined(),    rec.done_count, rec.done_err,
          rec.status_at_done,         cli.RcvdCount(), cli.Fake().Sent};
}

struct SplitCase {
  const char* name;
  std::string answer;
  bool close;
  std::string document;
  int err;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.name;
}

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, EveryCutGivesTheSameResult) {
  const SplitCase& c = GetParam();
  const Outcome whole = Play(c.answer, {}, c.close);
  EXPECT_EQ(whole.stream, c.document);
  EXPECT_EQ(whole.done, 1);
  EXPECT_EQ(whole.err, c.err);
  for (std::size_t at = 1; at < c.answer.size(); ++at) {
    const Outcome cut = Play(c.answer, {at}, c.close);
    ASSERT_EQ(cut.stream, whole.stream) << "cut at " << at;
    ASSERT_EQ(cut.events, whole.events) << "cut at " << at;
    ASSERT_EQ(cut.done, 1) << "cut at " << at;
    ASSERT_EQ(cut.err, whole.err) << "cut at " << at;
    ASSERT_EQ(cut.rcvd, whole.rcvd) << "cut at " << at;
  }
  std::vector<std::size_t> every_byte;
  for (std::size_t at = 1; at < c.answer.size(); ++at)
    every_byte.push_back(at);
  const Outcome bytes = Play(c.answer, every_byte, c.close);
  EXPECT_EQ(bytes.stream, whole.stream);
  EXPECT_EQ(bytes.events, whole.events);
}

INSTANTIATE_TEST_SUITE_P(
    Http, SplitTest,
    ::testing::Values(
        SplitCase{"Chunked",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\nTrailer: t\r\n\r\n",
                  false, "Wikipedia", 0},
        SplitCase{"LengthDelimited",
                  "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nX-A: b\r\n\r\nhello, world", false,
                  "hello, world", 0},
        SplitCase{"InterimContinue",
                  "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\nContent-Length: 2\n\nok", false,
                  "ok", 0},
        SplitCase{"CloseDelimited", "HTTP/1.0 200 OK\r\nServer: s\r\n\r\nto the end", true,
                  "to the end", 0},
        SplitCase{"ChunkedCutShort",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n", true,
                  "Wiki", reqErrDocIncomplete},
        SplitCase{"CodingListTrailerAndFinalLineEnd",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity,\t Chunked \r\n\r\n"
                  "4 ;e=\"1\"\r\nWiki\r\n0\r\nT: 1\r\n\r\n",
                  false, "Wiki", 0},
        SplitCase{"ChunkedLastLineEndArrivesLate",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n0\r\n\r\n",
                  false, "Wiki", 0},
        SplitCase{"ContentLengthListAlike",
                  "HTTP/1.1 200 OK\r\nContent-Length: 5,5\r\nContent-Length: 5\r\n\r\nhello", false,
                  "hello", 0},
        SplitCase{"ContentLengthsDiffer",
                  "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 50\r\n\r\nhello", false,
                  "", reqErrBadContentLength},
        SplitCase{"ChunkDataOverrunsItsSize",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nWiki\r\n0\r\n\r\n",
                  false, "Wi", reqErrBadChunkSize}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FakeSocketClient, ExtraBytesAfterTheLengthAreDroppedWithTheConnection) {
  const Outcome o = Play("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789ABCDE", {}, false);
  EXPECT_EQ(o.stream, "0123456789");
  EXPECT_EQ(o.rcvd, 10);
  EXPECT_EQ(o.done, 1);
  EXPECT_EQ(o.err, 0);
  EXPECT_NE(o.events.find("DocData State:httpBodyReceived DocEnd SessionClosed State:httpReady"),
            std::string::npos)
      << o.events;
}

// A reset fails only what its framing had not completed yet.
TEST(FakeSocketClient, ResetAfterACompleteAnswerIsNoFailure) {
  struct {
    const char* answer;
    int err;
  } cases[] = {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 0},
               {"HTTP/1.0 204 No Content\r\n\r\n", 0},
               {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello", 10054},
               {"HTTP/1.0 200 OK\r\n\r\nhello", 10054}};
  for (const auto& c : cases) {
    TFakeHttpCli cli;
    InstallerSettings(cli);
    Recorder rec;
    rec.Attach(cli);
    cli.SetURL(u"http://fake.invalid/x");
    cli.GetASync();
    cli.Fake().Pieces.push_back(c.answer);
    cli.Fake().PeerClose(10054);  // right behind the answer, before any queued message runs
    DrainMessages();
    EXPECT_EQ(rec.done_count, 1) << c.answer;
    EXPECT_EQ(rec.done_err, c.err) << c.answer;
  }
}

TEST(FakeSocketClient, TargetWithoutFragmentHostBracketed) {
  TFakeHttpCli cli;
  InstallerSettings(cli);
  cli.SetURL(u"http://[::1]:8080/a b?q=1#frag");
  cli.GetASync();
  EXPECT_EQ(cli.Fake().Sent.substr(0, cli.Fake().Sent.find("\r\n")), "GET /a%20b?q=1 HTTP/1.0");
  EXPECT_NE(cli.Fake().Sent.find("\r\nHost: [::1]:8080\r\n"), std::string::npos);
  cli.Abort();
  DrainMessages();
}

TEST(FakeSocketClient, InstallerRequestBytes) {
  const Outcome o = Play("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", {}, true, u"1.0");
  EXPECT_EQ(o.sent,
            "GET /x HTTP/1.0\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
            "*/*\r\nUser-Agent: Mozilla/4.0 (compatible; Vexlor)\r\nHost: fake.invalid\r\n\r\n");
}

}  // namespace
