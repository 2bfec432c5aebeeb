// vexlor-fetch [--roots PEMFILE] URL FILE: downloads URL into FILE with the installer's HTTP
// client settings and its synchronous Get, on the headless application (no window).
//
// URL may be http or https. An https server's certificate is always verified against the
// system's roots (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR apply) and the
// roots of --roots, if given.
//
// Exit status 0 only when the request ended with error 0 and status 200. Otherwise one line
// "error <code> status <status> <reason>" goes to stderr and the status is 1 (2 for wrong
// arguments); the reason is the server's text, so its control characters are printed as "?".
// The body is written to a temporary file beside FILE that replaces FILE in one rename, and only
// once it is complete: a failed download never leaves a partial FILE behind, and a failed
// rename leaves the old FILE as it was.
#include <cstdio>
#include <string>

#include "http/httpcli.h"
#include "platform/files.h"

namespace {

// A server's text made fit for a terminal: control characters (C0, DEL and C1, which the
// client's byte-for-character reading turns the bytes 128 to 159 into) become "?".
String Printable(String s) {
  for (char16_t& c : s)
    if (c < 32 || (c >= 127 && c < 160)) c = u'?';
  return s;
}

void Report(int err, int status, const String& reason) {
  std::fprintf(stderr, "error %d status %d %s\n", err, status,
               text::ToUtf8(Printable(reason)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  String roots;
  int arg = 1;
  if (argc == 5 && std::string(argv[1]) == "--roots") {
    roots = text::FromUtf8(argv[2]);
    arg = 3;
  } else if (argc != 3) {
    std::fprintf(stderr, "usage: vexlor-fetch [--roots PEMFILE] URL FILE\n");
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
    cli.SetURL(url);
    cli.SetRcvdStream(&out);
    try {
      cli.Get();
    } catch (EHttpException&) {
      // The outcome is read below; Get raises for every failure and for status >= 400.
    }
    err = cli.RequestDoneError() & 0xFFFF;
    status = cli.StatusCode();
    reason = cli.ReasonPhrase();
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
