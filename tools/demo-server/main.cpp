// vexlor-demo-server: the local download server of the demo and the end-to-end tests.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/demo-server/demo_server.h"

namespace {

const char kUsage[] =
    "Usage: vexlor-demo-server [options]\n"
    "Serves the demo setup program as /download.php and the licence page as /license.php on a\n"
    "loopback address until interrupted.\n"
    "\n"
    "  --address A         loopback address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on (default 0: any free port)\n"
    "  --port-file FILE    write the port to FILE once the server listens\n"
    "  --setup FILE        the setup program served as /download.php\n"
    "  --license FILE      the licence page served as /license.php\n"
    "  --answer PATH=ANSWER  how to answer PATH; may be repeated\n"
    "  --control FILE      re-read before every answer: lines \"PATH ANSWER\" and \"release\"\n"
    "  --tls-cert FILE     also serve TLS, with this PEM certificate chain (names localhost)\n"
    "  --tls-key FILE      ... and this PEM private key, on a port of 127.0.0.1\n"
    "  --tls-port N        port of the TLS listener (default 0: any free port)\n"
    "  --quiet             do not log requests on standard error\n"
    "  --nginx-site DIR    write an nginx site serving the same documents on --address and\n"
    "                      --port into DIR and exit, instead of serving\n"
    "\n"
    "ANSWER is a comma-separated list: setup | license | file=PATH | text=TEXT | status=N |\n"
    "redirect=PATH | tlsredirect=PATH | location=PATH | type=MIME | chunked | nolength |\n"
    "cut=N | hold=N | trickle=BYTES/MS | silence | close | reset=N | stall=N | ignorerange |\n"
    "newetag | wrongdigest | nodigest | times=K.  Examples: status=404   redirect=/mirror.php\n"
    "cut=100000   chunked   trickle=4096/100   hold=65536 (until \"release\" in the control\n"
    "file)   silence   tlsredirect=/download.php (to the TLS listener)\n"
    "Over TLS a path takes the answer of \"https:PATH\" when one is set (--answer\n"
    "https:/download.php=trickle=4096/100), else that of PATH unless it relocates to TLS.\n";

int Usage(const std::string& why) {
  std::cerr << "vexlor-demo-server: " << why << "\n\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  demo::ServerOptions options;
#ifdef VEXLOR_DEMO_LICENSE_FILE
  options.LicenseFile = VEXLOR_DEMO_LICENSE_FILE;
#endif
#ifdef VEXLOR_DEMO_SETUP_FILE
  options.SetupFile = VEXLOR_DEMO_SETUP_FILE;
#endif
  std::string port_file, nginx_dir;
  bool quiet = false;
  std::vector<std::pair<std::string, demo::Answer>> answers;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--address" || a == "--port" || a == "--port-file" || a == "--setup" ||
               a == "--license" || a == "--answer" || a == "--control" || a == "--nginx-site" ||
               a == "--tls-cert" || a == "--tls-key" || a == "--tls-port") {
      const std::string* v = value();
      if (!v) return Usage(a + " needs a value");
      if (a == "--address") {
        options.Address = *v;
      } else if (a == "--port" || a == "--tls-port") {
        char* end = nullptr;
        long port = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end != '\0' || port < 0 || port > 65535) {
          return Usage("bad port: " + *v);
        }
        (a == "--port" ? options.Port : options.TlsPort) = static_cast<std::uint16_t>(port);
      } else if (a == "--tls-cert") {
        options.TlsCertFile = *v;
      } else if (a == "--tls-key") {
        options.TlsKeyFile = *v;
      } else if (a == "--port-file") {
        port_file = *v;
      } else if (a == "--setup") {
        options.SetupFile = *v;
      } else if (a == "--license") {
        options.LicenseFile = *v;
      } else if (a == "--control") {
        options.ControlFile = *v;
      } else if (a == "--nginx-site") {
        nginx_dir = *v;
      } else {
        std::size_t eq = v->find('=');
        const std::size_t path_at = v->rfind("https:", 0) == 0 ? 6 : 0;
        if (eq == std::string::npos || eq <= path_at || (*v)[path_at] != '/') {
          return Usage("--answer wants PATH=ANSWER: " + *v);
        }
        std::string why;
        auto answer = demo::ParseAnswer(v->substr(eq + 1), &why);
        if (!answer) return Usage(why);
        answers.emplace_back(v->substr(0, eq), *answer);
      }
    } else {
      return Usage("unknown option: " + a);
    }
  }
  if (options.SetupFile.empty()) return Usage("no setup program: give --setup FILE");
  if (options.TlsCertFile.empty() != options.TlsKeyFile.empty()) {
    return Usage("--tls-cert and --tls-key go together");
  }

  if (!nginx_dir.empty()) {
    if (options.Port == 0) return Usage("--nginx-site needs --port");
    std::string why;
    if (!demo::WriteNginxSite(nginx_dir, options.Address, options.Port, options.SetupFile,
                              options.LicenseFile, &why)) {
      std::cerr << "vexlor-demo-server: " << why << "\n";
      return 1;
    }
    std::cout << nginx_dir << "/nginx.conf\n";
    return 0;
  }

  if (!quiet) {
    options.Log = [](const std::string& line) {
      // One write per line, so lines from several connections do not interleave.
      std::string out = "demo-server: " + line + "\n";
      std::fwrite(out.data(), 1, out.size(), stderr);
    };
  }

  // The signals end the server in the main thread; the serving threads never see them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  demo::DemoServer server(options);
  for (const auto& [path, answer] : answers)
    server.SetAnswer(path, answer);
  std::string why;
  if (!server.Start(&why)) {
    std::cerr << "vexlor-demo-server: " << why << "\n";
    return 1;
  }
  if (!port_file.empty()) {
    // Written whole under another name first, so a reader never sees half a number.
    std::string tmp = port_file + ".tmp";
    std::ofstream(tmp) << server.Port() << "\n";
    if (std::rename(tmp.c_str(), port_file.c_str()) != 0) {
      std::cerr << "vexlor-demo-server: cannot write " << port_file << "\n";
      return 1;
    }
  }
  std::cerr << "vexlor-demo-server: serving " << server.BaseUrl() << "/download.php and "
            << server.BaseUrl() << "/license.php\n";
  if (server.TlsPort() != 0) {
    std::cerr << "vexlor-demo-server: and over TLS at " << server.TlsBaseUrl() << "\n";
  }

  int sig = 0;
  sigwait(&stop_signals, &sig);
  server.Stop();
  return 0;
}
