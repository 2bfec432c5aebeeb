// A proxy program from Debian (tinyproxy, danted) run by a test: its configuration in a folder
// of its own, listening on 127.0.0.1 on a free port, in the foreground of a shell started in
// the background, ended by its own process id when the test is done.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sockets.h"
#include "tests/http/client_fixture.h"
#include "tests/support/scripted_server.h"

namespace httptest {

class DebianProxy {
 public:
  // `program` is looked for in /usr/sbin and /usr/bin; `config` is written to the folder with
  // @PORT@ and @DIR@ replaced; `args` follow the program (with @CONF@ and @DIR@ replaced).
  DebianProxy(const std::string& program, std::string config, std::string args)
      : port_(support::UnusedLoopbackPort()) {
    namespace fs = std::filesystem;
    for (const char* dir : {"/usr/sbin/", "/usr/bin/"})
      if (fs::exists(std::string(dir) + program)) path_ = std::string(dir) + program;
    if (path_.empty()) return;
    char tmpl[] = "/tmp/vexlor-proxy-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec |
                              fs::perms::group_read | fs::perms::group_exec);
    config = Replace(Replace(config, "@PORT@", std::to_string(port_)), "@DIR@", dir_.string());
    std::ofstream(dir_ / "proxy.conf") << config;
    args = Replace(Replace(args, "@CONF@", (dir_ / "proxy.conf").string()), "@DIR@", dir_.string());
    const std::string cmd = "'" + path_ + "' " + args + " >'" + (dir_ / "output.log").string() +
                            "' 2>&1 & echo $! >'" + (dir_ / "shell.pid").string() + "'";
    if (std::system(cmd.c_str()) != 0) return;
    std::ifstream(dir_ / "shell.pid") >> pid_;
    // Ready once it accepts a connection (at most 5 s).
    for (int i = 0; i < 100 && !ready_; ++i) {
      ready_ = Accepts();
      if (!ready_) PumpFor(50);
    }
  }
  ~DebianProxy() {
    if (pid_ > 0) {
      const std::string cmd = "kill " + std::to_string(pid_) + " 2>/dev/null";
      [[maybe_unused]] int rc = std::system(cmd.c_str());
      for (int i = 0; i < 100 && Running(); ++i)
        PumpFor(20);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  DebianProxy(const DebianProxy&) = delete;
  DebianProxy& operator=(const DebianProxy&) = delete;

  bool Installed() const { return !path_.empty(); }
  bool Ready() const { return ready_; }
  std::uint16_t Port() const { return port_; }
  std::string Log(const std::string& name = "output.log") const {
    std::ifstream in(dir_ / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // A missing program fails the test when run by scripts/test (which installs it) and skips
  // it otherwise.
  static bool MustExist() { return std::getenv("VEXLOR_REQUIRE_INTEROP") != nullptr; }

 private:
  bool Running() const {
    const std::string cmd = "kill -0 " + std::to_string(pid_) + " 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
  }
  bool Accepts() const {
    namespace ws = plat::sock;
    ws::TSocket s = ws::socket(ws::kAfInet, ws::kSockStream, ws::kIpProtoTcp);
    if (s == ws::kInvalidSocket) return false;
    ws::TSockAddrIn in{};
    in.sin_family = ws::kAfInet;
    in.sin_addr = ws::inet_addr("127.0.0.1");
    // The port in network order, written as bytes: a test that includes the system's socket
    // headers has htons as a macro.
    const unsigned char port_bytes[2] = {static_cast<unsigned char>(port_ >> 8),
                                         static_cast<unsigned char>(port_ & 0xff)};
    std::memcpy(&in.sin_port, port_bytes, 2);
    const bool ok = ws::connect(s, reinterpret_cast<ws::TSockAddr*>(&in), sizeof in) == 0;
    ws::closesocket(s);
    return ok;
  }
  static std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
      s.replace(at, from.size(), to);
    return s;
  }

  std::string path_;
  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  long pid_ = 0;
  bool ready_ = false;
};

}  // namespace httptest
