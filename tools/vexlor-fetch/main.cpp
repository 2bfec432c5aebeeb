// vexlor-fetch [-v] [--retries N] [--retry-pause-ms MS] [--roots PEMFILE] URL FILE: downloads
// URL into FILE with the installer's HTTP client settings and its synchronous Get, on the
// headless application (no window).
//
// URL may be http or https. An https server's certificate is always verified against the
// system's roots (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR apply) and the
// roots of --roots, if given.
//
// A failure that may pass is tried again as the installer does (download_retry.h): up to
// --retries times (5 unless given), after pauses from --retry-pause-ms (1000 unless given)
// doubling up to eight times that, resuming where the part file ends. -v prints one line per
// attempt to stderr (address without credentials, range, status, bytes, error).
//
// The request goes the way the system's proxy settings name for URL (http/system_proxy.h): on
// Linux curl's variables (http_proxy, https_proxy, all_proxy, no_proxy and their upper-case
// forms but HTTP_PROXY), on Windows the user's Internet settings. -v names the way a setting
// chose (never the credentials); with no proxy set it prints nothing more than before. A proxy
// setting that cannot be used is error 17, and nothing is sent.
//
// When an answer carries a sha-256 Repr-Digest or Content-Digest, the document must match it
// (download_retry.h); a mismatch or an unreadable digest field is error 19, never retried.
//
// Exit status 0 only when the request ended with error 0 and status 200. Otherwise one line
// "error <code> status <status> <reason>" goes to stderr and the status is 1 (2 for wrong
// arguments); the reason is the server's text, so its control characters are printed as "?".
// The body is written to a temporary file beside FILE that replaces FILE in one rename, and only
// once it is complete: a failed download never leaves a partial FILE behind, and a failed
// rename leaves the old FILE as it was.
#include <cstdio>
#include <string>
#include <cstdlib>
#include <cstring>

#include "http/download_retry.h"
#include "http/httpcli.h"
#include "http/retry_pause.h"
#include "http/system_proxy.h"
#include "platform/files.h"

namespace {

// A server's text made fit for a terminal: control characters (C0, DEL and C1, which the
// client's byte-for-character reading turns the bytes 128 to 159 into) become "?".
String Printable(String s) {
  for (char16_t& c : s)
    if (c < 32 || (c >= 127 && c < 160)) c = u'?';
  return s;
}

// A whole non-negative decimal number below 2^31.
bool ReadNumber(const char* s, long& value) {
  if (*s == 0 || std::strlen(s) > 9) return false;
  for (const char* p = s; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  value = std::strtol(s, nullptr, 10);
  return true;
}

void Report(int err, int status, const String& reason) {
  std::fprintf(stderr, "error %d status %d %s\n", err, status,
               text::ToUtf8(Printable(reason)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  String roots;
  long retries = download_retry::kMaxDownloadRetries;
  long first_pause = 1000;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "-v") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[arg], "--retries") == 0 && arg + 1 < argc &&
               ReadNumber(argv[arg + 1], retries) && retries <= 100) {
      ++arg;
    } else if (std::strcmp(argv[arg], "--roots") == 0 && arg + 1 < argc) {
      roots = text::FromUtf8(argv[++arg]);
    } else if (std::strcmp(argv[arg], "--retry-pause-ms") == 0 && arg + 1 < argc &&
               ReadNumber(argv[arg + 1], first_pause) && first_pause <= 600000) {
      ++arg;
    } else {
      break;
    }
  }
  if (argc - arg != 2) {
    std::fprintf(stderr,
                 "usage: vexlor-fetch [-v] [--retries N] [--retry-pause-ms MS] [--roots PEMFILE] "
                 "URL FILE\n");
    return 2;
  }
  const String url = text::FromUtf8(argv[arg]);
  const String file = text::FromUtf8(argv[arg + 1]);
  const String part = file + u".vexlor-fetch-part";

  plat::DeleteFile(part);  // left over from an interrupted run
  int err = 0;
  int status = 0;
  String reason;
  // The file stream goes before the part file is renamed or deleted.
  auto download = [&]() {
    plat::TFileStream out(part, plat::TFileMode::fmCreateNew);
    THttpCli cli(nullptr);
    cli.SetName(u"HttpCli");
    // The installer form's settings.
    cli.SetAgent(u"Mozilla/4.0 (compatible; Vexlor)");
    cli.SetAccept(u"image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    cli.SetRequestVer(u"1.0");
    cli.SetFollowRelocation(true);
    cli.SetLocationChangeMaxCount(5);
    cli.SetTimeout(30);
    cli.SetSslTrustedRootsFile(roots);
    cli.SetRcvdStream(&out);
    download_retry::TResumableDownload attempts(cli, out);
    attempts.SetMaxRetries(static_cast<int>(retries));
    attempts.SetFirstPauseMs(static_cast<std::uint32_t>(first_pause));
    bool judged_ok = true;
    cli.OnDocData = [&](TObject*, const void* Buffer, std::int32_t Len) {
      if (!attempts.BlockReceived(Buffer, Len)) {
        judged_ok = false;
        cli.Abort();
      }
    };
    String logged_route;
    for (;;) {
      // The way the system's proxy settings name for the URL, chosen for every attempt.
      const plat::proxy::TProxyRoute route = system_proxy::UseSystemProxy(cli, url);
      const String described = plat::proxy::DescribeRoute(route);
      if (!route.Usable()) {
        err = reqErrUnsafeRequest;
        status = 0;
        reason = described;
        break;
      }
      if (verbose && route.Configured() && described != logged_route)
        std::fprintf(stderr, "proxy: %s\n", text::ToUtf8(described).c_str());
      logged_route = described;
      attempts.BeginAttempt();
      cli.SetURL(url);
      try {
        cli.Get();
      } catch (EHttpException&) {
        // The outcome is read below; Get raises for every failure and for status >= 400.
      }
      err = cli.RequestDoneError() & 0xFFFF;
      status = cli.StatusCode();
      reason = cli.ReasonPhrase();
      const auto verdict = attempts.AttemptEnded(static_cast<std::uint16_t>(err));
      if (verbose)
        std::fprintf(stderr, "%s\n",
                     text::ToUtf8(attempts.AttemptLine(static_cast<std::uint16_t>(err))).c_str());
      if (verdict == download_retry::TAttemptVerdict::avComplete) {
        status = 200;  // the whole document, from one answer or stitched from several
        break;
      }
      if (verdict == download_retry::TAttemptVerdict::avFailed) {
        if (!judged_ok || !attempts.FailureText().empty()) {
          // A failed digest check keeps its own code (19), whatever ended the request.
          if (attempts.FailureCode() == reqErrDigestMismatch) {
            err = reqErrDigestMismatch;
            status = attempts.FailureStatus();
          } else {
            err = err == 0 ? reqErrDocIncomplete : err;
          }
          reason = attempts.FailureText();
        }
        break;
      }
      TRetryPause pause;
      if (!pause.Run(attempts.PauseMs(), nullptr)) {
        err = reqErrAborted;
        reason = u"interrupted";
        break;
      }
    }
    cli.SetRcvdStream(nullptr);
  };
  try {
    download();
  } catch (std::exception& e) {
    // No file to create, no window for the client's messages, ...
    plat::DeleteFile(part);
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (err != 0 || status != 200) {
    plat::DeleteFile(part);
    Report(err, status, reason);
    return 1;
  }
  // One rename puts the complete download in place; the old FILE stays until then and, when
  // the rename fails, afterwards.
  if (!plat::MoveFileReplace(part, file)) {
    const String why = plat::SystemErrorMessage(plat::LastFileError());
    plat::DeleteFile(part);
    std::fprintf(stderr, "cannot rename the download to %s: %s\n", argv[arg + 1],
                 text::ToUtf8(why).c_str());
    return 1;
  }
  return 0;
}
