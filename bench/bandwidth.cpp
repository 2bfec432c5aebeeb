// Bandwidth benchmark: one download through THttpCli with httpoBandwidthControl from a scripted
// loopback server. Prints the status, the bytes, the wall time and the rate; the rate should be
// close to the limit. Built and run by bench/bandwidth.sh.
//
//   bandwidth [LIMIT_BYTES_PER_S [BODY_BYTES]]   (defaults 200000 and 1000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "http/httpcli.h"
#include "platform/stream.h"
#include "tests/support/scripted_server.h"
using support::ScriptedServer;
using support::ServerScript;
int main(int argc, char** argv) {
  const unsigned long limit = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const std::size_t body = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000000;
  std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body) +
                     "\r\nConnection: close\r\n\r\n" + std::string(body, 'x');
  ScriptedServer server({ServerScript().ReadUntil("\r\n\r\n").Send(resp).Close()});
  THttpCli cli(nullptr);
  TMemoryStream out;
  cli.SetURL(text::FromUtf8("http://127.0.0.1:" + std::to_string(server.Port()) + "/f"));
  cli.SetRcvdStream(&out);
  cli.SetOptions(httpoBandwidthControl);
  cli.SetBandwidthLimit(static_cast<std::uint32_t>(limit));
  auto t0 = std::chrono::steady_clock::now();
  cli.Get();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("limit %lu B/s, status %d bytes %lld seconds %.2f rate %.0f B/s\n", limit,
              cli.StatusCode(), (long long)cli.RcvdCount(), s, cli.RcvdCount() / s);
}
