// The addresses and the HTML dialog's options.
#include "installer/addresses.h"

#ifndef VEXLOR_DOWNLOAD_HOST
#error "VEXLOR_DOWNLOAD_HOST must name the download server (host[:port])"
#endif
#ifndef VEXLOR_WEB_HOST
#error "VEXLOR_WEB_HOST must name the web site (host[:port])"
#endif

#ifndef VEXLOR_RETRY_FIRST_PAUSE_MS
#define VEXLOR_RETRY_FIRST_PAUSE_MS 1000
#endif

namespace installer {

std::uint32_t RetryFirstPauseMs() {
  return VEXLOR_RETRY_FIRST_PAUSE_MS;
}

String DownloadUrl() {
  return u"http://" + text::FromUtf8(VEXLOR_DOWNLOAD_HOST) + u"/download.php";
}

String LicenseUrl() {
  return u"http://" + text::FromUtf8(VEXLOR_WEB_HOST) + u"/license.php";
}

String HtmlDialogOptions(bool resizable, int height, int width) {
  String options;
  if (resizable) options += u"resizable:yes;";
  options += u"dialogHeight:" + text::IntToStr(height) + u" px;";
  options += u"dialogWidth:" + text::IntToStr(width) + u" px;";
  return options;
}

}  // namespace installer
