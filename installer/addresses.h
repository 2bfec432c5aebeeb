// The addresses the installer fetches: the download and the licence page. Their hosts are build
// settings (VEXLOR_DOWNLOAD_HOST, VEXLOR_WEB_HOST); scheme and paths are fixed.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace installer {

// "http://<download host>/download.php"
String DownloadUrl();
// "http://<web host>/license.php"
String LicenseUrl();

// The first pause before a retry of the download, in milliseconds: a build setting
// (VEXLOR_RETRY_FIRST_PAUSE_MS, 1000 unless set; the end-to-end build shortens it so its
// failing cases spend the whole budget quickly).
std::uint32_t RetryFirstPauseMs();

// The options text of the HTML dialog: "resizable:yes;" when resizable, then
// "dialogHeight:<h> px;dialogWidth:<w> px;".
String HtmlDialogOptions(bool resizable, int height, int width);

}  // namespace installer
