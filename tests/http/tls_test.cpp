// https with the client: nginx with TLS on 127.0.0.1, serving certificates of a test root that
// the openssl command line makes at test time, and a small TLS server of the test's own for
// what nginx will not do (closing in the middle of the handshake, cutting a body with or
// without the close-notify).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <cstring>
#include <random>
#include <thread>

#include "tests/http/debian_proxy.h"
#include "tests/http/nginx_fixture.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_proxy.h"

namespace {

using namespace httptest;
namespace tls = plat::tls;

// A certificate authority and server certificates, made with the openssl command line.
class TestPki {
 public:
  explicit TestPki(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "openssl.cnf")
        << "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n"
        << "[ca_ext]\nbasicConstraints = critical,CA:TRUE\n"
        << "keyUsage = critical,keyCertSign,cRLSign\nsubjectKeyIdentifier = hash\n"
        << "[ca]\ndefault_ca = ca_default\n[ca_default]\ndir = .\ndatabase = index.txt\n"
        << "new_certs_dir = .\nserial = serial\ndefault_md = sha256\npolicy = any\n"
        << "unique_subject = no\n[any]\ncommonName = supplied\n";
    std::ofstream(dir_ / "index.txt");
    std::ofstream(dir_ / "serial") << "1000\n";
    ok_ = Root("root", "Vexlor Test Root") && Root("other", "Unknown Test Root") &&
          Leaf("good", "root", "DNS:localhost,IP:127.0.0.1", "-days 30") &&
          Leaf("expired", "root", "DNS:localhost,IP:127.0.0.1",
               "-startdate 20200101000000Z -enddate 20200201000000Z") &&
          Leaf("wronghost", "root", "DNS:other.invalid,IP:127.0.0.2", "-days 30") &&
          Leaf("unknown", "other", "DNS:localhost,IP:127.0.0.1", "-days 30");
  }
  bool Ok() const { return ok_; }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  bool Run(const std::string& cmd) {
    const std::string full = "cd '" + dir_.string() + "' && " + cmd + " >>log.txt 2>&1";
    return std::system(full.c_str()) == 0;
  }
  bool Root(const std::string& name, const std::string& cn) {
    return Run(
        "openssl req -config openssl.cnf -x509 -newkey ec -pkeyopt "
        "ec_paramgen_curve:P-256 -nodes -keyout " +
        name + ".key -out " + name + ".pem -days 30 -subj '/CN=" + cn + "' -extensions ca_ext");
  }
  bool Leaf(const std::string& name, const std::string& ca, const std::string& san,
            const std::string& dates) {
    std::ofstream(dir_ / (name + ".ext"))
        << "basicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\nsubjectAltName = " << san
        << "\n";
    return Run("openssl req -config openssl.cnf -new -newkey ec -pkeyopt "
               "ec_paramgen_curve:P-256 -nodes -keyout " +
               name + ".key -out " + name + ".csr -subj '/CN=" + name + "'") &&
           Run("openssl ca -config openssl.cnf -batch -notext -cert " + ca + ".pem -keyfile " + ca +
               ".key -in " + name + ".csr -out " + name + ".pem -extfile " + name + ".ext " +
               dates);
  }

  fs::path dir_;
  bool ok_ = false;
};

// Ports of the servers nginx runs besides its plain one.
struct Ports {
  std::uint16_t good = support::UnusedLoopbackPort();
  std::uint16_t expired = support::UnusedLoopbackPort();
  std::uint16_t wronghost = support::UnusedLoopbackPort();
  std::uint16_t unknown = support::UnusedLoopbackPort();
  std::uint16_t tls10 = support::UnusedLoopbackPort();
};

std::string TlsServer(std::uint16_t port, const std::string& cert, const std::string& extra) {
  return "  server {\n    listen 127.0.0.1:" + std::to_string(port) +
         " ssl;\n    root @DIR@/www;\n    ssl_certificate @DIR@/pki/" + cert +
         ".pem;\n    ssl_certificate_key @DIR@/pki/" + cert + ".key;\n" + extra + "  }\n";
}

std::string NginxServers(const Ports& p, std::uint16_t plain) {
  const std::string good = "https://localhost:" + std::to_string(p.good);
  return TlsServer(
             p.good, "good",
             "    location = /to-plain { return 302 http://127.0.0.1:" + std::to_string(plain) +
                 "/index.html; }\n" + "    location = /to-relative { return 302 /index.html; }\n" +
                 "    location /ssi/ { ssi on; }\n") +
         TlsServer(p.expired, "expired", "") + TlsServer(p.wronghost, "wronghost", "") +
         TlsServer(p.unknown, "unknown", "") +
         TlsServer(p.tls10, "good",
                   "    ssl_protocols TLSv1;\n    ssl_ciphers DEFAULT:@SECLEVEL=0;\n") +
         // The plain server's way to the secure one, on a server of its own.
         "  server {\n    listen 127.0.0.1:" + std::to_string(plain) +
         ";\n    root @DIR@/www;\n    location = /to-secure { return 302 " + good +
         "/index.html; }\n  }\n";
}

class TlsNginxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ports_ = new Ports;
    plain_ = support::UnusedLoopbackPort();
    nginx_ = new Nginx(NginxServers(*ports_, plain_));
    pki_ = new TestPki(nginx_->Dir() / "pki");
    nginx_->Serve("index.html", "<html>secure home</html>");
    big_ = new std::string(8u * 1000u * 1000u + 7u, '\0');
    std::mt19937 gen(14);
    for (char& c : *big_)
      c = static_cast<char>(gen());
    nginx_->Serve("big.bin", *big_);
    nginx_->Serve("ssi/page.html",
                  std::string(200000, 's') + "<!--# echo var=\"none\" default=\"end\" -->");
    started_ = pki_->Ok() && nginx_->Start();
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete nginx_;
    delete big_;
    delete ports_;
  }
  void SetUp() override {
    ASSERT_TRUE(pki_->Ok()) << "the openssl command line failed";
    ASSERT_TRUE(started_) << nginx_->Log();
    cli_.SetName(u"HttpCli");
    InstallerSettings(cli_);
    cli_.SetTimeout(20);
    cli_.SetSslTrustedRootsFile(U16(pki_->Path("root.pem")));
    rec_.Attach(cli_);
    cli_.SetRcvdStream(&stream_);
  }

  static String Https(std::uint16_t port, const std::string& path,
                      const std::string& host = "localhost") {
    return U16("https://" + host + ":" + std::to_string(port) + path);
  }
  // Get, keeping its exception out of the test: the outcome is read from the recorder.
  void Fetch(const String& url) {
    cli_.SetURL(url);
    try {
      cli_.Get();
    } catch (EHttpException&) {
    }
  }

  static inline Ports* ports_ = nullptr;
  static inline std::uint16_t plain_ = 0;
  static inline Nginx* nginx_ = nullptr;
  static inline TestPki* pki_ = nullptr;
  static inline std::string* big_ = nullptr;
  static inline bool started_ = false;

  THttpCli cli_{nullptr};
  Recorder rec_;
  TMemoryStream stream_;
};

TEST_F(TlsNginxTest, GoodCertificateByNameAndByAddress) {
  for (const char* host : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    rec_ = Recorder();
    rec_.Attach(cli_);
    stream_.SetSize(0);
    bool established_at_connect = false;
    cli_.OnSessionConnected = [&](TObject*) {
      established_at_connect = cli_.CtrlSocket()->SslEstablished();
    };
    Fetch(Https(ports_->good, "/index.html", host));
    EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
    EXPECT_EQ(cli_.StatusCode(), 200);
    EXPECT_EQ(stream_.View(), "<html>secure home</html>");
    EXPECT_TRUE(established_at_connect);  // the handshake had ended before the event
  }
}

// The owner sees the same events in the same order over https as over http.
TEST_F(TlsNginxTest, EventsAsOverPlainHttp) {
  Fetch(U16("http://127.0.0.1:" + std::to_string(plain_) + "/index.html"));
  ASSERT_EQ(rec_.done_err, 0);
  const std::string plain = rec_.Joined();
  rec_ = Recorder();
  rec_.Attach(cli_);
  stream_.SetSize(0);
  Fetch(Https(ports_->good, "/index.html", "127.0.0.1"));
  EXPECT_EQ(rec_.done_err, 0);
  EXPECT_EQ(rec_.Joined(), plain);
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
}

// Every refusal ends the request with its own code and names the reason.
TEST_F(TlsNginxTest, RefusedServersNameTheirReason) {
  struct Case {
    const char* name;
    std::uint16_t Ports::*port;
    const char* host;
    int err;
    const char* reason;
  };
  const Case cases[] = {
      {"expired", &Ports::expired, "localhost", tls::kTlsErrVerify, "certificate has expired"},
      {"wrong host", &Ports::wronghost, "localhost", tls::kTlsErrVerify, "hostname mismatch"},
      {"wrong address", &Ports::wronghost, "127.0.0.1", tls::kTlsErrVerify, "IP address mismatch"},
      {"unknown issuer", &Ports::unknown, "localhost", tls::kTlsErrVerify,
       "unable to get local issuer certificate"},
      {"TLS 1.0 only", &Ports::tls10, "localhost", tls::kTlsErrVersion, "protocol version"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_ = Recorder();
    rec_.Attach(cli_);
    stream_.SetSize(0);
    Fetch(Https(ports_->*c.port, "/index.html", c.host));
    EXPECT_EQ(rec_.done_count, 1);
    EXPECT_EQ(rec_.done_err, c.err);
    EXPECT_NE(U8(cli_.ReasonPhrase()).find(c.reason), std::string::npos) << U8(cli_.ReasonPhrase());
    EXPECT_EQ(rec_.Count("SessionConnected"), 1);
    EXPECT_EQ(rec_.Count("HeaderBegin"), 0);  // no request went out
    EXPECT_EQ(stream_.Size(), 0);
  }
}

TEST_F(TlsNginxTest, TestRootIsNotTrustedWithoutTheSetting) {
  cli_.SetSslTrustedRootsFile(String());
  Fetch(Https(ports_->good, "/index.html"));
  EXPECT_EQ(rec_.done_err, tls::kTlsErrVerify);
  cli_.SetSslTrustedRootsFile(U16(pki_->Path("no-such-roots.pem")));
  rec_ = Recorder();
  rec_.Attach(cli_);
  Fetch(Https(ports_->good, "/index.html"));
  EXPECT_EQ(rec_.done_err, tls::kTlsErrRoots);
  EXPECT_NE(U8(cli_.ReasonPhrase()).find("no-such-roots.pem"), std::string::npos);
}

// https through an HTTP proxy: the tunnel to the target, TLS to the target through it.
TEST_F(TlsNginxTest, HttpsThroughTheTestProxysTunnel) {
  support::TestHttpProxy proxy;
  proxy.RequireBasic("user", "pass");
  proxy.SetCloseAfter407(true);
  cli_.SetProxy(u"127.0.0.1");
  cli_.SetProxyPort(U16(std::to_string(proxy.Port())));
  cli_.SetProxyUsername(u"user");
  cli_.SetProxyPassword(u"pass");
  Fetch(Https(ports_->good, "/big.bin"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_EQ(cli_.StatusCode(), 200);
  EXPECT_TRUE(stream_.View() == *big_);
  // Another target through the same proxy gets a tunnel of its own, not the open one.
  stream_.SetSize(0);
  Fetch(Https(ports_->good, "/index.html", "127.0.0.1"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
  const std::string good = std::to_string(ports_->good);
  EXPECT_EQ(proxy.Passed(), (std::vector<std::string>{"localhost:" + good, "127.0.0.1:" + good}));
  // Inside the tunnel the request is the target's own: origin form, no proxy fields.
  EXPECT_EQ(proxy.Requests().back().rfind("CONNECT 127.0.0.1:" + good + " HTTP/1.0\r\n", 0), 0u);
  // A certificate the client refuses is refused through the tunnel as well.
  Fetch(Https(ports_->expired, "/index.html"));
  EXPECT_EQ(rec_.done_err, tls::kTlsErrVerify);
}

std::string TinyproxyConfig(bool with_auth) {
  return std::string(
             "Port @PORT@\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
             "Allow 127.0.0.1\nLogLevel Info\nLogFile \"@DIR@/tinyproxy.log\"\n"
             "PidFile \"@DIR@/tinyproxy.pid\"\n") +
         (with_auth ? "BasicAuth user pass\n" : "");
}

// Debian's tinyproxy with BasicAuth: a tunnel for https and the absolute form for http, both
// answering its 407 with the proxy credentials.
TEST_F(TlsNginxTest, TinyproxyWithBasicAuthentication) {
  httptest::DebianProxy tinyproxy("tinyproxy", TinyproxyConfig(true), "-d -c '@CONF@'");
  if (!tinyproxy.Installed()) {
    if (httptest::DebianProxy::MustExist()) FAIL() << "tinyproxy is not installed";
    GTEST_SKIP() << "tinyproxy is not installed (scripts/setup installs it)";
  }
  ASSERT_TRUE(tinyproxy.Ready()) << tinyproxy.Log() << tinyproxy.Log("tinyproxy.log");
  cli_.SetProxy(u"127.0.0.1");
  cli_.SetProxyPort(U16(std::to_string(tinyproxy.Port())));
  cli_.SetProxyUsername(u"user");
  cli_.SetProxyPassword(u"pass");
  Fetch(Https(ports_->good, "/index.html"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
  stream_.SetSize(0);
  Fetch(U16("http://127.0.0.1:" + std::to_string(plain_) + "/index.html"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_EQ(cli_.StatusCode(), 200);
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
  // Wrong credentials end the tunnel with the proxy's refusal (tinyproxy answers them with a
  // 401 after its 407), not with a loop.
  cli_.SetProxyPassword(u"wrong");
  Fetch(Https(ports_->good, "/index.html"));
  EXPECT_TRUE(rec_.done_err == 21401 || rec_.done_err == 21407) << U8(cli_.ReasonPhrase());
}

// Debian's dante server: SOCKS 5 to the plain and the secure server.
TEST_F(TlsNginxTest, DanteSocks5) {
  httptest::DebianProxy dante("danted",
                              "logoutput: @DIR@/danted.log\n"
                              "internal: 127.0.0.1 port = @PORT@\n"
                              "external: 127.0.0.1\n"
                              "clientmethod: none\nsocksmethod: none\n"
                              "user.privileged: root\nuser.unprivileged: nobody\n"
                              "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                              "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
                              "  command: connect\n}\n"
                              "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n",
                              "-f '@CONF@' -N 1 -p '@DIR@/danted.pid'");
  if (!dante.Installed()) {
    if (httptest::DebianProxy::MustExist()) FAIL() << "danted is not installed";
    GTEST_SKIP() << "danted is not installed (scripts/setup installs dante-server)";
  }
  ASSERT_TRUE(dante.Ready()) << dante.Log() << dante.Log("danted.log");
  cli_.SetSocksServer(u"127.0.0.1");
  cli_.SetSocksPort(U16(std::to_string(dante.Port())));
  cli_.SetSocksLevel(u"5");
  Fetch(U16("http://127.0.0.1:" + std::to_string(plain_) + "/index.html"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
  stream_.SetSize(0);
  Fetch(Https(ports_->good, "/big.bin", "127.0.0.1"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_TRUE(stream_.View() == *big_);
}

TEST_F(TlsNginxTest, LargeBodyArrivesByteForByte) {
  Fetch(Https(ports_->good, "/big.bin"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  ASSERT_EQ(stream_.Size(), static_cast<std::int64_t>(big_->size()));
  EXPECT_TRUE(stream_.View() == *big_);
  EXPECT_GT(rec_.doc_data_blocks, 1);
}

TEST_F(TlsNginxTest, ChunkedAnswerThenTheConnectionIsReused) {
  cli_.SetRequestVer(u"1.1");
  Fetch(Https(ports_->good, "/ssi/page.html"));
  EXPECT_EQ(rec_.done_err, 0) << U8(cli_.ReasonPhrase());
  EXPECT_TRUE(stream_.View() == std::string(200000, 's') + "end");
  ASSERT_EQ(cli_.CtrlSocket()->State(), wsConnected);
  rec_.events.clear();
  stream_.SetSize(0);
  Fetch(Https(ports_->good, "/index.html"));
  EXPECT_EQ(stream_.View(), "<html>secure home</html>");
  EXPECT_EQ(rec_.Count("State:httpDnsLookup"), 0);  // the same TLS session
  cli_.Close();
}

TEST_F(TlsNginxTest, RelocationsUpToHttpsAndNeverBack) {
  struct Case {
    const char* name;
    String url;
    int err;
    int status;
    const char* body;
    String location;
  };
  const String secure_home = Https(ports_->good, "/index.html");
  const Case cases[] = {
      {"http to https", U16("http://127.0.0.1:" + std::to_string(plain_) + "/to-secure"), 0, 200,
       "<html>secure home</html>", secure_home},
      {"https to a path", Https(ports_->good, "/to-relative"), 0, 200, "<html>secure home</html>",
       secure_home},
      {"https to http", Https(ports_->good, "/to-plain"), reqErrInsecureRelocation, 302, "",
       String()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_ = Recorder();
    rec_.Attach(cli_);
    stream_.SetSize(0);
    Fetch(c.url);
    EXPECT_EQ(rec_.done_count, 1);
    EXPECT_EQ(rec_.done_err, c.err) << U8(cli_.ReasonPhrase());
    EXPECT_EQ(cli_.StatusCode(), c.status);
    if (c.err == 0) {
      EXPECT_EQ(stream_.View(), c.body);
      EXPECT_EQ(cli_.Location(), c.location);
    } else {
      EXPECT_EQ(rec_.Count("LocationChange"), 0);
      EXPECT_NE(U8(cli_.ReasonPhrase()).find("after https"), std::string::npos);
    }
  }
}

// A TLS server of the test's own, on its own thread, for one connection at a time.
class ScriptedTlsServer {
 public:
  // AnswerThenListen: Answer, then reads until the client ends the session (see
  // ClientClosedInOrder).
  enum class Mode { CloseInHandshake, ResetInHandshake, Answer, AnswerThenListen };

  ScriptedTlsServer(const std::string& cert, const std::string& key) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~ScriptedTlsServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    SSL_CTX_free(ctx_);
  }
  std::uint16_t Port() const { return port_; }
  // After AnswerThenListen: whether the client ended with its close-notify. Waits for the
  // connection's end.
  bool ClientClosedInOrder() {
    if (thread_.joinable()) thread_.join();
    return client_close_notify_;
  }

  // Serves one connection: Answer sends Bytes after the request, then RawTail past the
  // session (bytes that are no record), then the close-notify when asked, then closes the TCP
  // connection.
  void ServeOne(Mode mode, std::string bytes = std::string(), bool close_notify = false,
                std::string raw_tail = std::string()) {
    if (thread_.joinable()) thread_.join();
    thread_ = std::thread([=, this] { Serve(mode, bytes, close_notify, raw_tail); });
  }

 private:
  void Serve(Mode mode, const std::string& bytes, bool close_notify, const std::string& raw_tail) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (mode == Mode::CloseInHandshake) {
      // The whole hello (its record's length is in bytes 3 and 4), then an orderly close.
      unsigned char head[5];
      if (::recv(fd, head, sizeof head, MSG_WAITALL) == 5) {
        std::string hello(static_cast<std::size_t>(head[3] << 8 | head[4]), '\0');
        [[maybe_unused]] auto n = ::recv(fd, hello.data(), hello.size(), MSG_WAITALL);
      }
      ::close(fd);
      return;
    }
    if (mode == Mode::ResetInHandshake) {
      char part[16];
      [[maybe_unused]] auto n = ::recv(fd, part, sizeof part, MSG_WAITALL);
      linger l{1, 0};  // a reset instead of the orderly close
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(fd);
      return;
    }
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::string request;
      char buf[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
      if (!raw_tail.empty()) ::send(fd, raw_tail.data(), raw_tail.size(), MSG_NOSIGNAL);
      if (close_notify) SSL_shutdown(ssl);
      if (mode == Mode::AnswerThenListen) {
        char rest[256];
        int n;
        while ((n = SSL_read(ssl, rest, sizeof rest)) > 0) {
        }
        client_close_notify_ = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
      }
    }
    SSL_free(ssl);
    ERR_clear_error();
    ::close(fd);
  }

  SSL_CTX* ctx_ = nullptr;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  bool client_close_notify_ = false;
};

TEST_F(TlsNginxTest, ServerClosingInTheHandshake) {
  struct Case {
    ScriptedTlsServer::Mode mode;
    const char* reason;
  };
  const Case cases[] = {
      {ScriptedTlsServer::Mode::CloseInHandshake, "closed during the handshake (Error #22004)"},
      {ScriptedTlsServer::Mode::ResetInHandshake, "closed during the handshake: Connection reset"},
  };
  ScriptedTlsServer server(pki_->Path("good.pem"), pki_->Path("good.key"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    rec_ = Recorder();
    rec_.Attach(cli_);
    server.ServeOne(c.mode);
    Fetch(Https(server.Port(), "/"));
    EXPECT_EQ(rec_.done_count, 1);
    EXPECT_EQ(rec_.done_err, tls::kTlsErrClosedInHandshake);
    EXPECT_NE(U8(cli_.ReasonPhrase()).find(c.reason), std::string::npos) << U8(cli_.ReasonPhrase());
    EXPECT_EQ(rec_.Count("HeaderBegin"), 0);
  }
}

// The framing decides whether the end was early; the close-notify does not make a short body
// complete, and its absence does not spoil a complete one.
TEST_F(TlsNginxTest, EndOfTheSessionAgainstTheFraming) {
  struct Case {
    const char* name;
    std::string answer;
    bool close_notify;
    int err;
    const char* body;
    std::string raw_tail = std::string();
  };
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n";
  const Case cases[] = {
      {"short body, no close-notify", header + "12345", false, reqErrDocIncomplete, "12345"},
      {"short body, close-notify", header + "12345", true, reqErrDocIncomplete, "12345"},
      {"whole body, no close-notify", header + "1234567890", false, 0, "1234567890"},
      {"body to the close-notify", "HTTP/1.0 200 OK\r\n\r\nuntil the end", true, 0,
       "until the end"},
      {"body to a bare close", "HTTP/1.0 200 OK\r\n\r\nuntil the end", false, reqErrDocIncomplete,
       "until the end"},
      // A record that fails its check ends the session, and the request with it.
      {"forged record", header + "12345", false, tls::kTlsErrProtocol, "12345",
       std::string("\x17\x03\x03\x00\x20") + std::string(32, 'x')},
  };
  ScriptedTlsServer server(pki_->Path("good.pem"), pki_->Path("good.key"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_ = Recorder();
    rec_.Attach(cli_);
    stream_.SetSize(0);
    server.ServeOne(ScriptedTlsServer::Mode::Answer, c.answer, c.close_notify, c.raw_tail);
    Fetch(Https(server.Port(), "/"));
    EXPECT_EQ(rec_.done_count, 1);
    EXPECT_EQ(rec_.done_err, c.err) << U8(cli_.ReasonPhrase());
    EXPECT_EQ(stream_.View(), c.body);
  }
}

// The socket alone: bytes sent before the handshake has ended wait for it, the handshake's own
// bytes are no OnDataSent, and OnSessionConnected comes before any data event.
TEST_F(TlsNginxTest, SocketHoldsEarlyBytesAndKeepsTheEventOrder) {
  ScriptedTlsServer server(pki_->Path("good.pem"), pki_->Path("good.key"));
  server.ServeOne(ScriptedTlsServer::Mode::Answer, "early bytes answered", true);
  TWSocket sock(nullptr);
  std::vector<std::string> events;
  std::string data;
  bool closed = false, in_order = false;
  sock.OnChangeState = [&](TObject*, TSocketState, TSocketState now) {
    if (now == wsConnected) sock.SendStr(AnsiString("GET / HTTP/1.0\r\n\r\n"));
  };
  sock.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    events.push_back("Connected(" + std::to_string(e) + ")");
  };
  sock.OnDataSent = [&](TObject*, std::uint16_t) {
    if (events.empty() || events.back() != "DataSent") events.push_back("DataSent");
  };
  sock.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[256];
    const std::int32_t n = sock.Receive(buf, sizeof buf);
    if (n <= 0) return;
    data.append(buf, static_cast<std::size_t>(n));
    if (events.empty() || events.back() != "Data") events.push_back("Data");
  };
  sock.OnSessionClosed = [&](TObject*, std::uint16_t e) {
    events.push_back("Closed(" + std::to_string(e) + ")");
    in_order = sock.SslClosedInOrder();
    closed = true;
  };
  sock.SetAddr(u"127.0.0.1");
  sock.SetPort(U16(std::to_string(server.Port())));
  sock.SetSslEnable(true);
  sock.SetSslServerName(u"localhost");
  sock.SetSslTrustedRootsFile(U16(pki_->Path("root.pem")));
  sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_EQ(::testing::PrintToString(events),
            ::testing::PrintToString(
                std::vector<std::string>{"Connected(0)", "DataSent", "Data", "Closed(0)"}));
  EXPECT_EQ(data, "early bytes answered");
  EXPECT_TRUE(in_order);
}

// Closing an established session sends the close-notify first, so the server can tell an
// orderly end from a cut one; an abort sends none.
TEST_F(TlsNginxTest, CloseEndsTheSessionWithTheCloseNotify) {
  ScriptedTlsServer server(pki_->Path("good.pem"), pki_->Path("good.key"));
  for (const bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "Abort" : "Close");
    server.ServeOne(ScriptedTlsServer::Mode::AnswerThenListen, "answer");
    TWSocket sock(nullptr);
    std::string data;
    bool closed = false;
    sock.OnSessionConnected = [&](TObject*, std::uint16_t) {
      sock.SendStr(AnsiString("GET / HTTP/1.0\r\n\r\n"));
    };
    sock.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char buf[256];
      const std::int32_t n = sock.Receive(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
      if (data == "answer") abort ? sock.Abort() : sock.Close();
    };
    sock.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    sock.SetAddr(u"127.0.0.1");
    sock.SetPort(U16(std::to_string(server.Port())));
    sock.SetSslEnable(true);
    sock.SetSslServerName(u"localhost");
    sock.SetSslTrustedRootsFile(U16(pki_->Path("root.pem")));
    sock.Connect();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_EQ(data, "answer");
    EXPECT_EQ(server.ClientClosedInOrder(), !abort);
  }
}

#ifdef VEXLOR_FETCH_PATH
// Runs vexlor-fetch through the shell under `env` (the words of an env command) with `args`;
// its exit status and what it printed, which goes through the file `err`.
std::pair<int, std::string> RunFetchTool(const std::string& env, const std::string& args,
                                         const fs::path& err) {
  const std::string cmd =
      "env " + env + " '" + VEXLOR_FETCH_PATH + "' " + args + " 2>'" + err.string() + "'";
  const int rc = std::system(cmd.c_str());
  std::ifstream in(err);
  return {(rc >> 8) & 0xFF, std::string(std::istreambuf_iterator<char>(in), {})};
}

// vexlor-fetch takes https URLs and trusts the system's roots, which SSL_CERT_FILE names for
// OpenSSL programs, and the roots of its option.
TEST_F(TlsNginxTest, FetchToolVerifiesAgainstTheSystemRootsAndItsOption) {
  struct Case {
    const char* name;
    std::string env;
    std::string option;
    int exit_status;
    const char* output;
  };
  const std::string root = pki_->Path("root.pem");
  const Case cases[] = {
      {"roots option", "", "--roots '" + root + "' ", 0, ""},
      {"SSL_CERT_FILE", "SSL_CERT_FILE='" + root + "' ", "", 0, ""},
      {"neither", "", "", 1, "error 22002 "},
  };
  const fs::path out = nginx_->Dir() / "fetched.html";
  const fs::path err = nginx_->Dir() / "fetch-stderr.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(out);
    const auto [status, printed] = RunFetchTool(
        "-u SSL_CERT_FILE -u SSL_CERT_DIR " + c.env,
        c.option + "'" + U8(Https(ports_->good, "/index.html")) + "' '" + out.string() + "'", err);
    EXPECT_EQ(status, c.exit_status) << printed;
    EXPECT_EQ(printed.rfind(c.output, 0), 0u) << printed;
    EXPECT_EQ(fs::exists(out), c.exit_status == 0);
  }
}

// vexlor-fetch through the proxies its variables name, as curl reads them: an HTTP proxy that
// asks for Digest credentials (plain http in absolute form), a CONNECT tunnel with Basic to an
// https server, and SOCKS 5 with a password, the name resolved by the SOCKS server.
TEST_F(TlsNginxTest, FetchToolGoesThroughTheProxiesOfItsVariables) {
  support::TestHttpProxy digest_proxy, basic_proxy;
  digest_proxy.RequireDigest("ann", "se:cret");
  basic_proxy.RequireBasic("ann", "se:cret");
  support::TestSocksServer socks;
  socks.RequirePassword("ann", "se:cret");
  socks.MapHost("localhost", "127.0.0.1");
  const std::string good = std::to_string(ports_->good);
  const std::string plain_url = "http://127.0.0.1:" + std::to_string(plain_) + "/index.html";
  struct Case {
    const char* name;
    std::string variable;  // name=value
    std::string url;
    std::function<std::vector<std::string>()> passed;
    std::vector<std::string> expected;
  };
  const auto creds = [](std::uint16_t port, const char* scheme) {
    return std::string(scheme) + "://ann:se%3Acret@127.0.0.1:" + std::to_string(port);
  };
  const Case cases[] = {
      {"HTTP proxy with Digest",
       "http_proxy=" + creds(digest_proxy.Port(), "http"),
       plain_url,
       [&] { return digest_proxy.Passed(); },
       {plain_url}},
      {"CONNECT tunnel with Basic",
       "https_proxy=" + creds(basic_proxy.Port(), "http"),
       U8(Https(ports_->good, "/index.html")),
       [&] { return basic_proxy.Passed(); },
       {"localhost:" + good}},
      {"SOCKS 5 with a password",
       "all_proxy=" + creds(socks.Port(), "socks5h"),
       U8(Https(ports_->good, "/index.html")),
       [&] { return socks.Targets(); },
       {"5 localhost:" + good}},
  };
  const fs::path out = nginx_->Dir() / "proxied.html";
  const fs::path err = nginx_->Dir() / "proxied-stderr.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(out);
    const auto [status, printed] = RunFetchTool(
        "-u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY -u no_proxy "
        "-u NO_PROXY '" +
            c.variable + "'",
        "-v --retries 0 --roots '" + pki_->Path("root.pem") + "' '" + c.url + "' '" + out.string() +
            "'",
        err);
    EXPECT_EQ(status, 0) << printed;
    std::ifstream body(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(body), {}), "<html>secure home</html>");
    EXPECT_EQ(c.passed(), c.expected);
    EXPECT_EQ(printed.find("se:cret"), std::string::npos) << printed;
  }
}
#endif

#ifdef VEXLOR_WINDOWS_TARGET
// The Windows build's vexlor-fetch.exe (SChannel) under Wine, against the same servers as the
// Linux client above. The facts file of the Windows build names the program and the Wine
// loader. Wine runs it in a prefix of this test's own, made once, on a private X display (the
// program's hidden windows need a display driver); no Wine dialog can come up: the
// HTML engine and Mono are switched off and the program is a console program.
class WindowsFetch {
 public:
  WindowsFetch() {
    std::ifstream in(VEXLOR_WINDOWS_TARGET);
    for (std::string line; std::getline(in, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) facts_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    prefix_ = fs::path(VEXLOR_TLS_WORK_DIR) / "wine-prefix";
  }
  // Empty when the program can run; else why not.
  std::string Prepare() {
    if (facts_["fetch"].empty() || !fs::exists(facts_["fetch"]))
      return "no vexlor-fetch.exe in " VEXLOR_WINDOWS_TARGET;
    if (fs::exists(prefix_ / "system.reg")) return std::string();
    fs::create_directories(prefix_.parent_path());
    const std::string log = (prefix_.parent_path() / "wineboot.log").string();
    // The registry files are written when the prefix's wineserver ends.
    fs::path server = fs::path(facts_["wine"]).parent_path() / "wineserver";
    if (!fs::exists(server)) server = "/usr/lib/wine/wineserver";
    // No crash window may wait for a click: a crash prints the debugger's backtrace and ends.
    if (Shell(Env() + " DISPLAY= '" + facts_["wine"] + "' wineboot -i >'" + log + "' 2>&1") != 0 ||
        Shell(Env() + " DISPLAY= '" + facts_["wine"] +
              "' reg add 'HKCU\\Software\\Wine\\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f "
              ">>'" +
              log + "' 2>&1") != 0 ||
        Shell(Env() + " '" + server.string() + "' -w >>'" + log + "' 2>&1") != 0 ||
        !fs::exists(prefix_ / "system.reg"))
      return "wineboot could not make " + prefix_.string() + " (see " + log + ")";
    return std::string();
  }
  // Runs vexlor-fetch.exe with Args (already quoted for the shell); its exit status, and what
  // it printed to its standard error in Printed.
  int Run(const std::string& args, std::string& printed) {
    const fs::path err = prefix_.parent_path() / "fetch-stderr.txt";
    const int rc =
        Shell("xvfb-run -a -s '-screen 0 640x480x24' " + Env() + " '" + facts_["wine"] + "' '" +
              facts_["fetch"] + "' " + args + " 2>'" + err.string() + "' </dev/null >/dev/null");
    std::ifstream in(err);
    printed.assign(std::istreambuf_iterator<char>(in), {});
    return rc;
  }
  // The Windows name of a file of this machine (Wine's drive Z: is the root).
  static std::string WindowsPath(const fs::path& p) {
    std::string s = "Z:" + p.string();
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
  }

 private:
  std::string Env() const {
    return "env WINEPREFIX='" + prefix_.string() +
           "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'";
  }
  static int Shell(const std::string& cmd) {
    const int rc = std::system(cmd.c_str());
    return rc == -1 ? -1 : (rc >> 8) & 0xFF;
  }

  std::map<std::string, std::string> facts_;
  fs::path prefix_;
};

TEST_F(TlsNginxTest, WindowsFetchMeetsTheSameServers) {
  WindowsFetch fetch;
  const std::string why = fetch.Prepare();
  ASSERT_TRUE(why.empty()) << why;
  ScriptedTlsServer own(pki_->Path("good.pem"), pki_->Path("good.key"));
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n";
  struct Case {
    const char* name;
    std::string url;
    std::vector<int> errors;  // empty: a good download of `body`
    std::string body;
    bool roots = true;
    std::function<void()> serve = nullptr;
  };
  const auto https = [](std::uint16_t port, const char* path) { return U8(Https(port, path)); };
  const Case cases[] = {
      {"good certificate", https(ports_->good, "/index.html"), {}, "<html>secure home</html>"},
      {"large body", https(ports_->good, "/big.bin"), {}, *big_},
      {"http to https",
       "http://127.0.0.1:" + std::to_string(plain_) + "/to-secure",
       {},
       "<html>secure home</html>"},
      {"https to http", https(ports_->good, "/to-plain"), {reqErrInsecureRelocation}, ""},
      {"no extra roots", https(ports_->good, "/index.html"), {tls::kTlsErrVerify}, "", false},
      {"expired", https(ports_->expired, "/index.html"), {tls::kTlsErrVerify}, ""},
      {"wrong host", https(ports_->wronghost, "/index.html"), {tls::kTlsErrVerify}, ""},
      {"unknown issuer", https(ports_->unknown, "/index.html"), {tls::kTlsErrVerify}, ""},
      // Windows names the version; Wine's SChannel (on GnuTLS) reports a failed handshake.
      {"TLS 1.0 only",
       https(ports_->tls10, "/index.html"),
       {tls::kTlsErrVersion, tls::kTlsErrHandshake},
       ""},
      {"closed in the handshake",
       https(own.Port(), "/"),
       {tls::kTlsErrClosedInHandshake},
       "",
       true,
       [&] { own.ServeOne(ScriptedTlsServer::Mode::CloseInHandshake); }},
      {"cut body",
       https(own.Port(), "/"),
       {reqErrDocIncomplete},
       "",
       true,
       [&] { own.ServeOne(ScriptedTlsServer::Mode::Answer, header + "12345"); }},
  };
  const fs::path out = nginx_->Dir() / "windows-fetched.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(out);
    if (c.serve) c.serve();
    std::string printed;
    const std::string roots =
        c.roots ? "--roots '" + WindowsFetch::WindowsPath(pki_->Path("root.pem")) + "' " : "";
    const int rc = fetch.Run(
        "--retries 0 " + roots + "'" + c.url + "' '" + WindowsFetch::WindowsPath(out) + "'",
        printed);
    if (c.errors.empty()) {
      EXPECT_EQ(rc, 0) << printed;
      std::ifstream in(out, std::ios::binary);
      const std::string got(std::istreambuf_iterator<char>(in), {});
      EXPECT_TRUE(got == c.body) << got.size() << " bytes";
      continue;
    }
    EXPECT_EQ(rc, 1) << printed;
    // The error line is the program's last; Wine's GnuTLS may print a line of its own before.
    bool named = false;
    for (int e : c.errors) {
      const std::string line = "error " + std::to_string(e) + " ";
      named =
          named || printed.rfind(line, 0) == 0 || printed.find("\n" + line) != std::string::npos;
    }
    EXPECT_TRUE(named) << printed;
    EXPECT_FALSE(fs::exists(out));
  }
}
#endif

}  // namespace
