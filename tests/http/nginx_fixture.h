// A real nginx for tests, started on a free loopback port with its own configuration, pid
// file, logs and temporary folders in a temporary directory, and stopped by the destructor.
// It serves the files written with Serve from a plain server on Port(); more servers (TLS
// ones, for example) can be added to its configuration.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/http/client_fixture.h"

namespace httptest {

namespace fs = std::filesystem;

class Nginx {
 public:
  // Extra: configuration inserted into the http block after the plain server (more servers,
  // with TLS for example); "@DIR@" in it stands for the temporary directory.
  explicit Nginx(const std::string& Extra = std::string()) {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vexlor-nginx-" + std::to_string(rd()));
    fs::create_directories(dir_ / "www");
    fs::create_directories(dir_ / "logs");
    fs::create_directories(dir_ / "tmp");
    // The worker may run as another user: everything it serves must be readable.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    port_ = support::UnusedLoopbackPort();
    const std::string d = dir_.string();
    std::ofstream conf(dir_ / "nginx.conf");
    conf << "worker_processes 1;\ndaemon on;\npid " << d << "/nginx.pid;\nerror_log " << d
         << "/logs/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/tmp/body;\n  proxy_temp_path " << d
         << "/tmp/proxy;\n  fastcgi_temp_path " << d << "/tmp/fastcgi;\n  uwsgi_temp_path " << d
         << "/tmp/uwsgi;\n  scgi_temp_path " << d << "/tmp/scgi;\n  keepalive_timeout 30;\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    listen [::1]:" << port_
         << ";\n    root " << d << "/www;\n"
         << "    location = /old/place { return 302 /new/place.bin; }\n"
         << "    location /ssi/ { ssi on; }\n  }\n"
         << Replace(Extra, "@DIR@", d) << "}\n";
  }
  ~Nginx() {
    if (started_) {
      std::string cmd = "nginx -p '" + dir_.string() + "' -c '" + dir_.string() +
                        "/nginx.conf' -s stop 2>/dev/null";
      [[maybe_unused]] int rc = std::system(cmd.c_str());
      // The master removes its pid file when it has stopped.
      for (int i = 0; i < 100 && fs::exists(dir_ / "nginx.pid"); ++i)
        PumpFor(20);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Writes a file to serve.
  void Serve(const std::string& path, const std::string& bytes) {
    fs::create_directories((dir_ / "www" / path).parent_path());
    std::ofstream(dir_ / "www" / path, std::ios::binary) << bytes;
    fs::permissions(dir_ / "www" / path, fs::perms::owner_read | fs::perms::owner_write |
                                             fs::perms::group_read | fs::perms::others_read);
    for (fs::path p = (dir_ / "www" / path).parent_path(); p != dir_; p = p.parent_path())
      fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  }

  // Starts nginx; false when it would not start or answer within 5 s.
  bool Start() {
    std::string cmd = "nginx -p '" + dir_.string() + "' -c '" + dir_.string() + "/nginx.conf' 2>'" +
                      dir_.string() + "/logs/start.log'";
    if (std::system(cmd.c_str()) != 0) return false;
    started_ = true;
    for (int i = 0; i < 50; ++i) {
      THttpCli probe(nullptr);
      probe.SetURL(Url("/"));
      probe.SetTimeout(2);
      bool done = false;
      probe.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) { done = true; };
      probe.GetASync();
      PumpUntil([&] { return done; }, 3000);
      if (probe.RequestDoneError() == 0 && probe.StatusCode() == 200) return true;
      PumpFor(100);
    }
    return false;
  }

  const fs::path& Dir() const { return dir_; }
  std::uint16_t Port() const { return port_; }

  String Url(const std::string& path, const std::string& host = "127.0.0.1") const {
    return U16("http://" + host + ":" + std::to_string(port_) + path);
  }
  std::string Log() const {
    std::ifstream in(dir_ / "logs" / "error.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  static std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
      s.replace(at, from.size(), to);
    return s;
  }

  fs::path dir_;
  std::uint16_t port_ = 0;
  bool started_ = false;
};

}  // namespace httptest
