// The reference client of bench/download.sh: the least a client that copies through user
// space can do. One blocking connection, one HTTP/1.0 GET, then receives of up to 256 KiB,
// each written to the file at once (the header cut off first). No event loop, no parsing
// beyond the end of the header, no checks beyond what keeps it honest.
//
//   bare-fetch HOST PORT PATH FILE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bare-fetch HOST PORT PATH FILE\n");
    return 2;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) return 2;
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    return 1;
  }
  std::string request =
      std::string("GET ") + argv[3] + " HTTP/1.0\r\nHost: " + argv[1] + "\r\n\r\n";
  if (!WriteAll(s, request.data(), request.size())) return 1;
  int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    std::perror("open");
    return 1;
  }
  std::vector<char> buf(256 * 1024);
  bool in_body = false;
  std::string head;
  for (;;) {
    ssize_t n = recv(s, buf.data(), buf.size(), 0);
    if (n < 0) {
      std::perror("recv");
      return 1;
    }
    if (n == 0) break;
    const char* p = buf.data();
    std::size_t len = static_cast<std::size_t>(n);
    if (!in_body) {
      head.append(p, len);
      std::size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      in_body = true;
      if (!WriteAll(out, head.data() + end + 4, head.size() - end - 4)) return 1;
      continue;
    }
    if (!WriteAll(out, p, len)) return 1;
  }
  close(out);
  close(s);
  return in_body ? 0 : 1;
}
