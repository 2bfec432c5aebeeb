// Shared pieces of the FLTK toolkit library: start-up, fonts, pictures and the modal dialogs.
// Internal to ui/fltk/.
//
// Threads: the user-interface thread only (FLTK is single-threaded here).
#pragma once

#include <FL/Enumerations.H>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/layout.h"
#include "ui/view.h"

class Fl_Image;
class Fl_RGB_Image;
class Fl_Window;

namespace ui::fltk {

// Opens the display and sets up the scheme and the fonts once per process.
void InitToolkit();

// The FLTK font and pixel size of a layout font.
Fl_Font FontOf(FontKind f);
int FontSize(FontKind f);
// The face chosen for the window font (the layout's own when installed, else a close one).
const std::string& FontFace();

// 0xRRGGBB (or the window-text colour) as an FLTK colour.
Fl_Color ColorOf(std::uint32_t rgb);

// The decoded pictures of the layout, loaded once from the embedded data; null when missing.
Fl_Image* PictureImage(Picture p);
// The program icon's images, largest first (for the window manager).
const std::vector<Fl_RGB_Image*>& IconImages();
// Decodes the 32-bit images (PNG-compressed or DIBs) of a .ico file; malformed entries are
// skipped.
std::vector<std::unique_ptr<Fl_RGB_Image>> DecodeIcon(const std::uint8_t* data, std::size_t size);

// The modal message box: exact text (CR LF line breaks), caption, icon and buttons; centred
// on `owner` when given and shown, else on the screen. Returns the button's id.
MsgResult RunMessageBox(const MessageBoxRequest& request, Fl_Window* owner);

// The modal, resizable window that shows a web page (see HtmlDialogRequest).
void RunHtmlDialog(const HtmlDialogRequest& request);

// Removes what the licence window must not act on from fetched HTML: images (which the help
// view would load from local files) and scripts.
std::string SanitizeHtml(const std::string& html);

// CR LF and lone CR become LF (FLTK draws CR as a glyph).
std::string DisplayText(const String& text);

}  // namespace ui::fltk
