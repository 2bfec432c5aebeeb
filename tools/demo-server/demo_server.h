// The demo download server: a small HTTP server over plain POSIX sockets that plays the
// vendor's download and web site for the demo and the end-to-end tests.
//
// It serves "/download.php" (the setup program) and "/license.php" (the licence page) with an
// ETag (a hash of the document), the document's sha-256 (Repr-Digest on every answer of the
// document, Content-Digest of the bytes each answer carries) and byte ranges ("Range: bytes=N-",
// honoured when an If-Range names the current ETag or is absent: 206 with Content-Range), and,
// for tests, answers chosen
// per path: any status, a relocation to another path, a body cut off
// after N bytes, a chunked body, a slow trickle, a pause until released, silence, or a close
// without any answer. Every answer is an Answer value; ParseAnswer reads the same answers from
// text ("status=404", "cut=1000", "trickle=512/20,chunked"), so the command line and a control
// file can script the server as the C++ tests do.
//
// With a certificate and key it also listens for TLS on a port of 127.0.0.1, reached as
// "https://localhost:PORT" (the name the test certificates carry), so a download can be sent
// from plain http to https. Paths asked over TLS take the answer set for "https:" + path when
// there is one, else the path's own answer, except that a relocation to https is not repeated
// there: that path then gets its default document.
//
// The server listens on one loopback address only; it refuses any other.
//
// Threads: Start, Stop and the setters may be called from any thread. One thread accepts, one
// thread serves each connection; Stop ends them all, waking every wait, and joins them.
// Ownership: the server owns its sockets and threads; the destructor stops it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <openssl/types.h>

namespace demo {

// What the server answers on one path.
struct Answer {
  enum class Body { bdSetup, bdLicense, bdFile, bdText, bdStatusPage };

  int Status = 200;
  Body Source = Body::bdSetup;
  std::string File;         // bdFile: the file served
  std::string Text;         // bdText: the body itself
  std::string ContentType;  // empty: chosen from the source
  // Sent as a Location field; a path ("/other") becomes an absolute address on the host the
  // client asked for. A relocation answer (3xx) without a body source gets a short HTML page.
  std::string Location;
  // The Location path names the TLS listener: "https://localhost:TLSPORT" + path.
  bool LocationTls = false;
  bool Chunked = false;          // chunked transfer coding, no Content-Length
  bool NoLength = false;         // no Content-Length: the body ends with the connection
  std::int64_t CutAfter = -1;    // close after this many body bytes (full length announced)
  std::int64_t HoldAfter = -1;   // after this many body bytes, wait for Release()
  std::size_t TrickleBytes = 0;  // send the body in slices of this size ...
  int TrickleMs = 0;             // ... with this pause between them
  bool Silent = false;           // read the request, never answer; keep the connection open
  bool CloseAtOnce = false;      // read the request and close without answering
  std::int64_t ResetAfter = -1;  // after this many body bytes, reset the connection
  std::int64_t StallAfter = -1;  // after this many body bytes, fall silent (connection open)
  bool IgnoreRange = false;      // answer a Range request with the whole document (200)
  bool NewETag = false;          // every answer names another version of the document
  // The digests name other bytes than those sent (one bit of each sha-256 turned over).
  bool WrongDigest = false;
  bool NoDigest = false;  // no digest fields
  // The failures (status, cut, reset, stall, silence, close) apply to the first Times requests
  // of the path only; later ones get the document (with IgnoreRange and NewETag as set). -1:
  // to every request.
  int Times = -1;
  // Filled in by the server for each answer: which request of the path it answers (1 first).
  int Version = 0;
};

// Reads an answer from its text form: comma-separated items, each a word or word=value:
//   setup | license | file=PATH | text=TEXT   the body (default: setup)
//   status=N                                  the status (default 200)
//   redirect=PATH                             302 with Location PATH
//   tlsredirect=PATH                          302 to PATH on the server's TLS listener
//   location=PATH                             a Location field with the status given
//   type=MIME                                 Content-Type
//   chunked | nolength                        how the body is delimited
//   cut=N | hold=N | trickle=BYTES/MS         how the body is sent
//   silence | close                           no answer at all
//   reset=N | stall=N                         reset, or fall silent, after N body bytes
//   ignorerange | newetag                     200 to a Range request; a new ETag every time
//   wrongdigest | nodigest                    digests of other bytes; no digest fields
//   times=K                                   the failures for the first K requests only
// "text=" takes the rest of the line, commas included. Returns nullopt and the reason in
// `error` when the text does not read as an answer.
std::optional<Answer> ParseAnswer(const std::string& answer_text, std::string* error = nullptr);

// One request as received.
struct Request {
  std::string Raw;   // the request line and header, up to and including the empty line
  bool Tls = false;  // received on the TLS listener
  std::string Method;
  std::string Target;  // as sent: a path, or an absolute address
  std::string Path;    // the path of the target, without query
};

struct ServerOptions {
  std::string Address = "127.0.0.1";  // must be a loopback address (127.0.0.0/8)
  std::uint16_t Port = 0;             // 0: any free port (see Port())
  std::string SetupFile;              // body of "/download.php"
  std::string LicenseFile;            // body of "/license.php"
  // Read again before every answer when set: lines "PATH ANSWER" replace the answer for PATH,
  // a line "release" releases held answers, "#" starts a comment. A missing file changes
  // nothing.
  std::string ControlFile;
  // PEM certificate chain and private key of the TLS listener (on 127.0.0.1, whatever Address
  // is); both empty: no TLS listener.
  std::string TlsCertFile;
  std::string TlsKeyFile;
  std::uint16_t TlsPort = 0;  // 0: any free port (see TlsPort())
  // Called for each request line and each answer's outcome, from the serving threads.
  std::function<void(const std::string&)> Log;
};

class DemoServer {
 public:
  explicit DemoServer(ServerOptions options);
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  // Binds, listens and starts accepting. False with the reason in `error` when the address is
  // not a loopback one or cannot be bound.
  bool Start(std::string* error);
  // Closes the listening socket and every connection, and joins all threads.
  void Stop();
  std::uint16_t Port() const { return port_; }
  // "http://ADDRESS:PORT"
  std::string BaseUrl() const;
  // The TLS listener's port (0 without one) and "https://localhost:PORT".
  std::uint16_t TlsPort() const { return tls_port_; }
  std::string TlsBaseUrl() const;

  // The answer for a path; paths without one answer 404 (except the two defaults).
  void SetAnswer(const std::string& path, const Answer& answer);
  // Lets every held answer go on (and those that reach their hold point later), until the
  // next SetAnswer.
  void Release();

  // Requests received so far, in order.
  std::vector<Request> Requests() const;
  // Waits until at least `count` requests have been received, at most `timeout_ms`.
  bool WaitForRequests(std::size_t count, int timeout_ms) const;
  // Waits until an answer stands at its hold point, at most `timeout_ms`.
  bool WaitForHold(int timeout_ms) const;
  // Waits until every connection accepted so far has ended, at most `timeout_ms`.
  bool WaitIdle(int timeout_ms) const;
  // Body bytes sent on all connections so far.
  std::int64_t BodyBytesSent() const { return body_bytes_sent_.load(); }

 private:
  struct Connection {
    int fd = -1;
    SSL* ssl = nullptr;  // TLS over fd, once the handshake is done
    std::thread thread;
    bool done = false;
  };

  bool Listen(const std::string& address, std::uint16_t port, int* fd, std::uint16_t* bound,
              std::string* error);
  void AcceptLoop();
  void Serve(Connection* conn, bool tls);
  bool Handshake(Connection& conn);
  bool ReadRequest(Connection& conn, Request& request);
  Answer AnswerFor(const Request& request);
  void ReadControlFile();
  void SendAnswer(Connection& conn, const Request& request, const Answer& answer);
  // Sends all bytes, waiting while the peer is slow; false when the peer is gone or the server
  // stops.
  bool SendAll(Connection& conn, const char* data, std::size_t size);
  // Reads what has arrived, waiting a short step for it: the count, 0 when nothing came yet,
  // -1 when the peer has closed or the connection failed.
  int ReadSome(Connection& conn, char* buffer, int size);
  // Reads and drops whatever the peer sends until it closes or the server stops (at most
  // `ms` when given).
  void DrainUntilClosed(Connection& conn, int ms = -1);
  // Sleeps up to `ms`, returning early (false) when the server stops.
  bool Pause(int ms);
  bool WaitReleased();
  void Note(const std::string& line) const;

  ServerOptions options_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  int tls_listen_fd_ = -1;
  std::uint16_t tls_port_ = 0;
  SSL_CTX* tls_ctx_ = nullptr;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::int64_t> body_bytes_sent_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Answer> answers_;
  std::map<std::string, int> served_;  // requests answered per path since its answer was set
  std::map<std::string, std::string> control_text_;  // each path's answer in the control file
  bool released_ = false;
  int holding_ = 0;
  std::vector<Request> requests_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

// Writes an nginx configuration that serves the same two documents: DIR/nginx.conf, the
// documents under DIR/www and nginx's temporary and log files under DIR, listening on
// ADDRESS:PORT, in the foreground as a single process so it needs no root and no system
// folder. Run it with `nginx -p DIR -c DIR/nginx.conf -e DIR/error.log`. False with the reason
// in `error` when a file cannot be written.
bool WriteNginxSite(const std::string& dir, const std::string& address, std::uint16_t port,
                    const std::string& setup_file, const std::string& license_file,
                    std::string* error);

// True when `address` is an IPv4 loopback address in dotted form.
bool IsLoopbackAddress(const std::string& address);
// A request's Host field that names a loopback host: "localhost" or a 127.0.0.0/8 address, with
// an optional decimal port.
bool IsLoopbackHostField(const std::string& host);

}  // namespace demo
