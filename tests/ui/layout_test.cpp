// The layout table: its shape (every control once, parents first, places inside the window),
// the roles it gives the pages' controls, and the embedded artwork it names.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "ui/layout.h"

namespace ui {
namespace {

using enum ControlId;

TEST(Layout, OneRowPerControlInEnumerationOrderWithUniqueNames) {
  std::set<std::string> names;
  for (int i = 0; i < kControlCount; ++i) {
    EXPECT_EQ(Index(kLayout[i].Id), i) << kLayout[i].Name;
    EXPECT_TRUE(names.insert(kLayout[i].Name).second) << kLayout[i].Name;
  }
}

TEST(Layout, ParentsComeBeforeTheirChildrenAndAreWindowOrPanels) {
  std::set<ControlId> seen{frmMain};
  for (const ControlDef& s : kLayout) {
    if (s.Kind == ControlKind::ckWindow) continue;
    EXPECT_TRUE(seen.count(s.Parent)) << s.Name;
    EXPECT_TRUE(s.Parent == frmMain || Def(s.Parent).Kind == ControlKind::ckPanel) << s.Name;
    seen.insert(s.Id);
  }
}

TEST(Layout, WindowStackingFromTheBottom) {
  EXPECT_EQ(Children(frmMain), (std::vector<ControlId>{imgBackgr, imgVexlorLogo, paInstallError,
                                                       paFinish, paInstalling, paStart}));
}

TEST(Layout, ControlsLieInsideTheClientArea) {
  for (const ControlDef& s : kLayout) {
    if (s.Id == imgBackgr) {
      // The background is two rows taller and cut off at the top.
      EXPECT_EQ(s.Top, -2);
      EXPECT_EQ(s.Top + s.Height, kWindow.ClientHeight);
      continue;
    }
    EXPECT_GE(s.Left, 0) << s.Name;
    EXPECT_GE(s.Top, 0) << s.Name;
    EXPECT_LE(s.Left + s.Width, kWindow.ClientWidth) << s.Name;
    EXPECT_LE(s.Top + s.Height, kWindow.ClientHeight) << s.Name;
  }
  for (ControlId p : {paStart, paInstalling, paFinish, paInstallError}) {
    EXPECT_EQ(Def(p).Width, kWindow.ClientWidth);
    EXPECT_EQ(Def(p).Height, kWindow.ClientHeight);
  }
}

struct PageRoles {
  ControlId page;
  std::vector<ControlId> tab_order;
  ControlId default_button;  // frmMain: none
  ControlId cancel_button;
};

class LayoutPage : public ::testing::TestWithParam<PageRoles> {};

TEST_P(LayoutPage, TabOrderDefaultAndCancelButtons) {
  const PageRoles& r = GetParam();
  EXPECT_EQ(TabOrder(r.page), r.tab_order);
  EXPECT_EQ(DefaultButton(r.page), r.default_button);
  EXPECT_EQ(CancelButton(r.page), r.cancel_button);
  for (ControlId id : r.tab_order)
    EXPECT_EQ(PageOf(id), r.page);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, LayoutPage,
    ::testing::Values(
        PageRoles{
            paStart, {edInstallPath, edInstallPathChange, chbCreateDesktopIcon}, frmMain, frmMain},
        PageRoles{paInstalling, {ProgressBarDownloading, btnCancel}, frmMain, btnCancel},
        PageRoles{paFinish, {chbStartVexlor, btnInstalledFinish}, btnInstalledFinish, frmMain},
        PageRoles{paInstallError, {btnCancelledFinish}, btnCancelledFinish, frmMain},
        // The panels among themselves.
        PageRoles{frmMain, {paInstalling, paStart, paFinish, paInstallError}, frmMain, frmMain}));

TEST(Layout, HoverPairSharesOneRectangleWithOnlyTheNormalLookShown) {
  const ControlDef& normal = Def(imgBtnInstall);
  const ControlDef& hover = Def(imgBtnInstallHg);
  EXPECT_EQ(std::tie(normal.Left, normal.Top, normal.Width, normal.Height),
            std::tie(hover.Left, hover.Top, hover.Width, hover.Height));
  EXPECT_TRUE(normal.Visible);
  EXPECT_FALSE(hover.Visible);
  EXPECT_TRUE(normal.Events & evMouseEnter);
  EXPECT_TRUE(hover.Events & evMouseLeave);
  EXPECT_TRUE((normal.Events & evClick) && (hover.Events & evClick));
}

// The percent label grows to the left: its right edge stays at the progress bar's right end.
TEST(Layout, PercentLabelKeepsItsRightEdge) {
  const ControlDef& pct = Def(lblProgressPercent);
  const ControlDef& bar = Def(ProgressBarDownloading);
  ASSERT_EQ(bar.Left + bar.Width, kProgressRightEdge);
  for (int text_width : {7, 12, 17, 24, 31}) {
    EXPECT_EQ(LabelLeft(pct, text_width) + text_width, kProgressRightEdge) << text_width;
  }
  // Left-aligned labels keep their left edge.
  EXPECT_EQ(LabelLeft(Def(lblProgressText), 200), Def(lblProgressText).Left);
}

TEST(Layout, PicturesSizedToTheirPictureMatchIt) {
  for (const ControlDef& s : kLayout) {
    if (s.Kind != ControlKind::ckPicture) continue;
    const PictureDef& p = PictureInfo(s.Pic);
    ASSERT_NE(p.File, nullptr) << s.Name;
    EXPECT_EQ(s.Width, p.Width) << s.Name;
    EXPECT_EQ(s.Height, p.Height) << s.Name;
  }
}

// --- The embedded artwork ------------------------------------------------------------------

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

struct ImageHeader {
  int width = 0, height = 0;
  int bits = 0;        // bits per sample
  int components = 0;  // JPEG: colour components; PNG: 4 for RGBA
  bool baseline = false;
};

// PNG: the IHDR chunk right after the signature.
bool ReadPng(std::span<const std::uint8_t> d, ImageHeader& h) {
  static const std::uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (d.size() < 33 || !std::equal(kSig, kSig + 8, d.begin())) return false;
  if (std::string(d.begin() + 12, d.begin() + 16) != "IHDR") return false;
  h.width = static_cast<int>(Be32(&d[16]));
  h.height = static_cast<int>(Be32(&d[20]));
  h.bits = d[24];
  h.components = d[25] == 6 ? 4 : 0;  // colour type 6: RGBA
  return true;
}

// JPEG: walk the segments to the start-of-frame marker.
bool ReadJpeg(std::span<const std::uint8_t> d, ImageHeader& h) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
  std::size_t i = 2;
  while (i + 4 <= d.size()) {
    if (d[i] != 0xFF) return false;
    std::uint8_t marker = d[i + 1];
    std::size_t len = (d[i + 2] << 8) | d[i + 3];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (i + 2 + len > d.size() || len < 8) return false;
      h.baseline = marker == 0xC0;
      h.bits = d[i + 4];
      h.height = (d[i + 5] << 8) | d[i + 6];
      h.width = (d[i + 7] << 8) | d[i + 8];
      h.components = d[i + 9];
      return true;
    }
    i += 2 + len;
  }
  return false;
}

TEST(Artwork, EveryPictureIsEmbeddedInItsFormatAndSize) {
  for (int i = 1; i < kPictureCount; ++i) {
    const PictureDef& p = kPictures[i];
    std::span<const std::uint8_t> data = PictureData(p.Id);
    ASSERT_FALSE(data.empty()) << p.File;
    ImageHeader h;
    if (p.Format == PictureFormat::pfPng) {
      ASSERT_TRUE(ReadPng(data, h)) << p.File;
      EXPECT_EQ(h.bits, 8) << p.File;
      EXPECT_EQ(h.components, 4) << p.File;
    } else {
      ASSERT_TRUE(ReadJpeg(data, h)) << p.File;
      EXPECT_TRUE(h.baseline) << p.File;
      EXPECT_EQ(h.bits, 8) << p.File;
      EXPECT_EQ(h.components, 3) << p.File;
    }
    EXPECT_EQ(h.width, p.Width) << p.File;
    EXPECT_EQ(h.height, p.Height) << p.File;
  }
}

// The committed icon: embedded on Linux; a Windows program carries it as its icon resource
// (installer_program_test reads that back), so there the test reads the file itself.
std::vector<std::uint8_t> IconFile() {
  std::span<const std::uint8_t> embedded = IconData();
  if (!embedded.empty()) return {embedded.begin(), embedded.end()};
  std::ifstream in(std::string(VEXLOR_ASSETS_DIR) + "/vexlor.ico", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Artwork, IconHoldsFourSizesAtThirtyTwoBits) {
  std::vector<std::uint8_t> d = IconFile();
  ASSERT_GE(d.size(), 6u);
  auto le16 = [&](std::size_t o) { return d[o] | (d[o + 1] << 8); };
  auto le32 = [&](std::size_t o) {
    return std::uint32_t(le16(o)) | (std::uint32_t(le16(o + 2)) << 16);
  };
  EXPECT_EQ(le16(0), 0);
  EXPECT_EQ(le16(2), 1);  // icon
  ASSERT_EQ(le16(4), 4);
  std::vector<int> sizes;
  for (int i = 0; i < 4; ++i) {
    std::size_t e = 6 + 16 * i;
    int size = d[e] == 0 ? 256 : d[e];
    sizes.push_back(size);
    EXPECT_EQ(le16(e + 6), 32) << size;  // bits per pixel
    std::uint32_t bytes = le32(e + 8), offset = le32(e + 12);
    ASSERT_LE(std::size_t{offset} + bytes, d.size()) << size;
    // The image: a PNG of that size, 8 bits per channel, RGBA (32 bits per pixel).
    ASSERT_GE(bytes, 33u) << size;
    auto be32 = [&](std::size_t o) {
      return std::uint32_t(d[o]) << 24 | std::uint32_t(d[o + 1]) << 16 | d[o + 2] << 8 | d[o + 3];
    };
    EXPECT_EQ(std::string(d.begin() + offset, d.begin() + offset + 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(std::string(d.begin() + offset + 12, d.begin() + offset + 16), "IHDR");
    EXPECT_EQ(be32(offset + 16), std::uint32_t(size));
    EXPECT_EQ(be32(offset + 20), std::uint32_t(size));
    EXPECT_EQ(d[offset + 24], 8) << size;  // bits per channel
    EXPECT_EQ(d[offset + 25], 6) << size;  // colour type: RGBA
  }
  EXPECT_EQ(sizes, (std::vector<int>{64, 48, 32, 16}));
}

}  // namespace
}  // namespace ui
