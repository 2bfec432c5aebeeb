// The client against a real nginx, started by the test on a free loopback port with its own
// configuration, pid file, logs and temporary folders in a temporary directory.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "http/download_retry.h"
#include "tests/http/client_fixture.h"
#include "tests/http/nginx_fixture.h"

namespace {

using namespace httptest;

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx_.Serve("index.html", "<html>home</html>");
    nginx_.Serve("new/place.bin", "relocated body");
    big_.resize(50u * 1000u * 1000u);
    std::mt19937 gen(4);
    for (std::size_t i = 0; i < big_.size(); i += 4) {
      std::uint32_t v = gen();
      std::memcpy(&big_[i], &v, std::min<std::size_t>(4, big_.size() - i));
    }
    nginx_.Serve("big.bin", big_);
    // Server-side includes make nginx answer an HTTP/1.1 request in chunks.
    nginx_.Serve("ssi/page.html",
                 std::string(300000, 's') + "<!--# echo var=\"none\" default=\"end\" -->");
    ASSERT_TRUE(nginx_.Start()) << nginx_.Log();
    cli_.SetName(u"HttpCli");
    InstallerSettings(cli_);
    cli_.SetTimeout(20);
    rec_.Attach(cli_);
    cli_.SetRcvdStream(&stream_);
  }

  Nginx nginx_;
  std::string big_;
  THttpCli cli_{nullptr};
  Recorder rec_;
  TMemoryStream stream_;
};

TEST_F(NginxTest, LargeFileArrivesByteForByte) {
  cli_.SetURL(nginx_.Url("/big.bin"));
  cli_.Get();
  EXPECT_EQ(rec_.done_err, 0);
  EXPECT_EQ(cli_.StatusCode(), 200);
  EXPECT_EQ(cli_.ContentLength(), static_cast<std::int64_t>(big_.size()));
  EXPECT_EQ(cli_.RcvdCount(), static_cast<std::int64_t>(big_.size()));
  ASSERT_EQ(stream_.Size(), static_cast<std::int64_t>(big_.size()));
  EXPECT_TRUE(stream_.View() == big_);
  EXPECT_GT(rec_.doc_data_blocks, 1);
}

TEST_F(NginxTest, MissingFileIs404AndGetRaises) {
  cli_.SetURL(nginx_.Url("/no/such/file"));
  try {
    cli_.Get();
    FAIL() << "Get did not raise";
  } catch (EHttpException& e) {
    EXPECT_EQ(e.ErrorCode, 404);
    EXPECT_EQ(e.Message(), "Not Found");
  }
  EXPECT_EQ(rec_.done_count, 1);
  EXPECT_EQ(rec_.done_err, 0);
  EXPECT_EQ(rec_.status_at_done, 404);
}

TEST_F(NginxTest, RedirectToAnotherPathIsFollowed) {
  cli_.SetURL(nginx_.Url("/old/place"));
  cli_.Get();
  EXPECT_EQ(cli_.StatusCode(), 200);
  EXPECT_EQ(stream_.View(), "relocated body");  // the 302's own page was cut away again
  EXPECT_EQ(rec_.Count("LocationChange"), 1);
  EXPECT_EQ(cli_.DocName(), u"place.bin");
  EXPECT_EQ(rec_.done_count, 1);
}

TEST_F(NginxTest, KeepAliveConnectionIsReused) {
  cli_.SetRequestVer(u"1.1");
  cli_.SetURL(nginx_.Url("/index.html"));
  cli_.Get();
  ASSERT_EQ(cli_.CtrlSocket()->State(), wsConnected);
  const std::string first_peer_port = U8(cli_.CtrlSocket()->GetXPort());
  rec_.events.clear();
  stream_.SetSize(0);
  cli_.SetURL(nginx_.Url("/new/place.bin"));
  cli_.Get();
  EXPECT_EQ(stream_.View(), "relocated body");
  EXPECT_EQ(rec_.Count("State:httpDnsLookup"), 0);  // no new connection
  EXPECT_EQ(U8(cli_.CtrlSocket()->GetXPort()), first_peer_port);
  cli_.Close();
  EXPECT_EQ(cli_.CtrlSocket()->State(), wsClosed);
}

TEST_F(NginxTest, ChunkedAnswerThenTheConnectionIsReused) {
  cli_.SetRequestVer(u"1.1");
  cli_.SetURL(nginx_.Url("/ssi/page.html"));
  cli_.Get();
  EXPECT_EQ(rec_.done_err, 0);
  EXPECT_EQ(cli_.TransferEncoding(), u"chunked");
  EXPECT_EQ(cli_.ContentLength(), -1);
  EXPECT_TRUE(stream_.View() == std::string(300000, 's') + "end");
  ASSERT_EQ(cli_.CtrlSocket()->State(), wsConnected);
  rec_.events.clear();
  stream_.SetSize(0);
  cli_.SetURL(nginx_.Url("/index.html"));
  cli_.Get();
  EXPECT_EQ(stream_.View(), "<html>home</html>");
  EXPECT_EQ(rec_.Count("State:httpDnsLookup"), 0);  // the chunked answer left the connection clean
  cli_.Close();
}

TEST_F(NginxTest, Ipv6HostLineIsAccepted) {
  cli_.SetSocketFamily(sfIPv6);
  cli_.SetURL(nginx_.Url("/index.html#top", "[::1]"));
  cli_.Get();
  EXPECT_EQ(rec_.done_err, 0);
  EXPECT_EQ(cli_.StatusCode(), 200);
  EXPECT_EQ(stream_.View(), "<html>home</html>");
}

// A download cut by a front server resumes from nginx, which answers the Range itself: with
// the document's validator (its ETag, or its Last-Modified) a 206 continues the file; with a
// validator of another version a 200 starts it again. The file ends byte-identical every time.
TEST_F(NginxTest, ResumedDownloadIsByteIdentical) {
  std::string doc(1u << 20, '\0');
  std::mt19937 gen(7);
  for (char& c : doc)
    c = static_cast<char>(gen());
  nginx_.Serve("setup.bin", doc);
  cli_.SetURL(nginx_.Url("/setup.bin"));
  cli_.Head();
  const std::string etag = U8(cli_.AnswerField(u"ETag"));
  const std::string modified = U8(cli_.AnswerField(u"Last-Modified"));
  ASSERT_FALSE(etag.empty());
  ASSERT_FALSE(modified.empty());
  const std::size_t half = doc.size() / 2 + 17;
  struct {
    const char* name;
    std::string validator_field;
    std::int32_t second_status;
  } cases[] = {
      {"etag", "ETag: " + etag + "\r\n", 206},
      {"last-modified", "Last-Modified: " + modified + "\r\n", 206},
      {"another version", "ETag: \"0-0\"\r\n", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Servers front({{{Read(),
                     Send("HTTP/1.0 200 OK\r\n" + c.validator_field + "Content-Length: " +
                          std::to_string(doc.size()) + "\r\n\r\n" + doc.substr(0, half)),
                     CloseConn()}}});
    TMemoryStream file;
    cli_.SetRcvdStream(&file);
    download_retry::TResumableDownload attempts(cli_, file);
    cli_.OnDocData = [&](TObject*, const void* Buffer, std::int32_t Len) {
      if (!attempts.BlockReceived(Buffer, Len)) cli_.Abort();
    };
    const String urls[] = {U16(front.Url("/setup.bin")), nginx_.Url("/setup.bin")};
    const download_retry::TAttemptVerdict expected[] = {
        download_retry::TAttemptVerdict::avRetry, download_retry::TAttemptVerdict::avComplete};
    for (int attempt = 0; attempt < 2; ++attempt) {
      attempts.BeginAttempt();
      cli_.SetURL(urls[attempt]);
      try {
        cli_.Get();
      } catch (const EHttpException&) {
      }
      if (attempt == 1) {
        EXPECT_EQ(cli_.StatusCode(), c.second_status);
      }
      EXPECT_EQ(attempts.AttemptEnded(static_cast<std::uint16_t>(cli_.RequestDoneError())),
                expected[attempt])
          << U8(attempts.AttemptLine(static_cast<std::uint16_t>(cli_.RequestDoneError())));
    }
    EXPECT_TRUE(file.View() == doc) << file.Size();
  }
}

}  // namespace
