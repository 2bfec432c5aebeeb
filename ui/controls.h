// The names of the wizard window's controls, as the controller and every toolkit use them.
//
// One enumerator per control of the layout (ui/layout.h), in the order of the layout table.
// The enumerators carry the controls' own names, so code reads like the window it drives:
// view.SetText(ControlId::lblProgressText, ...).
#pragma once

#include <cstdint>

namespace ui {

enum class ControlId : std::uint8_t {
  // The window itself: no parent. Used as the owner of the pages and of the window-wide
  // pictures; never passed to the View's control operations.
  frmMain,

  // Window-wide pictures beneath the pages.
  imgBackgr,
  imgVexlorLogo,

  // The four pages (panels), in the order they are stacked at creation, bottom first.
  paInstallError,
  paFinish,
  paInstalling,
  paStart,

  // Start page.
  lblLicenseAgreementCapt,
  lblLicenseAgreement,
  imgBtnInstallHg,
  imgBtnInstall,
  lblWelcome,
  lblDestinationFolder,
  imgNorvaneLogo,
  edInstallPath,
  edInstallPathChange,
  chbCreateDesktopIcon,

  // Installing page.
  lblProgressPercent,
  lblProgressText,
  Image1,
  ProgressBarDownloading,
  btnCancel,

  // Finish page.
  lblFinish2,
  lblFinish3,
  lblFinish1,
  imgInstallationFinish,
  chbStartVexlor,
  btnInstalledFinish,

  // Error page.
  lblErrorMessageCapt,
  lblErrorMessageCapt1,
  lblErrorMessageCapt2,
  imgInstallationError,
  btnCancelledFinish,
};

constexpr int kControlCount = static_cast<int>(ControlId::btnCancelledFinish) + 1;

constexpr int Index(ControlId id) {
  return static_cast<int>(id);
}

constexpr bool IsPage(ControlId id) {
  return id == ControlId::paStart || id == ControlId::paInstalling || id == ControlId::paFinish ||
         id == ControlId::paInstallError;
}

}  // namespace ui
