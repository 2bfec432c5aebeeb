// The addresses the installer fetches: the download and the licence page. Their hosts are build
// settings (VEXLOR_DOWNLOAD_HOST, VEXLOR_WEB_HOST); scheme and paths are fixed.
#pragma once

#include "platform/text.h"

namespace installer {

// "http://<download host>/download.php"
String DownloadUrl();
// "http://<web host>/license.php"
String LicenseUrl();

// The options text of the HTML dialog: "resizable:yes;" when resizable, then
// "dialogHeight:<h> px;dialogWidth:<w> px;".
String HtmlDialogOptions(bool resizable, int height, int width);

}  // namespace installer
