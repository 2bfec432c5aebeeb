// The client against scripted loopback servers, one case per row: what the servers send, the
// request bytes they must see, and what the owner must see.
#include <gtest/gtest.h>

#include <optional>

#include "tests/http/client_fixture.h"

namespace {

using namespace httptest;

constexpr std::int64_t kAny = -2;

// The error of a peer's reset. Wine's socket library reports a reset as an orderly close, so
// there either code is accepted.
#ifdef _WIN32
constexpr int kResetErr = -1;
#else
constexpr int kResetErr = 10054;
#endif

struct ClientCase {
  const char* name;
  std::vector<ServerScript> servers;
  std::string path = "/download.php";
  std::function<void(THttpCli&)> setup = nullptr;
  THttpRequest method = httpGET;
  // Expected outcome.
  int err = 0;
  int status = 200;
  std::optional<std::string> stream = std::nullopt;  // RcvdStream after the request
  std::optional<std::string> body = std::nullopt;    // every OnDocData block, in order
  std::int64_t content_length = kAny;
  std::int64_t rcvd = kAny;
  std::optional<std::string> reason = std::nullopt;
  // Exact request bytes: {server, connection, bytes}.
  std::vector<std::tuple<int, int, std::string>> requests = {};
  std::optional<std::string> events = std::nullopt;
  int connections = -1;  // accepted by server 0
  std::function<void(THttpCli&, Recorder&, Servers&)> check = nullptr;
};

void PrintTo(const ClientCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kInstallerRequest =
    "GET /download.php HTTP/1.0\r\n"
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "User-Agent: Mozilla/4.0 (compatible; Vexlor)\r\n"
    "Host: 127.0.0.1:{P0}\r\n"
    "\r\n";

std::string Request(const std::string& path, const std::string& host_port = "127.0.0.1:{P0}",
                    const std::string& version = "1.0") {
  return "GET " + path + " HTTP/" + version +
         "\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
         "User-Agent: Mozilla/4.0 (compatible; Vexlor)\r\nHost: " +
         host_port + "\r\n\r\n";
}

// One connection that reads the request and answers with `reply`, then closes.
ServerScript Answer(std::string reply) {
  return {{Read(), Send(std::move(reply)), CloseConn()}};
}

std::string Redirect(const std::string& location, const std::string& extra = "") {
  return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n" + extra +
         "Content-Length: 0\r\n\r\n";
}

std::vector<ClientCase> Cases() {
  std::vector<ClientCase> v;

  // --- The installer's download --------------------------------------------------------------
  v.push_back({.name = "InstallerDownload",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\nhello world")},
               .stream = "hello world",
               .content_length = 11,
               .rcvd = 11,
               .reason = "OK",
               .requests = {{0, 0, kInstallerRequest}},
               .events = "State:httpNotConnected State:httpDnsLookup State:httpDnsLookupDone "
                         "State:httpConnected SessionConnected State:httpWaitingHeader "
                         "RequestHeaderBegin BeforeHeaderSend RequestHeaderEnd HeaderBegin "
                         "HeaderData HeaderData HeaderEnd State:httpWaitingBody DocBegin DocData "
                         "State:httpBodyReceived DocEnd SessionClosed State:httpReady "
                         "RequestDone(0)"});

  // --- Status lines and header fields -------------------------------------------------------
  v.push_back({.name = "ReasonPhraseOk",
               .servers = {Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")},
               .reason = "OK"});
  v.push_back({.name = "NoReasonPhrase",
               .servers = {Answer("HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n")},
               .reason = ""});
  v.push_back({.name = "ReasonPhraseFourAfterCode",
               .servers = {Answer("HTTP/1.0  404  Not Found\r\nContent-Length: 0\r\n\r\n")},
               .status = 404,
               .reason = " Not Found"});
  v.push_back({.name = "ContentLengthNotANumberFails",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n12345")},
               .err = reqErrBadContentLength,
               .stream = "",
               .content_length = -1,
               .rcvd = 0,
               .reason = "Invalid Content-Length"});
  v.push_back({.name = "BlankBeforeColonIsNotContentLength",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length : 2\r\n\r\n12345")},
               .stream = "12345",
               .content_length = -1});
  v.push_back({.name = "InterimContinueThenFinalAnswer",
               .servers = {Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
                                  "Content-Length: 2\r\n\r\nok")},
               .stream = "ok",
               .check = [](THttpCli& c, Recorder& r, Servers&) {
                 EXPECT_EQ(r.Count("HeaderBegin"), 1);
                 ASSERT_EQ(c.RcvdHeader().size(), 2u);
                 EXPECT_EQ(c.RcvdHeader()[0], u"HTTP/1.1 200 OK");
               }});
  v.push_back({.name = "Http10ContinueIsFinal",
               .servers = {Answer("HTTP/1.0 100 Continue\r\n\r\n")},
               .status = 100,
               .stream = ""});
  v.push_back({.name = "ChunkedValueIsLowerCased",
               .servers = {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                                  "4\r\nWiki\r\n0\r\n\r\n")},
               .stream = "Wiki",
               .content_length = -1,
               .rcvd = 4,
               .check = [](THttpCli& c, Recorder&, Servers&) {
                 EXPECT_EQ(c.TransferEncoding(), u"chunked");
               }});
  v.push_back({.name = "GzipChunkedCannotBeDecoded",
               .servers = {Answer("HTTP/1.0 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                                  "4\r\nWiki\r\n0\r\n\r\n")},
               .err = reqErrTransferCoding,
               .stream = "",
               .body = "",
               .reason = "Transfer coding \"gzip\" not supported"});
  v.push_back(
      {.name = "NoContent204WithoutLengthHasNoBody",
       .servers = {{{Read(), Send("HTTP/1.0 204 No Content\r\n\r\n"), WaitPeerClose()}}},
       .status = 204,
       .stream = "",
       .events = std::nullopt,
       .check = [](THttpCli&, Recorder& r, Servers&) { EXPECT_EQ(r.Count("DocBegin"), 0); }});
  v.push_back({.name = "NoContent204WithLengthHasABody",
               .servers = {Answer("HTTP/1.0 204 No Content\r\nContent-Length: 10\r\n\r\n"
                                  "0123456789")},
               .status = 204,
               .stream = "0123456789"});
  v.push_back({.name = "LinesEndedByLfAlone",
               .servers = {Answer("HTTP/1.0 200 OK\nContent-Length: 3\n\nabc")},
               .stream = "abc",
               .reason = "OK"});
  v.push_back({.name = "CookiesAndRangesAreReported",
               .servers = {Answer("HTTP/1.0 206 Partial\r\nSet-Cookie: a=1; path=/\r\n"
                                  "Content-Range: bytes 100-101/200\r\nAccept-Ranges: bytes\r\n"
                                  "Content-Length: 2\r\n\r\nxy")},
               .status = 206,
               .stream = "xy",
               .check = [](THttpCli& c, Recorder& r, Servers&) {
                 ASSERT_EQ(r.cookies.size(), 1u);
                 EXPECT_EQ(r.cookies[0], u"a=1; path=/");
                 EXPECT_EQ(c.ContentRangeBegin(), u"100");
                 EXPECT_EQ(c.ContentRangeEnd(), u"101");
                 EXPECT_EQ(c.AcceptRanges(), u"bytes");
               }});
  v.push_back({.name = "HeaderlessHtmlKeepsEveryByte",
               .servers = {Answer("<HTML><body>hi</body>\r\n</HTML>\r\n")},
               .err = reqErrNoStatusLine,
               .status = 0,
               .stream = "<HTML><body>hi</body>\r\n</HTML>\r\n",
               .check = [](THttpCli& c, Recorder&, Servers&) {
                 EXPECT_EQ(c.ContentType(), u"text/html");
                 EXPECT_TRUE(c.RcvdHeader().empty());
               }});
  v.push_back({.name = "NotAStatusLine",
               .servers = {Answer("ICY 200 OK\r\nX: y\r\n\r\n")},
               .err = reqErrNoStatusLine,
               .status = 0,
               .reason = "HTTP no status code (connection closed prematurely)"});

  // --- Bodies -------------------------------------------------------------------------------
  v.push_back({.name = "LengthDelimitedLeavesTheRest",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n"
                                  "0123456789ABCDE")},
               .stream = "0123456789",
               .content_length = 10,
               .rcvd = 10,
               .check = [](THttpCli&, Recorder& r, Servers&) { EXPECT_EQ(r.Count("DocEnd"), 1); }});
  v.push_back({.name = "ChunkedWithExtension",
               .servers = {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n")},
               .stream = "abcdefghijklmnopqrstuvwxyz",
               .rcvd = 26});
  v.push_back(
      {.name = "ChunkedAcrossReads",
       .servers = {{{Read(), Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r"),
                     Pause(30), Send("\nWi"), Pause(30), Send("ki\r"), Pause(30), Send("\n0"),
                     Pause(30), Send("\r\n\r\n"), CloseConn()}}},
       .stream = "Wiki",
       .content_length = -1,
       .rcvd = 4});
  v.push_back({.name = "CloseDelimitedEndsAtTheClose",
               .servers = {{{Read(), Send("HTTP/1.0 200 OK\r\n\r\nfirst "), Pause(50),
                             Send("second"), CloseConn()}}},
               .stream = "first second",
               .content_length = -1,
               .rcvd = 12,
               .check = [](THttpCli&, Recorder& r, Servers&) {
                 EXPECT_EQ(r.Count("DocEnd"), 1);
                 EXPECT_EQ(r.Count("State:httpBodyReceived"), 0);
               }});
  v.push_back({.name = "EmptyBodySkipsTheDocument",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")},
               .stream = "",
               .events = "State:httpNotConnected State:httpDnsLookup State:httpDnsLookupDone "
                         "State:httpConnected SessionConnected State:httpWaitingHeader "
                         "RequestHeaderBegin BeforeHeaderSend RequestHeaderEnd HeaderBegin "
                         "HeaderData HeaderData HeaderEnd SessionClosed State:httpReady "
                         "RequestDone(0)"});
  v.push_back({.name = "ResetDuringCloseDelimitedBody",
               .servers = {{{Read(), Send("HTTP/1.0 200 OK\r\n\r\npart"), Pause(50), ResetConn()}}},
               .err = kResetErr,
               .status = 200});
  v.push_back({.name = "ClosedBeforeAnyStatusLine",
               .servers = {{{Read(), CloseConn()}}},
               .err = reqErrNoStatusLine,
               .status = 0,
               .reason = "HTTP no status code (connection closed prematurely)"});
  v.push_back({.name = "HeadHasNoBody",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n")},
               .method = httpHEAD,
               .stream = "",
               .content_length = 100,
               .requests = {{0, 0,
                             "HEAD /download.php HTTP/1.0\r\nAccept: image/gif, image/x-xbitmap, "
                             "image/jpeg, image/pjpeg, */*\r\nUser-Agent: Mozilla/4.0 (compatible; "
                             "Vexlor)\r\nHost: 127.0.0.1:{P0}\r\n\r\n"}}});
  v.push_back({.name = "NoRcvdStreamStillReportsData",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nabcd")},
               .setup = [](THttpCli& c) { c.SetRcvdStream(nullptr); },
               .body = "abcd",
               .rcvd = 4});

  // --- Mended faults ------------------------------------------------------------------------
  v.push_back({.name = "BodyCutShortByClose",
               .servers = {{{Read(),
                             Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" +
                                  std::string(600, 'x')),
                             CloseConn()}}},
               .err = reqErrDocIncomplete,
               .status = 200,
               .content_length = 1000,
               .rcvd = 600,
               .reason = "Document incomplete (connection closed prematurely)",
               .check = [](THttpCli&, Recorder& r, Servers&) { EXPECT_EQ(r.Count("DocEnd"), 1); }});
  v.push_back({.name = "BodyAnnouncedButNothingArrived",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n")},
               .err = reqErrDocIncomplete,
               .status = 200,
               .rcvd = 0});
  v.push_back({.name = "ChunkedWithoutLastChunk",
               .servers = {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "4\r\nWiki\r\n")},
               .err = reqErrDocIncomplete,
               .status = 200,
               .rcvd = 4});
  v.push_back({.name = "HeaderCutShortByClose",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Le")},
               .err = reqErrDocIncomplete,
               .status = 200,
               .check = [](THttpCli&, Recorder& r, Servers&) {
                 EXPECT_EQ(r.Count("HeaderEnd"), 1);
                 EXPECT_EQ(r.Count("SessionClosed"),
                           0);  // a close that cuts a header short is silent
               }});
  v.push_back({.name = "StatusCodeNotANumberEndsAtOnce",
               .servers = {{{Read(), Send("HTTP/1.1 OK\r\nContent-Length: 5\r\n\r\nhello"),
                             WaitPeerClose()}}},
               .err = reqErrNoStatusLine,
               .status = 0,
               .reason = "Invalid status line \"HTTP/1.1 OK\""});
  v.push_back({.name = "HeaderLineTooLong",
               .servers = {{{Read(), Send("HTTP/1.0 200 OK\r\nX-Long: " + std::string(70000, 'a')),
                             WaitPeerClose()}}},
               .err = reqErrHeaderTooLarge,
               .reason = "Response header too large"});
  v.push_back({.name = "WholeHeaderTooLarge",
               .servers = {{{Read(),
                             [] {
                               std::string h = "HTTP/1.0 200 OK\r\n";
                               for (int i = 0; i < 20000; ++i)
                                 h += "X-Filler: " + std::string(50, 'f') + "\r\n";
                               return Send(h);
                             }(),
                             WaitPeerClose()}}},
               .err = reqErrHeaderTooLarge,
               .reason = "Response header too large"});
  v.push_back({.name = "ChunkSizeBeyond31Bits",
               .servers = {{{Read(),
                             Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "80000000\r\nxxxx"),
                             WaitPeerClose()}}},
               .err = reqErrBadChunkSize,
               .reason = "Invalid chunk size"});

  // --- Framing (RFC 9112 section 6) -----------------------------------------------------------
  const std::string kWiki = "4\r\nWiki\r\n0\r\n\r\n";
  auto te = [&](const char* name, std::string fields, int err, std::string stream) {
    return ClientCase{.name = name,
                      .servers = {Answer("HTTP/1.1 200 OK\r\n" + fields + "\r\n" + kWiki)},
                      .err = err,
                      .stream = stream,
                      .content_length = -1};
  };
  v.push_back(
      te("TransferEncodingCaseAndBlanks", "Transfer-Encoding: \t CHUNKED \t\r\n", 0, "Wiki"));
  v.push_back(te("TransferEncodingIdentityThenChunked", "Transfer-Encoding: identity, chunked\r\n",
                 0, "Wiki"));
  v.push_back(te("TransferEncodingChunkedTwice", "Transfer-Encoding: chunked, chunked\r\n",
                 reqErrTransferCoding, ""));
  v.push_back(te("TransferEncodingInTwoFields",
                 "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", reqErrTransferCoding,
                 ""));
  v.push_back(te("TransferEncodingNotFinallyChunked", "Transfer-Encoding: chunked, gzip\r\n",
                 reqErrTransferCoding, ""));
  v.push_back(te("TransferEncodingUnknownCoding", "Transfer-Encoding: x-private\r\n",
                 reqErrTransferCoding, ""));
  // A folded line continues its field: nothing of the framing is lost to the fold.
  v.push_back(te("FoldedTransferEncoding", "Transfer-Encoding:\r\n \tchunked\r\n", 0, "Wiki"));
  v.push_back(te("FoldedCodingList", "Transfer-Encoding: gzip,\r\nX-No-Colon\r\n chunked\r\n",
                 reqErrTransferCoding, ""));
  // A fold after a line that is no field continues that line, not the framing field above it.
  v.push_back(te("FoldAfterALineThatIsNoField",
                 "Transfer-Encoding: chunked\r\nX-No-Colon\r\n gzip\r\n", 0, "Wiki"));
  // A framing field without a coding is not read as "no framing": the chunked body would be
  // stored raw.
  v.push_back(
      te("TransferEncodingWithoutACoding", "Transfer-Encoding: \r\n", reqErrTransferCoding, ""));
  v.push_back(te("CodingFoldedOntoAFieldWithABadName",
                 "Transfer-Encoding:\r\nDate 1 00:00:00\r\n\t chunked\r\n", reqErrTransferCoding,
                 ""));
  v.push_back({.name = "TransferEncodingInAnHttp10AnswerClosesAfterwards",
               .servers = {{{Read(),
                             Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\n" +
                                  kWiki),
                             WaitPeerClose()}}},
               .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
               .stream = "Wiki",
               .check =
                   [](THttpCli&, Recorder&, Servers& s) {
                     EXPECT_TRUE(s[0].WaitFinished(5000));  // the client closed it
                   }});
  v.push_back({.name = "UnknownCodingOnABodilessAnswerIsHarmless",
               .servers = {Answer("HTTP/1.0 304 Not Modified\r\nTransfer-Encoding: gzip\r\n\r\n")},
               .status = 304,
               .stream = ""});
  v.push_back({.name = "ChunkedWinsOverContentLengthAndTheConnectionGoes",
               .servers = {{{Read(),
                             Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: "
                                  "chunked\r\n\r\n" +
                                  kWiki),
                             WaitPeerClose()}}},
               .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
               .stream = "Wiki",
               .content_length = -1,
               .rcvd = 4,
               .check =
                   [](THttpCli&, Recorder&, Servers& s) {
                     EXPECT_TRUE(s[0].WaitFinished(5000));  // the client closed it
                   }});
  auto length = [&](const char* name, std::string fields, int err, std::string stream) {
    return ClientCase{.name = name,
                      .servers = {Answer("HTTP/1.0 200 OK\r\n" + fields + "\r\n12345")},
                      .err = err,
                      .stream = stream};
  };
  v.push_back(
      length("FoldedContentLength", "Content-Length: 5\r\n 0\r\n", reqErrBadContentLength, ""));
  v.push_back(length("ContentLengthListOfTheSameNumber", "Content-Length: 5, 5\r\n", 0, "12345"));
  v.push_back(length("ContentLengthRepeatedAlike", "Content-Length: 5\r\nContent-Length: 5\r\n", 0,
                     "12345"));
  v.push_back(length("ContentLengthRepeatedUnlike", "Content-Length: 5\r\nContent-Length: 3\r\n",
                     reqErrBadContentLength, ""));
  v.push_back(
      length("ContentLengthListUnlike", "Content-Length: 3, 5\r\n", reqErrBadContentLength, ""));
  v.push_back(
      length("ContentLengthWithSign", "Content-Length: +5\r\n", reqErrBadContentLength, ""));
  v.push_back(
      length("ContentLengthNegative", "Content-Length: -1\r\n", reqErrBadContentLength, ""));
  v.push_back(length("ContentLengthEmpty", "Content-Length:\r\n", reqErrBadContentLength, ""));
  v.push_back(length("ContentLengthTooLarge", "Content-Length: 99999999999999999999\r\n",
                     reqErrBadContentLength, ""));
  // Bytes after a complete answer: the document is good, the surplus goes, and so does the
  // kept-open connection (the server sees it closed).
  auto surplus = [&](const char* name, std::string answer, std::string stream, int status) {
    return ClientCase{.name = name,
                      .servers = {{{Read(), Send(answer), WaitPeerClose()}}},
                      .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
                      .status = status,
                      .stream = stream,
                      .check =
                          [](THttpCli&, Recorder& r, Servers& s) {
                            EXPECT_TRUE(s[0].WaitFinished(5000));
                            EXPECT_EQ(r.Count("DocEnd"), r.Count("DocBegin"));
                          }};
  };
  v.push_back(surplus("SurplusAfterTheLength",
                      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789EXTRA", "0123456789",
                      200));
  v.push_back(surplus(
      "SurplusAfterTheLastChunk",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + kWiki + "HTTP/1.1 200 OK\r\n",
      "Wiki", 200));
  v.push_back(surplus("SurplusAfterABodilessAnswer",
                      "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", "", 204));
  v.push_back({.name = "ChunkLongerThanAnnounced",
               .servers = {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "4\r\nWikipedia\r\n0\r\n\r\n")},
               .err = reqErrBadChunkSize,
               .reason = "Invalid chunk: data not followed by its line end"});
  v.push_back({.name = "TrailerCutByTheCloseAfterTheLastChunk",
               .servers = {Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "4\r\nWiki\r\n0\r\nX-Trailer: t")},
               .stream = "Wiki"});
  v.push_back({.name = "CloseDelimitedDespiteKeepAlive",
               .servers = {{{Read(), Send("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\nall"),
                             Pause(50), Send(" of it"), CloseConn()}}},
               .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
               .stream = "all of it",
               .content_length = -1});

  // --- Requests we send --------------------------------------------------------------------
  v.push_back(
      {.name = "FragmentNeverSentBlanksEncoded",
       .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nf")},
       .path = "/my file.exe#part",
       .stream = "f",
       .requests = {{0, 0, Request("/my%20file.exe")}},
       .check = [](THttpCli& c, Recorder&, Servers&) { EXPECT_EQ(c.DocName(), u"my file.exe"); }});
  v.push_back(
      {.name = "LocationControlCharactersAreEncoded",
       .servers = {{{Read(),
                     Send(Redirect(std::string("/a b\x01"
                                               "c\rd\0e#frag",
                                               15))),
                     CloseConn()},
                    {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nL"), CloseConn()}}},
       .stream = "L",
       .requests = {{0, 1, Request("/a%20b%01c%0Dd%00e")}}});
  v.push_back({.name = "LocationHostWithControlCharacterIsRefused",
               .servers = {Answer(Redirect("http://127.0.0.1\x01x/file"))},
               .err = reqErrUnsafeRequest,
               .status = 302,
               .reason = "Relocation refused: invalid character in the Location's host or port",
               .connections = 1});
  v.push_back({.name = "LocationPortNotANumberIsRefused",
               .servers = {Answer(Redirect("http://127.0.0.1:{P0} x/file"))},
               .err = reqErrUnsafeRequest,
               .status = 302,
               .connections = 1});
  auto refused = [](const char* name, std::function<void(THttpCli&)> setup, const char* reason) {
    return ClientCase{.name = name,
                      .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")},
                      .setup = std::move(setup),
                      .err = reqErrUnsafeRequest,
                      .status = 0,
                      .reason = reason,
                      .events =
                          "State:httpNotConnected State:httpAborting State:httpReady "
                          "RequestDone(17)",
                      .connections = 0};
  };
  v.push_back(refused(
      "UrlHostWithLineBreakIsRefused",
      [](THttpCli& c) { c.SetURL(u"http://127.0.0.1\r\nX-Injected: 1/download.php"); },
      "Request refused: invalid character in the URL's host or port"));
  v.push_back(refused(
      "UrlPortWithBlankIsRefused",
      [](THttpCli& c) {
        String url = c.URL();
        c.SetURL(url.insert(url.find(u'/', 7), u" x"));
      },
      "Request refused: invalid character in the URL's host or port"));
  v.push_back(refused(
      "CookieWithLineBreakIsRefused", [](THttpCli& c) { c.SetCookie(u"a=1\r\nX-Injected: 1"); },
      "Request refused: control character in the Cookie setting"));
  v.push_back(refused(
      "AgentWithNulIsRefused", [](THttpCli& c) { c.SetAgent(String(u"agent\0x", 7)); },
      "Request refused: control character in the Agent setting"));
  v.push_back(refused(
      "ProxyWithLineBreakIsRefused", [](THttpCli& c) { c.SetProxy(u"127.0.0.1\nX"); },
      "Request refused: invalid character in the proxy's host or port"));
  v.push_back(refused(
      "ProxyConnectionWithLineBreakIsRefused",
      [](THttpCli& c) { c.SetProxyConnection(u"keep-alive\r\nX: 1"); },
      "Request refused: control character in the ProxyConnection setting"));
  // Credentials of one origin never go to another: neither in advance nor for a challenge.
  v.push_back({.name = "CredentialsStayWithTheirOrigin",
               .servers = {{{Read(), Send(Redirect("http://127.0.0.1:{P1}/file")), CloseConn()}},
                           Answer("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=r\r\n"
                                  "Content-Length: 0\r\n\r\n")},
               .setup =
                   [](THttpCli& c) {
                     c.SetServerAuth(httpAuthBasic);
                     c.SetUsername(u"joe");
                     c.SetPassword(u"pw");
                   },
               .status = 401,
               .check =
                   [](THttpCli&, Recorder&, Servers& s) {
                     EXPECT_NE(s[0].Received(0).find("Authorization: Basic am9lOnB3\r\n"),
                               std::string::npos);
                     EXPECT_EQ(s[1].Received(0).find("Authorization"), std::string::npos);
                     EXPECT_EQ(s[1].AcceptedCount(),
                               1);  // no retry with the first origin's password
                   }});
  v.push_back(
      {.name = "CredentialsFollowARelocationOnTheSameOrigin",
       .servers = {{{Read(), Send(Redirect("/other")), CloseConn()},
                    {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nk"), CloseConn()}}},
       .setup =
           [](THttpCli& c) {
             c.SetServerAuth(httpAuthBasic);
             c.SetUsername(u"joe");
             c.SetPassword(u"pw");
           },
       .stream = "k",
       .check =
           [](THttpCli&, Recorder&, Servers& s) {
             EXPECT_NE(s[0].Received(1).find("Authorization: Basic am9lOnB3\r\n"),
                       std::string::npos);
           }});

  // --- Relocation ---------------------------------------------------------------------------
  v.push_back({.name = "RelocationOnANewConnection",
               .servers = {{{Read(), Send(Redirect("/new.php")), CloseConn()},
                            {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew"),
                             CloseConn()}}},
               .stream = "new",
               .requests = {{0, 0, kInstallerRequest}, {0, 1, Request("/new.php")}},
               .connections = 2,
               .check = [](THttpCli& c, Recorder& r, Servers&) {
                 EXPECT_EQ(r.Count("LocationChange"), 1);
                 EXPECT_EQ(r.Count("State:httpDnsLookup"), 2);
                 EXPECT_EQ(c.LocationChangeCurCount(), 1);
                 EXPECT_EQ(c.DocName(), u"new.php");
               }});
  v.push_back({.name = "RelocationBodyIsRemovedBeforeTheNextHop",
               .servers = {{{Read(),
                             Send("HTTP/1.0 302 Found\r\nLocation: /final\r\nContent-Length: 120"
                                  "\r\n\r\n" +
                                  std::string(120, 'h')),
                             CloseConn()},
                            {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"),
                             CloseConn()}}},
               .stream = "final",
               .body = std::string(120, 'h') + "final",
               .rcvd = 5,
               .check = [](THttpCli&, Recorder& r, Servers&) {
                 EXPECT_EQ(r.content_length_at_data.front(), 120);
                 EXPECT_EQ(r.content_length_at_data.back(), 5);
               }});
  v.push_back(
      {.name = "RelativeLocationAgainstTheDirectory",
       .servers = {{{Read(), Send(Redirect("page2.html")), CloseConn()},
                    {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n2"), CloseConn()}}},
       .path = "/dir/page1.html?x=1",
       .stream = "2",
       .requests = {{0, 1, Request("/dir/page2.html")}}});
  v.push_back(
      {.name = "LocationOnA200IsFollowed",
       .servers = {{{Read(),
                     Send("HTTP/1.0 200 OK\r\nLocation: /elsewhere\r\nContent-Length: 0"
                          "\r\n\r\n"),
                     CloseConn()},
                    {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nE"), CloseConn()}}},
       .stream = "E",
       .requests = {{0, 1, Request("/elsewhere")}}});
  v.push_back({.name = "SixRedirectsEndAfterFiveHops",
               .servers = {{{Read(), Send(Redirect("/1")), CloseConn()},
                            {Read(), Send(Redirect("/2")), CloseConn()},
                            {Read(), Send(Redirect("/3")), CloseConn()},
                            {Read(), Send(Redirect("/4")), CloseConn()},
                            {Read(), Send(Redirect("/5")), CloseConn()},
                            {Read(), Send(Redirect("/6")), CloseConn()}}},
               .status = 302,
               .requests = {{0, 5, Request("/5")}},
               .connections = 6,
               .check = [](THttpCli& c, Recorder& r, Servers&) {
                 EXPECT_EQ(r.Count("LocationChange"), 5);
                 EXPECT_EQ(c.LocationChangeCurCount(), 6);
               }});
  v.push_back({.name = "AbsoluteLocationToAnotherServer",
               .servers = {{{Read(), Send(Redirect("http://127.0.0.1:{P1}/file")), CloseConn()}},
                           Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nother")},
               .stream = "other",
               .requests = {{1, 0, Request("/file", "127.0.0.1:{P1}")}},
               .check = [](THttpCli& c, Recorder&, Servers& s) {
                 EXPECT_EQ(U8(c.Location()), s.Url("/file", 1));
               }});
  v.push_back({.name = "FollowRelocationOffGivesThe302",
               .servers = {Answer(Redirect("/new.php"))},
               .setup = [](THttpCli& c) { c.SetFollowRelocation(false); },
               .status = 302,
               .connections = 1});
  // The second server speaks plain HTTP where the client expects the server's TLS hello.
  v.push_back(
      {.name = "HttpsRelocationToAPlainServerFailsTheHandshake",
       .servers = {Answer(Redirect("https://127.0.0.1:{P1}/secure")),
                   {{{Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), WaitPeerClose()}}}},
       .err = plat::tls::kTlsErrHandshake,
       .status = 404,
#ifndef _WIN32
       // The library's own words; SChannel names its status code instead.
       .reason = "TLS - handshake failed: wrong version number (Error #22001)",
#endif
       .connections = 1});
  v.push_back(
      {.name = "RelocationKeepsAKeptOpenConnection",
       .servers = {{{Read(),
                     Send("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n"),
                     ReadUntil("/b HTTP/1.1\r\n"),
                     Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb"), WaitPeerClose()}}},
       .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
       .stream = "b",
       .requests = {{0, 0,
                     Request("/download.php", "127.0.0.1:{P0}", "1.1") +
                         Request("/b", "127.0.0.1:{P0}", "1.1")}},
       .connections = 1,
       .check = [](THttpCli&, Recorder& r,
                   Servers&) { EXPECT_EQ(r.Count("State:httpDnsLookup"), 1); }});
  // Each answer's chunks are its own: a chunked relocation's last chunk does not complete a
  // chunked answer after it that the server cuts before its first chunk.
  v.push_back(
      {.name = "ChunkedAnswerCutAfterAChunkedRelocation",
       .servers = {{{Read(),
                     Send("HTTP/1.1 302 Found\r\nLocation: /b\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
                     ReadUntil("/b HTTP/1.1\r\n"),
                     Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), CloseConn()}}},
       .setup = [](THttpCli& c) { c.SetRequestVer(u"1.1"); },
       .err = 10,
       .stream = ""});
  v.push_back({.name = "HtmlAnswerToAnExeGetsAnHtmName",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\n"
                                  "Content-Length: 2\r\n\r\nhi")},
               .path = "/files/setup.exe",
               .stream = "hi",
               .check = [](THttpCli& c, Recorder&, Servers&) {
                 EXPECT_EQ(c.ContentType(), u"text/html");
                 EXPECT_EQ(c.DocName(), u"setup.htm");
               }});
  v.push_back({.name = "ThroughAProxyTheRequestLineIsAbsolute",
               .servers = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\np")},
               .setup =
                   [](THttpCli& c) {
                     // The scripted server plays the proxy; the target is never resolved.
                     c.SetProxy(u"127.0.0.1");
                     c.SetProxyPort(c.URL().substr(17, c.URL().find(u'/', 17) - 17));
                     c.SetURL(u"http://target.invalid:8080/file");
                   },
               .stream = "p",
               .requests = {{0, 0,
                             "GET http://target.invalid:8080/file HTTP/1.0\r\nAccept: image/gif, "
                             "image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\nUser-Agent: "
                             "Mozilla/4.0 (compatible; Vexlor)\r\nHost: target.invalid:8080\r\n"
                             "\r\n"}}});
  v.push_back(
      {.name = "CredentialsInTheUrlAnswerAChallenge",
       .servers = {{{Read(),
                     Send("HTTP/1.0 401 No\r\nWWW-Authenticate: Basic realm=r\r\n"
                          "Content-Length: 0\r\n\r\n"),
                     CloseConn()},
                    {Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nin"), CloseConn()}}},
       .setup =
           [](THttpCli& c) {
             String url = c.URL();
             c.SetURL(u"http://joe:pw@" + url.substr(7));
           },
       .stream = "in",
       .check =
           [](THttpCli&, Recorder&, Servers& s) {
             EXPECT_NE(s[0].Received(1).find("Authorization: Basic am9lOnB3\r\n"),
                       std::string::npos);
           }});
  return v;
}

class ClientCaseTest : public ::testing::TestWithParam<ClientCase> {};

TEST_P(ClientCaseTest, Plays) {
  const ClientCase& c = GetParam();
  Servers servers(c.servers);
  TMemoryStream stream;
  Recorder rec;
  {
    THttpCli cli(nullptr);
    InstallerSettings(cli);
    rec.Attach(cli);
    cli.SetRcvdStream(&stream);
    cli.SetURL(U16(servers.Url(c.path)));
    if (c.setup) c.setup(cli);
    if (c.method == httpHEAD)
      cli.HeadASync();
    else
      cli.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return rec.done_count > 0; })) << rec.Joined();
    PumpFor(30);  // a second request-done would show here
    EXPECT_EQ(rec.done_count, 1);
    if (c.err == -1) {
      EXPECT_TRUE(rec.done_err == 0 || rec.done_err == 10054) << rec.done_err;
    } else {
      EXPECT_EQ(rec.done_err, c.err) << U8(cli.ReasonPhrase()) << "\n" << rec.Joined();
    }
    EXPECT_EQ(rec.status_at_done, c.status);
    EXPECT_EQ(cli.State(), httpReady);
    if (c.stream) {
      EXPECT_EQ(stream.View(), *c.stream);
    }
    if (c.body) {
      EXPECT_EQ(rec.body, *c.body);
    }
    if (c.content_length != kAny) {
      EXPECT_EQ(cli.ContentLength(), c.content_length);
    }
    if (c.rcvd != kAny) {
      EXPECT_EQ(cli.RcvdCount(), c.rcvd);
    }
    if (c.reason) {
      EXPECT_EQ(U8(cli.ReasonPhrase()), *c.reason);
    }
    if (c.events) {
      EXPECT_EQ(rec.Joined(), *c.events);
    }
    if (c.check) c.check(cli, rec, servers);
    for (const auto& [server, conn, bytes] : c.requests)
      EXPECT_EQ(servers[static_cast<std::size_t>(server)]
                    .Received(static_cast<std::size_t>(conn))
                    .substr(0, Subst(bytes, servers.ports).size()),
                Subst(bytes, servers.ports))
          << "server " << server << " connection " << conn;
    if (c.connections >= 0) {
      EXPECT_EQ(servers[0].AcceptedCount(), c.connections);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Http, ClientCaseTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
