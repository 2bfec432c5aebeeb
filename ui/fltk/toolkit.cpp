// Start-up of FLTK, the layout's fonts and pictures.
#include <FL/Fl.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_JPEG_Image.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "ui/fltk/fltk_internal.h"

namespace ui::fltk {

namespace {

// Fonts: FL_FREE_FONT and the next one hold the chosen face, plain and bold.
constexpr Fl_Font kFontPlain = FL_FREE_FONT;
constexpr Fl_Font kFontBold = FL_FREE_FONT + 1;

std::string g_face;
int g_sizes[3] = {0, 0, 0};  // per FontKind
std::string g_plain_name;    // FLTK font names carry the style as their first character
std::string g_bold_name;

bool SameFamily(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

// The first face that fontconfig has installed under exactly that family name. The layout's
// Tahoma comes first; the others are narrow sans faces of similar width, so the labels keep
// roughly the places and sizes the layout stores.
std::string ChooseFace() {
  static const char* const kCandidates[] = {"Tahoma", "Liberation Sans", "DejaVu Sans Condensed",
                                            "DejaVu Sans"};
  if (!FcInit()) return "Sans";
  for (const char* name : kCandidates) {
    FcPattern* pat = FcNameParse(reinterpret_cast<const FcChar8*>(name));
    if (!pat) continue;
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pat, &result);
    bool found = false;
    if (match) {
      // A face may carry several family names ("DejaVu Sans", "DejaVu Sans Condensed").
      FcChar8* family = nullptr;
      for (int i = 0; !found && FcPatternGetString(match, FC_FAMILY, i, &family) == FcResultMatch;
           ++i) {
        found = family && SameFamily(reinterpret_cast<const char*>(family), name);
      }
      FcPatternDestroy(match);
    }
    FcPatternDestroy(pat);
    if (found) return name;
  }
  return "Sans";
}

struct Pictures {
  std::array<std::unique_ptr<Fl_Image>, kPictureCount> images;
  std::vector<std::unique_ptr<Fl_RGB_Image>> icon_owned;
  std::vector<Fl_RGB_Image*> icon;
};

Pictures& LoadedPictures() {
  static Pictures* pics = [] {
    auto* p = new Pictures;
    for (int i = 1; i < kPictureCount; ++i) {
      const PictureDef& def = kPictures[i];
      std::span<const std::uint8_t> data = PictureData(def.Id);
      if (data.empty()) continue;
      std::unique_ptr<Fl_Image> img;
      if (def.Format == PictureFormat::pfPng) {
        img = std::make_unique<Fl_PNG_Image>(def.File, data.data(), static_cast<int>(data.size()));
      } else {
        img = std::make_unique<Fl_JPEG_Image>(def.File, data.data());
      }
      if (img->w() > 0 && img->h() > 0 && img->fail() == 0) p->images[i] = std::move(img);
    }
    std::span<const std::uint8_t> ico = IconData();
    p->icon_owned = DecodeIcon(ico.data(), ico.size());
    for (auto& i : p->icon_owned)
      p->icon.push_back(i.get());
    return p;
  }();
  return *pics;
}

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// How far right a self-sizing, left-aligned label may reach: the nearest control of its page
// that starts to its right on the same line, else the window's edge.
int RightLimit(const ControlDef& label) {
  int limit = kWindow.ClientWidth;
  for (const ControlDef& c : kLayout) {
    if (c.Id == label.Id || c.Parent != label.Parent || c.Kind == ControlKind::ckWindow) continue;
    bool same_line = c.Top < label.Top + label.Height && label.Top < c.Top + c.Height;
    if (same_line && c.Left > label.Left) limit = std::min(limit, c.Left);
  }
  return limit;
}

// Labels size themselves to their text. With a stand-in for the layout's face, the text may
// run wider than the layout planned; the font gets the largest size, no larger than the
// layout's, at which no such label runs into its neighbour on the same line (the licence
// sentence and its link) or out of the window.
void FitFontSizes() {
  for (FontKind f : {FontKind::fkWindow, FontKind::fkHeadline, FontKind::fkBold}) {
    int size = Font(f).PixelHeight;
    auto fits = [&](int s) {
      for (const ControlDef& c : kLayout) {
        if (c.Kind != ControlKind::ckLabel || !c.AutoSize || c.Font != f) continue;
        if (c.Alignment != Align::alLeft) continue;
        fl_font(FontOf(f), s);
        if (c.Left + fl_width(text::ToUtf8(c.Text).c_str()) > RightLimit(c)) return false;
      }
      return true;
    };
    while (size > 8 && !fits(size))
      --size;
    g_sizes[static_cast<int>(f)] = size;
  }
}

}  // namespace

void InitToolkit() {
  static bool done = false;
  if (done) return;
  done = true;
  fl_open_display();
  Fl::scheme("gtk+");
  Fl::visual(FL_DOUBLE | FL_RGB);
  // The folder chooser must run FLTK's own modal loop, which dispatches the thread's queue.
  Fl::option(Fl::OPTION_FNFC_USES_GTK, false);
  g_face = ChooseFace();
  g_plain_name = " " + g_face;
  g_bold_name = "B" + g_face;
  Fl::set_font(kFontPlain, g_plain_name.c_str());
  Fl::set_font(kFontBold, g_bold_name.c_str());
  FitFontSizes();
  FL_NORMAL_SIZE = FontSize(FontKind::fkWindow);
  Fl::background(0xF0, 0xF0, 0xF0);
}

Fl_Font FontOf(FontKind f) {
  return Font(f).Bold ? kFontBold : kFontPlain;
}

int FontSize(FontKind f) {
  int s = g_sizes[static_cast<int>(f)];
  return s > 0 ? s : Font(f).PixelHeight;
}

const std::string& FontFace() {
  return g_face;
}

Fl_Color ColorOf(std::uint32_t rgb) {
  if (rgb == kColorWindowText) return fl_rgb_color(0, 0, 0);
  return fl_rgb_color((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

Fl_Image* PictureImage(Picture p) {
  if (p == Picture::pcNone) return nullptr;
  return LoadedPictures().images[static_cast<int>(p)].get();
}

const std::vector<Fl_RGB_Image*>& IconImages() {
  return LoadedPictures().icon;
}

std::vector<std::unique_ptr<Fl_RGB_Image>> DecodeIcon(const std::uint8_t* data, std::size_t size) {
  std::vector<std::unique_ptr<Fl_RGB_Image>> out;
  if (data == nullptr || size < 6 || Le16(data) != 0 || Le16(data + 2) != 1) return out;
  std::size_t count = Le16(data + 4);
  if (6 + 16 * count > size) return out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* e = data + 6 + 16 * i;
    std::uint32_t bytes = Le32(e + 8);
    std::uint32_t offset = Le32(e + 12);
    if (offset > size || bytes > size - offset) continue;
    static const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes >= 8 && std::memcmp(data + offset, kPngSignature, 8) == 0) {
      // A PNG-compressed image: kept when it decodes to a square RGBA picture of its entry's size.
      const int entry_size = e[0] == 0 ? 256 : e[0];
      auto png = std::make_unique<Fl_PNG_Image>(nullptr, data + offset, static_cast<int>(bytes));
      if (png->fail() == 0 && png->w() == entry_size && png->h() == entry_size && png->d() == 4)
        out.push_back(std::move(png));
      continue;
    }
    if (bytes < 40) continue;
    const std::uint8_t* dib = data + offset;
    std::uint32_t header = Le32(dib);
    auto width = static_cast<std::int32_t>(Le32(dib + 4));
    auto height2 = static_cast<std::int32_t>(Le32(dib + 8));
    std::uint16_t bpp = Le16(dib + 14);
    std::uint32_t compression = Le32(dib + 16);
    // Otherwise only uncompressed 32-bit DIBs (their height counts the mask).
    if (header < 40 || bpp != 32 || compression != 0 || width <= 0 || width > 256 || height2 <= 0 ||
        height2 % 2 != 0 || height2 / 2 > 256)
      continue;
    int w = width, h = height2 / 2;
    std::size_t pixels = static_cast<std::size_t>(w) * h * 4;
    if (header > bytes || pixels > bytes - header) continue;
    const std::uint8_t* src = dib + header;
    auto* rgba = new uchar[pixels];
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* row = src + static_cast<std::size_t>(h - 1 - y) * w * 4;  // bottom-up
      uchar* dst = rgba + static_cast<std::size_t>(y) * w * 4;
      for (int x = 0; x < w; ++x) {
        dst[4 * x + 0] = row[4 * x + 2];
        dst[4 * x + 1] = row[4 * x + 1];
        dst[4 * x + 2] = row[4 * x + 0];
        dst[4 * x + 3] = row[4 * x + 3];
      }
    }
    auto img = std::make_unique<Fl_RGB_Image>(rgba, w, h, 4);
    img->alloc_array = 1;  // the image frees the pixels
    out.push_back(std::move(img));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a->w() > b->w(); });
  return out;
}

std::string DisplayText(const String& text) {
  std::string s = text::ToUtf8(text);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

namespace {

// Case-insensitive search for an ASCII needle.
std::size_t FindNoCase(const std::string& hay, const char* needle, std::size_t from) {
  std::size_t n = std::strlen(needle);
  for (std::size_t i = from; i + n <= hay.size(); ++i) {
    std::size_t k = 0;
    while (k < n && std::tolower(static_cast<unsigned char>(hay[i + k])) == needle[k])
      ++k;
    if (k == n) return i;
  }
  return std::string::npos;
}

// Whether the ASCII needle (lower case) starts at `pos`, ignoring case.
bool StartsWithNoCase(const std::string& hay, std::size_t pos, const char* needle) {
  std::size_t n = std::strlen(needle);
  if (pos > hay.size() || hay.size() - pos < n) return false;
  for (std::size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(hay[pos + k])) != needle[k]) return false;
  return true;
}

bool TagNameEnds(const std::string& s, std::size_t pos) {
  return pos >= s.size() || !std::isalnum(static_cast<unsigned char>(s[pos]));
}

}  // namespace

// One pass over the page: each "<" is looked at where it stands, and every search for a tag's
// end starts there and is passed for good, so the time grows with the page's length.
std::string SanitizeHtml(const std::string& html) {
  std::string out;
  out.reserve(html.size());
  std::size_t i = 0;
  while (i < html.size()) {
    std::size_t lt = html.find('<', i);
    if (lt == std::string::npos) {
      out.append(html, i, std::string::npos);
      break;
    }
    out.append(html, i, lt - i);
    if (StartsWithNoCase(html, lt, "<img") && TagNameEnds(html, lt + 4)) {
      std::size_t gt = html.find('>', lt);
      i = gt == std::string::npos ? html.size() : gt + 1;
      continue;
    }
    if (StartsWithNoCase(html, lt, "<script") && TagNameEnds(html, lt + 7)) {
      std::size_t end = FindNoCase(html, "</script", lt);
      std::size_t gt = end == std::string::npos ? std::string::npos : html.find('>', end);
      i = gt == std::string::npos ? html.size() : gt + 1;
      continue;
    }
    out.push_back('<');
    i = lt + 1;
  }
  return out;
}

}  // namespace ui::fltk
