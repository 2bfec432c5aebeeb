// The demo download server: each kind of answer, as bytes on the wire to a plain client over
// loopback, the control file, and the nginx site it writes. Linux only, like the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tools/demo-server/demo_server.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDeadlineMs = 10000;

struct Reply {
  bool connected = false;
  std::string bytes;    // everything received
  bool closed = false;  // the server closed within the deadline
  std::string Head() const { return bytes.substr(0, bytes.find("\r\n\r\n") + 4); }
  std::string Body() const {
    std::size_t end = bytes.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : bytes.substr(end + 4);
  }
  std::string StatusLine() const { return bytes.substr(0, bytes.find("\r\n")); }
};

// Sends one request and reads until the server closes, or until `deadline_ms`.
// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

Reply Fetch(std::uint16_t port, const std::string& request, int deadline_ms = kDeadlineMs) {
  Reply r;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return r;
  r.connected = true;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      r.closed = true;
      break;
    }
    r.bytes.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return r;
}

// The same over TLS, trusting `root` and checking the name "localhost". `clean_end` tells
// whether the server ended with a close-notify (a cut connection has none).
struct TlsReply : Reply {
  bool handshake = false;
  bool clean_end = false;
};

TlsReply FetchTls(std::uint16_t port, const std::string& root, const std::string& request) {
  TlsReply r;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return r;
  r.connected = true;
  timeval limit{kDeadlineMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, root.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (SSL_connect(ssl) == 1) {
    r.handshake = true;
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
    char buf[65536];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
      r.bytes.append(buf, static_cast<std::size_t>(n));
    r.closed = true;
    r.clean_end = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  close(fd);
  return r;
}

std::string Get(const std::string& path) {
  return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:1\r\nUser-Agent: test\r\n\r\n";
}

std::string Dechunk(const std::string& body) {
  std::string out;
  std::size_t pos = 0;
  while (true) {
    std::size_t eol = body.find("\r\n", pos);
    if (eol == std::string::npos) return "<bad>";
    std::size_t size = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
    if (size == 0) return out;
    out += body.substr(eol + 2, size);
    pos = eol + 2 + size + 2;
  }
}

class DemoServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vexlor-demo-server-test-" + std::to_string(rd()));
    fs::create_directories(dir_);
    setup_ = std::string(200000, '\0');
    for (std::size_t i = 0; i < setup_.size(); ++i)
      setup_[i] = static_cast<char>(i % 253);
    std::ofstream(dir_ / "setup.exe", std::ios::binary) << setup_;
    std::ofstream(dir_ / "license.html") << "<html><title>Licence</title></html>";
    options_.SetupFile = (dir_ / "setup.exe").string();
    options_.LicenseFile = (dir_ / "license.html").string();
    options_.ControlFile = (dir_ / "control").string();
  }
  void TearDown() override {
    if (server_) server_->Stop();
    fs::remove_all(dir_);
  }
  void Start() {
    server_ = std::make_unique<demo::DemoServer>(options_);
    std::string why;
    ASSERT_TRUE(server_->Start(&why)) << why;
  }
  void Answer(const std::string& path, const std::string& answer_text) {
    auto a = demo::ParseAnswer(answer_text);
    ASSERT_TRUE(a) << answer_text;
    server_->SetAnswer(path, *a);
  }

  fs::path dir_;
  std::string setup_;
  demo::ServerOptions options_;
  std::unique_ptr<demo::DemoServer> server_;
};

TEST(DemoServerAnswers, ParseTheTextForm) {
  auto a = demo::ParseAnswer("trickle=512/20, chunked ,hold=100,cut=300");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->TrickleBytes, 512u);
  EXPECT_EQ(a->TrickleMs, 20);
  EXPECT_TRUE(a->Chunked);
  EXPECT_EQ(a->HoldAfter, 100);
  EXPECT_EQ(a->CutAfter, 300);
  EXPECT_EQ(a->Source, demo::Answer::Body::bdSetup);

  auto r = demo::ParseAnswer("redirect=/mirror.php");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Status, 302);
  EXPECT_EQ(r->Location, "/mirror.php");

  auto t = demo::ParseAnswer("status=201,text=a, b, c");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->Status, 201);
  EXPECT_EQ(t->Text, "a, b, c");

  for (const char* bad : {"status=abc", "trickle=5", "trickle=0/5", "cut=-1", "bogus", "file="}) {
    std::string why;
    EXPECT_FALSE(demo::ParseAnswer(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
}

TEST_F(DemoServerTest, ServesTheTwoDocumentsAndRefusesTheRest) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Reply setup = Fetch(server_->Port(), Get("/download.php"));
  EXPECT_EQ(setup.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(setup.Head().find("Content-Length: 200000\r\n"), std::string::npos);
  EXPECT_EQ(setup.Body(), setup_);
  EXPECT_TRUE(setup.closed);

  Reply license = Fetch(server_->Port(), Get("/license.php?lang=en"));
  EXPECT_NE(license.Head().find("Content-Type: text/html"), std::string::npos);
  EXPECT_EQ(license.Body(), "<html><title>Licence</title></html>");

  EXPECT_EQ(Fetch(server_->Port(), Get("/other.php")).StatusLine(), "HTTP/1.1 404 Not Found");

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Raw, Get("/download.php"));
  EXPECT_EQ(requests[1].Path, "/license.php");
}

TEST_F(DemoServerTest, TestAnswers) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Answer("/404", "status=404");
  Answer("/302", "redirect=/download.php");
  Answer("/cut", "cut=1000");
  Answer("/chunked", "chunked,trickle=30000/1");
  Answer("/nolength", "nolength");
  Answer("/close", "close");

  EXPECT_EQ(Fetch(server_->Port(), Get("/404")).StatusLine(), "HTTP/1.1 404 Not Found");

  Reply moved = Fetch(server_->Port(), Get("/302"));
  EXPECT_EQ(moved.StatusLine(), "HTTP/1.1 302 Found");
  EXPECT_NE(moved.Head().find("Location: http://127.0.0.1:1/download.php\r\n"), std::string::npos);

  // A Host that does not name a loopback host is not copied into the Location.
  for (const char* host : {"evil.example", "evil.example:80", "127.0.0.1.evil.example",
                           "127.0.0.1:80/x", "127.0.0.1:99999", "10.0.0.1:1", ""}) {
    Reply r =
        Fetch(server_->Port(), "GET /302 HTTP/1.0\r\nHost: " + std::string(host) + "\r\n\r\n");
    EXPECT_NE(r.Head().find("Location: http://127.0.0.1:" + std::to_string(server_->Port()) +
                            "/download.php\r\n"),
              std::string::npos)
        << host << "\n"
        << r.Head();
  }
  Reply local = Fetch(server_->Port(), "GET /302 HTTP/1.0\r\nHost: localhost:8123\r\n\r\n");
  EXPECT_NE(local.Head().find("Location: http://localhost:8123/download.php\r\n"),
            std::string::npos);

  Reply cut = Fetch(server_->Port(), Get("/cut"));
  EXPECT_NE(cut.Head().find("Content-Length: 200000\r\n"), std::string::npos);
  EXPECT_EQ(cut.Body(), setup_.substr(0, 1000));
  EXPECT_TRUE(cut.closed);

  Reply chunked = Fetch(server_->Port(), Get("/chunked"));
  EXPECT_NE(chunked.Head().find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_EQ(chunked.Head().find("Content-Length"), std::string::npos);
  EXPECT_EQ(Dechunk(chunked.Body()), setup_);

  Reply nolength = Fetch(server_->Port(), Get("/nolength"));
  EXPECT_EQ(nolength.Head().find("Content-Length"), std::string::npos);
  EXPECT_EQ(nolength.Body(), setup_);

  Reply closed = Fetch(server_->Port(), Get("/close"));
  EXPECT_TRUE(closed.connected);
  EXPECT_TRUE(closed.bytes.empty());
  EXPECT_TRUE(closed.closed);
}

TEST_F(DemoServerTest, SilenceSaysNothingUntilStopped) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Answer("/download.php", "silence");
  Reply r = Fetch(server_->Port(), Get("/download.php"), 300);
  EXPECT_TRUE(r.connected);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_FALSE(r.closed);
}

TEST_F(DemoServerTest, HoldWaitsForRelease) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Answer("/download.php", "hold=5000");
  Reply r;
  std::thread client([&] { r = Fetch(server_->Port(), Get("/download.php")); });
  ASSERT_TRUE(server_->WaitForHold(kDeadlineMs));
  EXPECT_EQ(server_->BodyBytesSent(), 5000);
  server_->Release();
  client.join();
  EXPECT_EQ(r.Body(), setup_);
}

TEST_F(DemoServerTest, ControlFileScriptsAnswersAndRelease) {
  ASSERT_NO_FATAL_FAILURE(Start());
  std::ofstream(options_.ControlFile) << "# scripted\n/download.php hold=10\n/x.php status=503\n";
  EXPECT_EQ(Fetch(server_->Port(), Get("/x.php")).StatusLine(), "HTTP/1.1 503 Service Unavailable");
  Reply r;
  std::thread client([&] { r = Fetch(server_->Port(), Get("/download.php")); });
  ASSERT_TRUE(server_->WaitForHold(kDeadlineMs));
  std::ofstream(options_.ControlFile, std::ios::app) << "release\n";
  client.join();
  EXPECT_EQ(r.Body(), setup_);
}

TEST(DemoServerSafety, ListensOnLoopbackOnly) {
  for (const char* address : {"0.0.0.0", "10.1.2.3", "::1", "localhost", ""}) {
    demo::ServerOptions o;
    o.Address = address;
    demo::DemoServer server(o);
    std::string why;
    EXPECT_FALSE(server.Start(&why)) << address;
    EXPECT_NE(why.find("loopback"), std::string::npos);
  }
  EXPECT_TRUE(demo::IsLoopbackAddress("127.200.3.4"));
}

TEST_F(DemoServerTest, WritesAnNginxSite) {
  fs::path site = dir_ / "nginx";
  std::string why;
  ASSERT_TRUE(demo::WriteNginxSite(site.string(), "127.0.0.1", 8080, options_.SetupFile,
                                   options_.LicenseFile, &why))
      << why;
  std::ifstream conf(site / "nginx.conf");
  std::stringstream text;
  text << conf.rdbuf();
  EXPECT_NE(text.str().find("listen 127.0.0.1:8080;"), std::string::npos);
  EXPECT_NE(text.str().find("location = /download.php"), std::string::npos);
  EXPECT_EQ(fs::file_size(site / "www" / "download.php"), setup_.size());
  EXPECT_FALSE(demo::WriteNginxSite(site.string(), "0.0.0.0", 8080, options_.SetupFile,
                                    options_.LicenseFile, &why));
}

}  // namespace

// The TLS listener: a relocation from plain http to it, its own answers ("https:" + path), a
// whole answer ending with the close-notify and a cut one without, and a certificate that does
// not load refusing the start.
TEST_F(DemoServerTest, TlsListenerTakesTheRelocatedRequest) {
  const fs::path pki = dir_ / "pki";
  ASSERT_EQ(std::system(("'" VEXLOR_MAKE_TLS_SERVER "' '" + pki.string() + "' >/dev/null").c_str()),
            0);
  const std::string root = (pki / "root.pem").string();
  options_.TlsCertFile = (pki / "server.pem").string();
  options_.TlsKeyFile = (pki / "server.key").string();
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NE(server_->TlsPort(), 0);
  ASSERT_NE(server_->TlsPort(), server_->Port());
  Answer("/download.php", "tlsredirect=/download.php");
  Answer("https:/license.php", "license,cut=10");

  Reply moved = Fetch(server_->Port(), Get("/download.php"));
  EXPECT_EQ(moved.StatusLine(), "HTTP/1.1 302 Found");
  EXPECT_NE(moved.Head().find("\r\nLocation: https://localhost:" +
                              std::to_string(server_->TlsPort()) + "/download.php\r\n"),
            std::string::npos)
      << moved.Head();

  TlsReply setup = FetchTls(server_->TlsPort(), root, Get("/download.php"));
  ASSERT_TRUE(setup.handshake);
  EXPECT_EQ(setup.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(setup.Body(), setup_);
  EXPECT_TRUE(setup.clean_end);

  TlsReply cut = FetchTls(server_->TlsPort(), root, Get("/license.php"));
  ASSERT_TRUE(cut.handshake);
  EXPECT_EQ(cut.Body(), "<html><tit");
  EXPECT_FALSE(cut.clean_end);
  EXPECT_EQ(Fetch(server_->Port(), Get("/license.php")).Body(),
            "<html><title>Licence</title></html>");

  // A plain request on the TLS port is no handshake; the server drops it and goes on.
  Reply plain = Fetch(server_->TlsPort(), Get("/download.php"));
  EXPECT_EQ(plain.bytes.find("HTTP/1.1 200"), std::string::npos);
  EXPECT_TRUE(FetchTls(server_->TlsPort(), root, Get("/download.php")).clean_end);

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_FALSE(requests[0].Tls);
  EXPECT_TRUE(requests[1].Tls);

  server_->Stop();
  demo::ServerOptions broken = options_;
  broken.TlsKeyFile = root;  // not the certificate's key
  demo::DemoServer refused(broken);
  std::string why;
  EXPECT_FALSE(refused.Start(&why));
  EXPECT_NE(why.find("TLS certificate"), std::string::npos) << why;
}
