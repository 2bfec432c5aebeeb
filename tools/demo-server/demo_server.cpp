// The demo download server over POSIX sockets (a Linux tool, like the tests that use it).
#include "tools/demo-server/demo_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include <openssl/evp.h>
#include <openssl/sha.h>
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
}

bool DemoServer::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    return false;
  };
  if (!IsLoopbackAddress(options_.Address)) {
    return fail("not a loopback address: " + options_.Address);
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail(std::string("socket: ") + strerror(errno));
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(options_.Port);
  inet_pton(AF_INET, options_.Address.c_str(), &sa.sin_addr);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    return fail("bind " + options_.Address + ":" + std::to_string(options_.Port) + ": " +
                strerror(errno));
  }
  if (listen(listen_fd_, 16) != 0) return fail(std::string("listen: ") + strerror(errno));
  socklen_t len = sizeof sa;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
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
    pollfd p{listen_fd_, POLLIN, 0};
    int r = poll(&p, 1, kStep);
    if (r <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
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
    raw->thread = std::thread([this, raw] { Serve(raw); });
  }
}

void DemoServer::Serve(Connection* conn) {
  int fd = conn->fd;
  Request request;
  if (ReadRequest(fd, request)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    Note(request.Method + " " + request.Target);
    SendAnswer(fd, request, AnswerFor(request.Path));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  close(fd);
  conn->fd = -1;
  conn->done = true;
  changed_.notify_all();
}

bool DemoServer::ReadRequest(int fd, Request& request) {
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    std::size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      request.Raw = data.substr(0, end + 4);
      break;
    }
    if (data.size() > kMaxRequest) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kStep) <= 0) continue;
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (request.Raw.empty()) return false;
  std::string line = request.Raw.substr(0, request.Raw.find("\r\n"));
  std::istringstream in(line);
  in >> request.Method >> request.Target;
  std::string path = request.Target;
  if (path.rfind("http://", 0) == 0) {
    std::size_t slash = path.find('/', 7);
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

Answer DemoServer::AnswerFor(const std::string& path) {
  ReadControlFile();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = answers_.find(path);
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
        a.Source = path == "/license.php" ? Answer::Body::bdLicense : Answer::Body::bdSetup;
    }
    return a;
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

bool DemoServer::SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    if (stopping_) return false;
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, kStep);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    if (p.revents & (POLLERR | POLLHUP)) return false;
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void DemoServer::SendAnswer(int fd, const Request& request, const Answer& a) {
  if (a.CloseAtOnce) {
    Note("closed without an answer");
    return;
  }
  if (a.Silent) {
    Note("silent");
    // Say nothing; keep the connection until the client gives up or the server stops.
    while (!stopping_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kStep) <= 0) continue;
      char buf[512];
      if (recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
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
    if (location[0] == '/') {
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
  if (!SendAll(fd, head.data(), head.size())) return;
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
    if (!SendAll(fd, piece.data(), piece.size())) return;
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
    while (!stopping_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kStep) <= 0) continue;
      char buf[512];
      if (recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
    return;
  }
  if (a.CutAfter >= 0 && a.CutAfter < static_cast<std::int64_t>(body.size())) {
    Note("cut after " + std::to_string(sent) + " bytes");
    return;
  }
  if (a.Chunked && !SendAll(fd, "0\r\n\r\n", 5)) return;

  // Let the client read everything before the close: stop sending, then wait (bounded) for
  // the client to close its side, so no unread request byte turns the close into a reset.
  shutdown(fd, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kStep) <= 0) continue;
    char buf[512];
    if (recv(fd, buf, sizeof buf, 0) <= 0) break;
  }
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
