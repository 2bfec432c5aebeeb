// Parts of the FLTK window that take outside data: the icon decoder (embedded data, but read
// with bounds checks all the same), the licence page's clean-up and the text conversion for
// display.
#include <gtest/gtest.h>

#include <FL/Fl_RGB_Image.H>

#include <vector>

#include "ui/fltk/fltk_internal.h"
#include "ui/layout.h"

namespace ui::fltk {
namespace {

TEST(FltkIcon, DecodesTheEmbeddedIconLargestFirst) {
  std::span<const std::uint8_t> ico = IconData();
  auto images = DecodeIcon(ico.data(), ico.size());
  ASSERT_EQ(images.size(), 4u);
  std::vector<int> sizes;
  for (auto& i : images) {
    EXPECT_EQ(i->w(), i->h());
    EXPECT_EQ(i->d(), 4);
    sizes.push_back(i->w());
  }
  EXPECT_EQ(sizes, (std::vector<int>{64, 48, 32, 16}));
}

TEST(FltkIcon, MalformedDataGivesNoImagesAndReadsNothingOutside) {
  std::span<const std::uint8_t> ico = IconData();
  std::vector<std::uint8_t> good(ico.begin(), ico.end());
  struct Case {
    const char* name;
    std::vector<std::uint8_t> data;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"header only", {0, 0, 1, 0}},
      {"directory cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 30)},
      {"images cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 200)},
      {"not an icon", std::vector<std::uint8_t>(64, 0xFF)},
  };
  // An entry whose offset points past the end.
  std::vector<std::uint8_t> far = good;
  far[6 + 12] = far[6 + 13] = far[6 + 14] = far[6 + 15] = 0xFF;
  cases.push_back({"offset past the end", far});
  // The first entry's image damaged: a huge width in its header, a flipped byte in its pixels,
  // or a directory entry naming another size than the image has.
  const std::size_t first = good[6 + 12] | (good[6 + 13] << 8) | (good[6 + 14] << 16);
  std::vector<std::uint8_t> huge = good;
  huge[first + 16] = 0x7F;  // PNG header: width, big-endian
  cases.push_back({"width out of range", huge});
  std::vector<std::uint8_t> flipped = good;
  flipped[first + 60] ^= 0x55;
  cases.push_back({"corrupt pixels", flipped});
  std::vector<std::uint8_t> other = good;
  other[6] = 32;
  cases.push_back({"size unlike the entry's", other});
  for (const Case& c : cases) {
    auto images = DecodeIcon(c.data.data(), c.data.size());
    if (c.data.size() == good.size())
      EXPECT_EQ(images.size(), 3u) << c.name;  // the other entries still decode
    else
      EXPECT_TRUE(images.empty()) << c.name;
  }
}

TEST(FltkHtml, FetchedPagesLoseImagesAndScripts) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"<p>plain</p>", "<p>plain</p>"},
      {"<p>a<img src=\"/etc/passwd\">b</p>", "<p>ab</p>"},
      {"<P>a<IMG SRC='x.png' WIDTH=3>b", "<P>ab"},
      {"x<script>alert(1)</script>y", "xy"},
      {"x<SCRIPT type=a>1<2</Script >y", "xy"},
      {"<imgfoo>keep</imgfoo>", "<imgfoo>keep</imgfoo>"},  // another tag
      {"cut <img src=", "cut "},
      {"cut <script>never closed", "cut "},
      {"a < b", "a < b"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SanitizeHtml(c.in), c.out) << c.in;
}

// A page of the largest size the installer fetches, full of tags, in one pass: each "<" is
// looked at where it stands (searching the rest of the page from every one of them would take
// hours here).
TEST(FltkHtml, ALargePageFullOfTagsIsCleanedInOnePass) {
  std::string page;
  while (page.size() < 1024 * 1024)
    page += "<b>x</b><i>y</i>";
  std::string cleaned = SanitizeHtml(page + "<img src=z>" + page);
  EXPECT_EQ(cleaned, page + page);
}

TEST(FltkText, LineBreaksBecomeNewlines) {
  EXPECT_EQ(DisplayText(u"a\r\nb"), "a\nb");
  EXPECT_EQ(DisplayText(u"a\rb\nc"), "a\nb\nc");
  EXPECT_EQ(DisplayText(u"\u00e9t\u00e9"), "\xc3\xa9t\xc3\xa9");
}

}  // namespace
}  // namespace ui::fltk
