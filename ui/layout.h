// The wizard window's layout as data: the frame, the fonts, the pictures and every control with
// its place, size, text, look, initial state, tab order and role on its page.
//
// Every toolkit builds its window from this table and nothing else, so the FLTK window, the
// native Windows window and the fake view agree control for control. Places and sizes are
// client pixels at 96 dpi; a toolkit scales them with the display's dpi.
//
// Order matters: the table lists each parent's children in stacking order from the bottom,
// and the window's own children (background, logo, pages) first.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ui/controls.h"

namespace ui {

enum class ControlKind : std::uint8_t {
  ckWindow,
  ckPicture,
  ckPanel,
  ckLabel,
  ckEdit,
  ckButton,
  ckCheckBox,
  ckProgressBar,
};

enum class FontKind : std::uint8_t {
  fkWindow,    // Tahoma, 11 pixels
  fkHeadline,  // Tahoma, 16 pixels
  fkBold,      // Tahoma, 11 pixels, bold
};

enum class Picture : std::uint8_t {
  pcNone,
  pcBackground,
  pcVexlorLogo,
  pcInstallButton,
  pcInstallButtonHover,
  pcNorvaneLogo,
  pcFinishBadge,
  pcErrorBadge,
};
constexpr int kPictureCount = static_cast<int>(Picture::pcErrorBadge) + 1;

enum class PictureFormat : std::uint8_t { pfJpeg, pfPng };

enum class Cursor : std::uint8_t { crDefault, crHand };
enum class Align : std::uint8_t { alLeft, alRight };

// Events a control reports to the controller.
enum ControlEvents : std::uint8_t {
  evNone = 0,
  evClick = 1,
  evMouseEnter = 2,
  evMouseLeave = 4,
};

// 0xRRGGBB, or kColorWindowText for the system's window-text colour.
constexpr std::uint32_t kColorWindowText = 0xFF000000u;
constexpr std::uint32_t kColorWhite = 0xFFFFFF;

struct WindowDef {
  const char16_t* Caption;
  int ClientWidth;
  int ClientHeight;
  std::uint32_t Color;
  bool Resizable;
  bool Maximizable;
  bool Minimizable;
  bool Centered;
};

inline constexpr WindowDef kWindow{
    .Caption = u"Vexlor Installer",
    .ClientWidth = 594,
    .ClientHeight = 424,
    .Color = kColorWhite,
    .Resizable = false,
    .Maximizable = false,
    .Minimizable = true,
    .Centered = true,
};

struct FontDef {
  const char* Face;
  int PixelHeight;  // character height at 96 dpi
  bool Bold;
};

inline constexpr FontDef kFonts[] = {
    {"Tahoma", 11, false},  // fkWindow
    {"Tahoma", 16, false},  // fkHeadline
    {"Tahoma", 11, true},   // fkBold
};

inline const FontDef& Font(FontKind f) {
  return kFonts[static_cast<int>(f)];
}

struct PictureDef {
  Picture Id;
  const char* File;  // name under ui/assets/
  PictureFormat Format;
  int Width;
  int Height;
};

inline constexpr PictureDef kPictures[kPictureCount] = {
    {Picture::pcNone, nullptr, PictureFormat::pfPng, 0, 0},
    {Picture::pcBackground, "background.jpg", PictureFormat::pfJpeg, 594, 426},
    {Picture::pcVexlorLogo, "vexlor-logo.png", PictureFormat::pfPng, 272, 47},
    {Picture::pcInstallButton, "install-button.png", PictureFormat::pfPng, 195, 64},
    {Picture::pcInstallButtonHover, "install-button-hover.png", PictureFormat::pfPng, 195, 64},
    {Picture::pcNorvaneLogo, "norvane-logo.png", PictureFormat::pfPng, 166, 31},
    {Picture::pcFinishBadge, "badge-finish.png", PictureFormat::pfPng, 64, 64},
    {Picture::pcErrorBadge, "badge-error.png", PictureFormat::pfPng, 64, 64},
};

inline const PictureDef& PictureInfo(Picture p) {
  return kPictures[static_cast<int>(p)];
}

// The program icon: one .ico file with 64, 48, 32 and 16 pixel images at 32 bits per pixel.
inline constexpr const char* kIconFile = "vexlor.ico";
inline constexpr int kIconSizes[] = {64, 48, 32, 16};

struct ControlDef {
  ControlId Id;
  const char* Name;
  ControlKind Kind;
  ControlId Parent;
  int Left;
  int Top;
  int Width;
  int Height;
  const char16_t* Text = u"";
  FontKind Font = FontKind::fkWindow;
  std::uint32_t Color = kColorWindowText;  // text colour
  bool Underline = false;
  Picture Pic = Picture::pcNone;
  bool Visible = true;
  bool Enabled = true;
  bool Checked = false;
  int TabOrder = -1;     // -1: takes no focus
  bool Default = false;  // the page's Enter button
  bool Cancel = false;   // the page's Esc button
  Cursor Cur = Cursor::crDefault;
  Align Alignment = Align::alLeft;
  bool AutoSize = false;  // labels: sized to their text; pictures: to their picture
  bool WordWrap = false;
  std::uint8_t Events = evNone;
  int RangeMin = 0;  // progress bars
  int RangeMax = 0;
};

// The right end of the progress bar, where the percent label keeps its right edge.
inline constexpr int kProgressRightEdge = 555;

// The table itself, one row per ControlId in enumeration order.
// clang-format off
inline constexpr std::array<ControlDef, kControlCount> kLayout = [] {
  using enum ControlId;
  using enum ControlKind;
  using enum Picture;
  return std::array<ControlDef, kControlCount>{{
    {.Id = frmMain, .Name = "frmMain", .Kind = ckWindow, .Parent = frmMain,
     .Left = 0, .Top = 0, .Width = 594, .Height = 424, .Text = u"Vexlor Installer"},

    // Window-wide pictures beneath the pages.
    {.Id = imgBackgr, .Name = "imgBackgr", .Kind = ckPicture, .Parent = frmMain,
     .Left = 0, .Top = -2, .Width = 594, .Height = 426, .Pic = pcBackground},
    {.Id = imgVexlorLogo, .Name = "imgVexlorLogo", .Kind = ckPicture, .Parent = frmMain,
     .Left = 40, .Top = 48, .Width = 272, .Height = 47, .Pic = pcVexlorLogo, .AutoSize = true},

    // Pages, stacked bottom first; the tab order among the panels differs from the stacking.
    {.Id = paInstallError, .Name = "paInstallError", .Kind = ckPanel, .Parent = frmMain,
     .Left = 0, .Top = 0, .Width = 594, .Height = 424, .TabOrder = 3},
    {.Id = paFinish, .Name = "paFinish", .Kind = ckPanel, .Parent = frmMain,
     .Left = 0, .Top = 0, .Width = 594, .Height = 424, .TabOrder = 2},
    {.Id = paInstalling, .Name = "paInstalling", .Kind = ckPanel, .Parent = frmMain,
     .Left = 0, .Top = 0, .Width = 594, .Height = 424, .TabOrder = 0},
    {.Id = paStart, .Name = "paStart", .Kind = ckPanel, .Parent = frmMain,
     .Left = 0, .Top = 0, .Width = 594, .Height = 424, .TabOrder = 1},

    // Start page.
    {.Id = lblLicenseAgreementCapt, .Name = "lblLicenseAgreementCapt", .Kind = ckLabel, .Parent = paStart,
     .Left = 107, .Top = 352, .Width = 273, .Height = 13,
     .Text = u"By installing or using this product, you are agreeing to its",
     .Color = 0x444444, .AutoSize = true},
    {.Id = lblLicenseAgreement, .Name = "lblLicenseAgreement", .Kind = ckLabel, .Parent = paStart,
     .Left = 383, .Top = 352, .Width = 138, .Height = 13, .Text = u"End-User License Agreement",
     .Color = 0x0080C0, .Underline = true, .Cur = Cursor::crHand, .AutoSize = true,
     .Events = evClick},
    {.Id = imgBtnInstallHg, .Name = "imgBtnInstallHg", .Kind = ckPicture, .Parent = paStart,
     .Left = 203, .Top = 260, .Width = 195, .Height = 64, .Pic = pcInstallButtonHover,
     .Visible = false, .Cur = Cursor::crHand, .AutoSize = true, .Events = evClick | evMouseLeave},
    {.Id = imgBtnInstall, .Name = "imgBtnInstall", .Kind = ckPicture, .Parent = paStart,
     .Left = 203, .Top = 260, .Width = 195, .Height = 64, .Pic = pcInstallButton,
     .Cur = Cursor::crHand, .AutoSize = true, .Events = evClick | evMouseEnter},
    {.Id = lblWelcome, .Name = "lblWelcome", .Kind = ckLabel, .Parent = paStart,
     .Left = 40, .Top = 127, .Width = 300, .Height = 19, .Text = u"Welcome to the Vexlor Setup Wizard",
     .Font = FontKind::fkHeadline, .AutoSize = true},
    {.Id = lblDestinationFolder, .Name = "lblDestinationFolder", .Kind = ckLabel, .Parent = paStart,
     .Left = 40, .Top = 168, .Width = 89, .Height = 13, .Text = u"Destination folder:",
     .AutoSize = true},
    {.Id = imgNorvaneLogo, .Name = "imgNorvaneLogo", .Kind = ckPicture, .Parent = paStart,
     .Left = 216, .Top = 375, .Width = 166, .Height = 31, .Pic = pcNorvaneLogo, .AutoSize = true},
    {.Id = edInstallPath, .Name = "edInstallPath", .Kind = ckEdit, .Parent = paStart,
     .Left = 40, .Top = 187, .Width = 401, .Height = 21,
     .Text = u"C:\\Program Files\\Norvane Vexlor\\", .TabOrder = 0},
    {.Id = edInstallPathChange, .Name = "edInstallPathChange", .Kind = ckButton, .Parent = paStart,
     .Left = 447, .Top = 185, .Width = 97, .Height = 25, .Text = u"Change", .TabOrder = 1,
     .Events = evClick},
    {.Id = chbCreateDesktopIcon, .Name = "chbCreateDesktopIcon", .Kind = ckCheckBox, .Parent = paStart,
     .Left = 40, .Top = 222, .Width = 434, .Height = 17, .Text = u"Create desktop icon",
     .Checked = true, .TabOrder = 2},

    // Installing page.
    {.Id = lblProgressPercent, .Name = "lblProgressPercent", .Kind = ckLabel, .Parent = paInstalling,
     .Left = 538, .Top = 191, .Width = 17, .Height = 13, .Text = u"0%",
     .Alignment = Align::alRight, .AutoSize = true},
    {.Id = lblProgressText, .Name = "lblProgressText", .Kind = ckLabel, .Parent = paInstalling,
     .Left = 40, .Top = 191, .Width = 113, .Height = 13, .Text = u"Downloading installer...",
     .AutoSize = true},
    {.Id = Image1, .Name = "Image1", .Kind = ckPicture, .Parent = paInstalling,
     .Left = 216, .Top = 375, .Width = 166, .Height = 31, .Pic = pcNorvaneLogo, .AutoSize = true},
    {.Id = ProgressBarDownloading, .Name = "ProgressBarDownloading", .Kind = ckProgressBar, .Parent = paInstalling,
     .Left = 40, .Top = 210, .Width = 515, .Height = 17, .TabOrder = 0,
     .RangeMin = 0, .RangeMax = 100},
    {.Id = btnCancel, .Name = "btnCancel", .Kind = ckButton, .Parent = paInstalling,
     .Left = 458, .Top = 237, .Width = 97, .Height = 25, .Text = u"Cancel", .TabOrder = 1,
     .Cancel = true, .Events = evClick},

    // Finish page.
    {.Id = lblFinish2, .Name = "lblFinish2", .Kind = ckLabel, .Parent = paFinish,
     .Left = 120, .Top = 180, .Width = 233, .Height = 13,
     .Text = u"Vexlor has been installed on your computer", .AutoSize = true},
    {.Id = lblFinish3, .Name = "lblFinish3", .Kind = ckLabel, .Parent = paFinish,
     .Left = 120, .Top = 203, .Width = 145, .Height = 13,
     .Text = u"Click Finish to close this wizard", .AutoSize = true},
    {.Id = lblFinish1, .Name = "lblFinish1", .Kind = ckLabel, .Parent = paFinish,
     .Left = 40, .Top = 127, .Width = 298, .Height = 19,
     .Text = u"Completing the Vexlor Setup Wizard", .Font = FontKind::fkHeadline, .AutoSize = true},
    {.Id = imgInstallationFinish, .Name = "imgInstallationFinish", .Kind = ckPicture, .Parent = paFinish,
     .Left = 40, .Top = 180, .Width = 64, .Height = 64, .Pic = pcFinishBadge},
    {.Id = chbStartVexlor, .Name = "chbStartVexlor", .Kind = ckCheckBox, .Parent = paFinish,
     .Left = 120, .Top = 228, .Width = 342, .Height = 17, .Text = u"Start Vexlor",
     .Font = FontKind::fkBold, .Checked = true, .TabOrder = 0},
    {.Id = btnInstalledFinish, .Name = "btnInstalledFinish", .Kind = ckButton, .Parent = paFinish,
     .Left = 250, .Top = 371, .Width = 97, .Height = 25, .Text = u"Finish", .TabOrder = 1,
     .Default = true, .Events = evClick},

    // Error page.
    {.Id = lblErrorMessageCapt, .Name = "lblErrorMessageCapt", .Kind = ckLabel, .Parent = paInstallError,
     .Left = 40, .Top = 127, .Width = 300, .Height = 19,
     .Text = u"Vexlor Setup Wizard was interrupted", .Font = FontKind::fkHeadline, .AutoSize = true},
    {.Id = lblErrorMessageCapt1, .Name = "lblErrorMessageCapt1", .Kind = ckLabel, .Parent = paInstallError,
     .Left = 120, .Top = 180, .Width = 354, .Height = 40,
     .Text = u"Vexlor setup was interrupted. Your system has not been modified. To install this "
             u"program at a later time, please run the installation again.",
     .WordWrap = true},
    {.Id = lblErrorMessageCapt2, .Name = "lblErrorMessageCapt2", .Kind = ckLabel, .Parent = paInstallError,
     .Left = 120, .Top = 228, .Width = 229, .Height = 13,
     .Text = u"Click the Finish button to exit the Setup Wizard.", .AutoSize = true},
    {.Id = imgInstallationError, .Name = "imgInstallationError", .Kind = ckPicture, .Parent = paInstallError,
     .Left = 40, .Top = 180, .Width = 64, .Height = 64, .Pic = pcErrorBadge},
    {.Id = btnCancelledFinish, .Name = "btnCancelledFinish", .Kind = ckButton, .Parent = paInstallError,
     .Left = 250, .Top = 371, .Width = 97, .Height = 25, .Text = u"Finish", .TabOrder = 0,
     .Default = true, .Events = evClick},
  }};
}();
// clang-format on

inline const ControlDef& Def(ControlId id) {
  return kLayout[Index(id)];
}

// The page a control lives on, or frmMain for the window-wide controls (and for the window).
ControlId PageOf(ControlId id);

// The children of a parent (frmMain or a page) in stacking order from the bottom.
std::vector<ControlId> Children(ControlId parent);

// The controls of a page that take the focus, in Tab order.
std::vector<ControlId> TabOrder(ControlId page);

// The page's default (Enter) and cancel (Esc) buttons; frmMain when the page has none.
ControlId DefaultButton(ControlId page);
ControlId CancelButton(ControlId page);

// Left edge of a label for a text `text_width` pixels wide: right-aligned labels keep their
// stored right edge (for the percent label, the progress bar's right end), others their left.
int LabelLeft(const ControlDef& def, int text_width);

// The embedded artwork (generated into the build from ui/assets/). The icon file is embedded
// only where the toolkit needs it as data (Linux); a Windows program carries it as its icon
// resource, and IconData is empty there.
std::span<const std::uint8_t> PictureData(Picture p);
std::span<const std::uint8_t> IconData();

}  // namespace ui
