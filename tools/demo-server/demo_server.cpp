// The demo download server over POSIX sockets (a Linux tool, like the tests that use it).
#include "tools/demo-server/demo_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <sstream>

namespace demo {
namespace {

// "sha-256=:BASE64:", the digest field's dictionary member, computed with OpenSSL so that the
// client's own hash is checked against another implementation. `wrong` turns one bit over.
std::string DigestField(const std::string& bytes, bool wrong) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  if (wrong) digest[0] ^= 1;
  unsigned char text[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(text, digest, SHA256_DIGEST_LENGTH);
  return "sha-256=:" + std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n)) +
         ":";
}

// How long a client may take to send its request, and how long the server lingers for the
// client to close after the answer, before it gives up on the connection.
constexpr int kRequestTimeoutMs = 10000;
constexpr int kLingerMs = 2000;
constexpr std::size_t kMaxRequest = 16 * 1024;
constexpr int kStep = 50;  // every wait wakes this often to notice Stop
constexpr std::size_t kChunk = 4096;

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
  }
  return "Status";
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

bool ParseInt(const std::string& s, std::int64_t& v) {
  if (s.empty() || s.size() > 18) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// The value of a header field of the raw request, empty when absent.
std::string HeaderField(const std::string& raw, const std::string& name) {
  std::istringstream in(raw);
  std::string line;
  std::getline(in, line);  // request line
  while (std::getline(in, line)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    if (key.size() != name.size()) continue;
    bool same = std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) ==
             std::tolower(static_cast<unsigned char>(b));
    });
    if (same) return Trim(line.substr(colon + 1));
  }
  return {};
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

bool IsLoopbackHostField(const std::string& host) {
  std::string name = host;
  std::size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    std::string port = host.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
      return false;
    name = host.substr(0, colon);
  }
  return name == "localhost" || IsLoopbackAddress(name);
}

std::optional<Answer> ParseAnswer(const std::string& answer_text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Answer> {
    if (error) *error = why;
    return std::nullopt;
  };
  Answer a;
  std::size_t pos = 0;
  std::string rest = Trim(answer_text);
  while (pos < rest.size()) {
    std::size_t comma = rest.find(',', pos);
    std::string item =
        rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    std::size_t eq = item.find('=');
    std::string key = Trim(item.substr(0, eq));
    std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (key == "text") {
      // The text runs to the end of the line.
      a.Source = Answer::Body::bdText;
      a.Text = rest.substr(pos + item.find('=') + 1);
      break;
    }
    value = Trim(value);
    pos = comma == std::string::npos ? rest.size() : comma + 1;
    std::int64_t n = 0;
    if (key.empty()) continue;
    if (key == "setup") {
      a.Source = Answer::Body::bdSetup;
    } else if (key == "license") {
      a.Source = Answer::Body::bdLicense;
    } else if (key == "file" && !value.empty()) {
      a.Source = Answer::Body::bdFile;
      a.File = value;
    } else if (key == "status" && ParseInt(value, n) && n >= 100 && n <= 999) {
      a.Status = static_cast<int>(n);
      if (a.Status != 200 && a.Source == Answer::Body::bdSetup) {
        a.Source = Answer::Body::bdStatusPage;
      }
    } else if (key == "redirect" && !value.empty()) {
      a.Status = 302;
      a.Location = value;
      a.Source = Answer::Body::bdStatusPage;
    } else if (key == "tlsredirect" && !value.empty() && value[0] == '/') {
      a.Status = 302;
      a.Location = value;
      a.LocationTls = true;
      a.Source = Answer::Body::bdStatusPage;
    } else if (key == "location" && !value.empty()) {
      a.Location = value;
    } else if (key == "type" && !value.empty()) {
      a.ContentType = value;
    } else if (key == "chunked" && value.empty()) {
      a.Chunked = true;
    } else if (key == "nolength" && value.empty()) {
      a.NoLength = true;
    } else if (key == "cut" && ParseInt(value, n)) {
      a.CutAfter = n;
    } else if (key == "hold" && ParseInt(value, n)) {
      a.HoldAfter = n;
    } else if (key == "trickle") {
      std::size_t slash = value.find('/');
      std::int64_t bytes = 0, ms = 0;
      if (slash == std::string::npos || !ParseInt(value.substr(0, slash), bytes) ||
          !ParseInt(value.substr(slash + 1), ms) || bytes <= 0 || ms > 60000) {
        return fail("trickle wants BYTES/MS: " + item);
      }
      a.TrickleBytes = static_cast<std::size_t>(bytes);
      a.TrickleMs = static_cast<int>(ms);
    } else if (key == "silence" && value.empty()) {
      a.Silent = true;
    } else if (key == "close" && value.empty()) {
      a.CloseAtOnce = true;
    } else if (key == "reset" && ParseInt(value, n)) {
      a.ResetAfter = n;
    } else if (key == "stall" && ParseInt(value, n)) {
      a.StallAfter = n;
    } else if (key == "ignorerange" && value.empty()) {
      a.IgnoreRange = true;
    } else if (key == "newetag" && value.empty()) {
      a.NewETag = true;
    } else if (key == "wrongdigest" && value.empty()) {
      a.WrongDigest = true;
    } else if (key == "nodigest" && value.empty()) {
      a.NoDigest = true;
    } else if (key == "times" && ParseInt(value, n) && n <= 1000000) {
      a.Times = static_cast<int>(n);
    } else {
      return fail("unknown item: " + item);
    }
  }
  return a;
}

DemoServer::DemoServer(ServerOptions options) : options_(std::move(options)) {
  Answer setup;
  answers_["/download.php"] = setup;
  Answer license;
  license.Source = Answer::Body::bdLicense;
  answers_["/license.php"] = license;
}

DemoServer::~DemoServer() {
  Stop();
  SSL_CTX_free(tls_ctx_);
}

bool DemoServer::Listen(const std::string& address, std::uint16_t port, int* fd,
                        std::uint16_t* bound, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (*fd >= 0) close(*fd);
    *fd = -1;
    return false;
  };
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) return fail(std::string("socket: ") + strerror(errno));
  int one = 1;
  setsockopt(*fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (bind(*fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    return fail("bind " + address + ":" + std::to_string(port) + ": " + strerror(errno));
  }
  if (listen(*fd, 16) != 0) return fail(std::string("listen: ") + strerror(errno));
  socklen_t len = sizeof sa;
  getsockname(*fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *bound = ntohs(sa.sin_port);
  return true;
}

bool DemoServer::Start(std::string* error) {
  if (!IsLoopbackAddress(options_.Address)) {
    if (error) *error = "not a loopback address: " + options_.Address;
    return false;
  }
  const bool tls = !options_.TlsCertFile.empty() || !options_.TlsKeyFile.empty();
  if (tls && tls_ctx_ == nullptr) {
    tls_ctx_ = SSL_CTX_new(TLS_server_method());
    if (tls_ctx_ == nullptr ||
        SSL_CTX_use_certificate_chain_file(tls_ctx_, options_.TlsCertFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_ctx_, options_.TlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls_ctx_) != 1) {
      char reason[256];
      ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
      if (error) *error = "TLS certificate " + options_.TlsCertFile + ": " + reason;
      SSL_CTX_free(tls_ctx_);
      tls_ctx_ = nullptr;
      return false;
    }
    SSL_CTX_set_mode(tls_ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  if (!Listen(options_.Address, options_.Port, &listen_fd_, &port_, error)) return false;
  // The TLS listener is reached by the name its certificate carries, "localhost": 127.0.0.1.
  if (tls && !Listen("127.0.0.1", options_.TlsPort, &tls_listen_fd_, &tls_port_, error)) {
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void DemoServer::Stop() {
  if (!acceptor_.joinable()) return;
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : connections_) {
      if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    }
  }
  changed_.notify_all();
  acceptor_.join();
  close(listen_fd_);
  listen_fd_ = -1;
  if (tls_listen_fd_ >= 0) close(tls_listen_fd_);
  tls_listen_fd_ = -1;
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) {
    if (c->thread.joinable()) c->thread.join();
  }
}

std::string DemoServer::BaseUrl() const {
  return "http://" + options_.Address + ":" + std::to_string(port_);
}

std::string DemoServer::TlsBaseUrl() const {
  return "https://localhost:" + std::to_string(tls_port_);
}

void DemoServer::SetAnswer(const std::string& path, const Answer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[path] = answer;
  served_[path] = 0;
  released_ = false;
}

void DemoServer::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

std::vector<Request> DemoServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool DemoServer::WaitForRequests(std::size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= count; });
}

bool DemoServer::WaitForHold(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return holding_ > 0; });
}

bool DemoServer::WaitIdle(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return std::all_of(connections_.begin(), connections_.end(),
                       [](const auto& c) { return c->done; });
  });
}

void DemoServer::Note(const std::string& line) const {
  if (options_.Log) options_.Log(line);
}

void DemoServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {tls_listen_fd_, POLLIN, 0}};
    int r = poll(p, tls_listen_fd_ >= 0 ? 2 : 1, kStep);
    if (r <= 0) continue;
    const bool tls = (p[0].revents & POLLIN) == 0;
    int fd = accept4(tls ? tls_listen_fd_ : listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget the connections that have ended, so a long demo does not accumulate them.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->done && (*it)->thread.joinable()) {
        (*it)->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    Connection* raw = conn.get();
    connections_.push_back(std::move(conn));
    raw->thread = std::thread([this, raw, tls] { Serve(raw, tls); });
  }
}

void DemoServer::Serve(Connection* conn, bool tls) {
  Request request;
  request.Tls = tls;
  if ((!tls || Handshake(*conn)) && ReadRequest(*conn, request)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    Note(std::string(tls ? "TLS " : "") + request.Method + " " + request.Target);
    SendAnswer(*conn, request, AnswerFor(request));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  SSL_free(conn->ssl);
  conn->ssl = nullptr;
  close(conn->fd);
  conn->fd = -1;
  conn->done = true;
  changed_.notify_all();
}

bool DemoServer::Handshake(Connection& conn) {
  // Non-blocking, so every wait below can notice Stop and the deadline.
  fcntl(conn.fd, F_SETFL, fcntl(conn.fd, F_GETFL) | O_NONBLOCK);
  SSL* ssl = SSL_new(tls_ctx_);
  if (ssl == nullptr || SSL_set_fd(ssl, conn.fd) != 1) {
    SSL_free(ssl);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    ERR_clear_error();
    const int r = SSL_accept(ssl);
    if (r == 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      conn.ssl = ssl;
      return true;
    }
    const int e = SSL_get_error(ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    pollfd p{conn.fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    poll(&p, 1, kStep);
  }
  char reason[256];
  ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
  Note(std::string("TLS handshake failed: ") + reason);
  SSL_free(ssl);
  return false;
}

int DemoServer::ReadSome(Connection& conn, char* buffer, int size) {
  if (conn.ssl == nullptr || SSL_pending(conn.ssl) == 0) {
    pollfd p{conn.fd, POLLIN, 0};
    if (poll(&p, 1, kStep) <= 0) return 0;
  }
  if (conn.ssl == nullptr) {
    ssize_t n = recv(conn.fd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return n > 0 ? static_cast<int>(n) : -1;
  }
  ERR_clear_error();
  const int n = SSL_read(conn.ssl, buffer, size);
  if (n > 0) return n;
  const int e = SSL_get_error(conn.ssl, n);
  return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

void DemoServer::DrainUntilClosed(Connection& conn, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_ && (ms < 0 || std::chrono::steady_clock::now() < deadline)) {
    char buf[512];
    if (ReadSome(conn, buf, sizeof buf) < 0) break;
  }
}

bool DemoServer::ReadRequest(Connection& conn, Request& request) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    std::size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      request.Raw = data.substr(0, end + 4);
      break;
    }
    if (data.size() > kMaxRequest) return false;
    char buf[2048];
    const int n = ReadSome(conn, buf, sizeof buf);
    if (n < 0) return false;
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (request.Raw.empty()) return false;
  std::string line = request.Raw.substr(0, request.Raw.find("\r\n"));
  std::istringstream in(line);
  in >> request.Method >> request.Target;
  std::string path = request.Target;
  if (path.rfind("http://", 0) == 0 || path.rfind("https://", 0) == 0) {
    std::size_t slash = path.find('/', path.find("//") + 2);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  request.Path = path.substr(0, path.find('?'));
  return !request.Method.empty();
}

void DemoServer::ReadControlFile() {
  if (options_.ControlFile.empty()) return;
  std::ifstream in(options_.ControlFile);
  if (!in) return;
  std::string line;
  std::lock_guard<std::mutex> lock(mutex_);
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line == "release") {
      released_ = true;
      changed_.notify_all();
      continue;
    }
    std::size_t blank = line.find_first_of(" \t");
    if (blank == std::string::npos) continue;
    std::string why;
    if (auto a = ParseAnswer(line.substr(blank + 1), &why)) {
      const std::string path = line.substr(0, blank);
      answers_[path] = *a;
      // A changed answer counts its requests afresh.
      if (control_text_[path] != line) served_[path] = 0;
      control_text_[path] = line;
    } else {
      Note("control file: " + why);
    }
  }
}

Answer DemoServer::AnswerFor(const Request& request) {
  ReadControlFile();
  std::lock_guard<std::mutex> lock(mutex_);
  // Over TLS: the answer set for "https:" + path first; a relocation to https is not repeated.
  std::string path = request.Path;
  auto it = answers_.end();
  if (request.Tls) it = answers_.find("https:" + path);
  if (it != answers_.end()) {
    path = "https:" + path;
  } else {
    it = answers_.find(path);
    if (request.Tls && it != answers_.end() && it->second.LocationTls) it = answers_.end();
  }
  if (it != answers_.end()) {
    Answer a = it->second;
    a.Version = ++served_[path];
    if (a.Times >= 0 && a.Version > a.Times) {
      // Done misbehaving: the plain document from here on.
      a.Status = 200;
      a.CutAfter = a.ResetAfter = a.StallAfter = -1;
      a.Silent = a.CloseAtOnce = false;
      // A failing status came with a status page instead of the path's document.
      if (a.Source == Answer::Body::bdStatusPage)
        a.Source = request.Path == "/license.php" ? Answer::Body::bdLicense : Answer::Body::bdSetup;
    }
    return a;
  }
  if (request.Path == "/download.php") return Answer();
  if (request.Path == "/license.php") {
    Answer license;
    license.Source = Answer::Body::bdLicense;
    return license;
  }
  Answer missing;
  missing.Status = 404;
  missing.Source = Answer::Body::bdStatusPage;
  return missing;
}

bool DemoServer::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
}

bool DemoServer::WaitReleased() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++holding_;
  }
  changed_.notify_all();
  Note("holding the answer until released");
  bool released = false;
  while (!stopping_) {
    ReadControlFile();
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, std::chrono::milliseconds(kStep * 2),
                          [&] { return released_ || stopping_.load(); })) {
      released = released_ && !stopping_;
      break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  --holding_;
  return released;
}

bool DemoServer::SendAll(Connection& conn, const char* data, std::size_t size) {
  short wait_for = POLLOUT;
  while (size > 0) {
    if (stopping_) return false;
    pollfd p{conn.fd, wait_for, 0};
    int r = poll(&p, 1, kStep);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    if (p.revents & (POLLERR | POLLHUP)) return false;
    ssize_t n;
    if (conn.ssl != nullptr) {
      ERR_clear_error();
      const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
      const int w = SSL_write(conn.ssl, data, chunk);
      if (w <= 0) {
        const int e = SSL_get_error(conn.ssl, w);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
        wait_for = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        continue;
      }
      wait_for = POLLOUT;
      n = w;
    } else {
      n = send(conn.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        return false;
      }
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void DemoServer::SendAnswer(Connection& conn, const Request& request, const Answer& a) {
  const int fd = conn.fd;
  if (a.CloseAtOnce) {
    Note("closed without an answer");
    return;
  }
  if (a.Silent) {
    Note("silent");
    // Say nothing; keep the connection until the client gives up or the server stops.
    DrainUntilClosed(conn);
    return;
  }

  std::string body, type = a.ContentType;
  bool ok = true;
  switch (a.Source) {
    case Answer::Body::bdSetup:
      ok = ReadWholeFile(options_.SetupFile, body);
      if (type.empty()) type = "application/octet-stream";
      break;
    case Answer::Body::bdLicense:
      ok = ReadWholeFile(options_.LicenseFile, body);
      if (type.empty()) type = "text/html; charset=utf-8";
      break;
    case Answer::Body::bdFile:
      ok = ReadWholeFile(a.File, body);
      if (type.empty()) type = "application/octet-stream";
      break;
    case Answer::Body::bdText:
      body = a.Text;
      if (type.empty()) type = "text/plain; charset=utf-8";
      break;
    case Answer::Body::bdStatusPage:
      break;
  }
  int status = a.Status;
  if (!ok) {
    // The configured document is missing: say so instead of sending an empty success.
    status = 500;
    Note("cannot read the document for " + request.Path);
  }
  if (a.Source == Answer::Body::bdStatusPage || !ok) {
    std::string title = std::to_string(status) + " " + Reason(status);
    body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
           "</h1></body></html>\r\n";
    type = "text/html";
  }

  // The document's version: a hash of its bytes, and of the request's number when every answer
  // is to name another version.
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : body)
    hash = (hash ^ c) * 16777619u;
  char tag[48];
  snprintf(tag, sizeof tag, "\"%08x-%zx-%d\"", hash, body.size(), a.NewETag ? a.Version : 0);
  const std::string etag = tag;
  const bool document = status == 200 && a.Source != Answer::Body::bdStatusPage && !a.Chunked &&
                        !a.NoLength && a.Location.empty();
  // Repr-Digest: the sha-256 of the whole document, whatever part of it an answer carries.
  const std::string repr_digest = DigestField(body, a.WrongDigest);
  // "Range: bytes=N-" of this version (If-Range names it, or is absent): the rest from N.
  std::string content_range;
  const std::string range = HeaderField(request.Raw, "Range");
  const std::string if_range = HeaderField(request.Raw, "If-Range");
  if (document && !a.IgnoreRange && range.rfind("bytes=", 0) == 0 && range.back() == '-' &&
      (if_range.empty() || if_range == etag)) {
    std::int64_t first = -1;
    if (ParseInt(range.substr(6, range.size() - 7), first) && first > 0 &&
        first < static_cast<std::int64_t>(body.size())) {
      content_range = "bytes " + std::to_string(first) + "-" + std::to_string(body.size() - 1) +
                      "/" + std::to_string(body.size());
      body = body.substr(static_cast<std::size_t>(first));
      status = 206;
    }
  }

  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  head += "Server: vexlor-demo-server\r\n";
  head += "Content-Type: " + type + "\r\n";
  if (document) head += "ETag: " + etag + "\r\nAccept-Ranges: bytes\r\n";
  if (!content_range.empty()) head += "Content-Range: " + content_range + "\r\n";
  if (document && !a.NoDigest) {
    // Content-Digest: of the bytes this answer carries, the part on a 206.
    head += "Repr-Digest: " + repr_digest + "\r\n";
    head += "Content-Digest: " + DigestField(body, a.WrongDigest) + "\r\n";
  }
  if (!a.Location.empty()) {
    std::string location = a.Location;
    if (a.LocationTls) {
      location = TlsBaseUrl() + location;
    } else if (location[0] == '/') {
      // The request's Host names where the client found this server; anything but a loopback
      // address there would send the client elsewhere, so then the server names itself.
      std::string host = HeaderField(request.Raw, "Host");
      if (!IsLoopbackHostField(host)) host = options_.Address + ":" + std::to_string(port_);
      location = "http://" + host + location;
    }
    head += "Location: " + location + "\r\n";
  }
  if (a.Chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else if (!a.NoLength) {
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  if (!SendAll(conn, head.data(), head.size())) return;
  Note(std::to_string(status) + " " + std::to_string(body.size()) + " bytes" +
       (a.Chunked ? " chunked" : "") + (a.CutAfter >= 0 ? " cut" : "") +
       (a.TrickleBytes ? " trickled" : "") + (a.HoldAfter >= 0 ? " held" : ""));
  if (request.Method == "HEAD") return;

  std::int64_t limit = static_cast<std::int64_t>(body.size());
  if (a.CutAfter >= 0) limit = std::min(limit, a.CutAfter);
  if (a.ResetAfter >= 0) limit = std::min(limit, a.ResetAfter);
  if (a.StallAfter >= 0) limit = std::min(limit, a.StallAfter);
  std::int64_t sent = 0;
  bool held = a.HoldAfter < 0;
  while (sent < limit) {
    if (!held && sent >= a.HoldAfter) {
      held = true;
      if (!WaitReleased()) return;
    }
    std::int64_t slice = static_cast<std::int64_t>(a.TrickleBytes ? a.TrickleBytes : kChunk);
    slice = std::min(slice, limit - sent);
    if (!held) slice = std::min(slice, a.HoldAfter - sent);
    std::string piece =
        body.substr(static_cast<std::size_t>(sent), static_cast<std::size_t>(slice));
    if (a.Chunked) {
      char size_line[32];
      snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
      piece = size_line + piece + "\r\n";
    }
    if (!SendAll(conn, piece.data(), piece.size())) return;
    sent += slice;
    body_bytes_sent_ += slice;
    if (a.TrickleBytes && sent < limit && !Pause(a.TrickleMs)) return;
  }
  if (!held && sent >= a.HoldAfter && !WaitReleased()) return;
  if (a.ResetAfter >= 0 && a.ResetAfter < static_cast<std::int64_t>(body.size())) {
    // A close with nothing to linger over: the peer sees a reset.
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Note("reset after " + std::to_string(sent) + " bytes");
    return;
  }
  if (a.StallAfter >= 0 && a.StallAfter < static_cast<std::int64_t>(body.size())) {
    Note("stalled after " + std::to_string(sent) + " bytes");
    DrainUntilClosed(conn);
    return;
  }
  if (a.CutAfter >= 0 && a.CutAfter < static_cast<std::int64_t>(body.size())) {
    Note("cut after " + std::to_string(sent) + " bytes");
    return;
  }
  if (a.Chunked && !SendAll(conn, "0\r\n\r\n", 5)) return;

  // Let the client read everything before the close: stop sending (over TLS with the
  // close-notify first; a cut above sends none, as a cut connection would not), then wait
  // (bounded) for the client to close its side, so no unread request byte turns the close
  // into a reset.
  if (conn.ssl != nullptr) SSL_shutdown(conn.ssl);
  shutdown(fd, SHUT_WR);
  DrainUntilClosed(conn, kLingerMs);
}

bool WriteNginxSite(const std::string& dir, const std::string& address, std::uint16_t port,
                    const std::string& setup_file, const std::string& license_file,
                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!IsLoopbackAddress(address)) return fail("not a loopback address: " + address);
  for (const std::string& sub : {std::string(), std::string("/www"), std::string("/tmp")}) {
    if (mkdir((dir + sub).c_str(), 0755) != 0 && errno != EEXIST) {
      return fail("cannot create " + dir + sub + ": " + strerror(errno));
    }
  }
  auto copy = [&](const std::string& from, const std::string& to) {
    std::string data;
    if (!ReadWholeFile(from, data)) return fail("cannot read " + from);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) return fail("cannot write " + to);
    return true;
  };
  if (!copy(setup_file, dir + "/www/download.php")) return false;
  if (!copy(license_file, dir + "/www/license.php")) return false;

  std::ofstream conf(dir + "/nginx.conf", std::ios::trunc);
  conf << "# The demo download site for nginx: generated by vexlor-demo-server.\n"
       << "daemon off;\n"
       << "master_process off;\n"
       << "worker_processes 1;\n"
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log warn;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n"
       << "  access_log " << dir << "/access.log;\n"
       << "  client_body_temp_path " << dir << "/tmp/body;\n"
       << "  proxy_temp_path " << dir << "/tmp/proxy;\n"
       << "  fastcgi_temp_path " << dir << "/tmp/fastcgi;\n"
       << "  uwsgi_temp_path " << dir << "/tmp/uwsgi;\n"
       << "  scgi_temp_path " << dir << "/tmp/scgi;\n"
       << "  server {\n"
       << "    listen " << address << ":" << port << ";\n"
       << "    server_name localhost;\n"
       << "    root " << dir << "/www;\n"
       << "    location = /download.php { default_type application/octet-stream; }\n"
       << "    location = /license.php { default_type \"text/html; charset=utf-8\"; }\n"
       << "    location / { return 404; }\n"
       << "  }\n"
       << "}\n";
  if (!conf) return fail("cannot write " + dir + "/nginx.conf");
  return true;
}

}  // namespace demo
