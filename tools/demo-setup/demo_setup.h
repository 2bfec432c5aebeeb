// The demo setup program: what the download server delivers as "/download.php" in the demo and
// the end-to-end tests. It behaves like a silent product setup:
//
//   vexlor-setup /S [/I] /D=<folder>
//
// "/S" asks for a silent run (the only kind there is), "/I" for a desktop icon, and "/D=" names
// the destination folder, which runs to the end of the line, blanks included. The setup
// installs the demo product "vexlor.exe" into the folder, creating it when missing, writes the
// desktop icon file when asked to, and exits 0.
//
// The product travels inside the setup file: the setup program's own bytes, then the product's,
// then a 32-byte trailer "VEXLOR-PAYLOAD:" + the product's size in 16 decimal digits + "\n".
// A signed Windows setup carries its signature after all that (ContentEnd).
//
// For tests, from the environment (the installer passes its own on):
//   VEXLOR_DEMO_SETUP_EXIT_CODE=N   install nothing and exit with N
//   VEXLOR_DEMO_SETUP_DELAY_MS=N    take N ms (at most 60000) before doing anything
//   VEXLOR_DEMO_SETUP_LOG=FILE      append the arguments, tab-separated, as one line
//   VEXLOR_DESKTOP_DIR=FOLDER       the desktop folder for the icon file
//
// Threads: one; portable through platform/ and the standard library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace demo {

inline constexpr char kPayloadMagic[] = "VEXLOR-PAYLOAD:";
inline constexpr std::size_t kTrailerSize = 32;

// Exit codes of the setup's own failures.
enum SetupExit : int {
  seOk = 0,
  seUsage = 2,        // no destination folder given
  seNoPayload = 3,    // the setup file carries no product
  seCannotWrite = 4,  // the folder or a file in it cannot be written
  seDesktopIcon = 5,  // the desktop icon file cannot be written
};

struct SetupArguments {
  bool Silent = false;
  bool DesktopIcon = false;
  std::optional<String> Folder;  // the text after "/D=", exactly
  std::vector<String> Unknown;   // other arguments, ignored like any setup ignores them
};

// Reads the arguments after the program name. Switches are matched without regard to case.
SetupArguments ParseSetupArguments(const std::vector<String>& args);

// The end of the setup file's own bytes: where the Authenticode signature of a signed Windows
// program begins (the PE security directory's file offset, when that table ends the file), else
// the file's size. `head` holds the file's first bytes (at least its headers). Signing tools pad
// the file to a multiple of 8 bytes before the signature; the trailer is found before that
// padding (FindTrailer).
std::uint64_t ContentEnd(const std::string& head, std::uint64_t file_size);
// The trailer at the end of `before_end`, the bytes that end the content, after dropping up to 7
// zero bytes of padding; `end` moves back over the padding dropped. Empty when too short.
std::string FindTrailer(const std::string& before_end, std::uint64_t& end);

// The trailer for a payload of `size` bytes.
std::string PayloadTrailer(std::uint64_t size);
// Finds the payload in the setup file's bytes: its offset and size; nullopt without a valid
// trailer.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FindPayload(std::uint64_t file_size,
                                                                   const std::string& trailer);

// `folder` + `name`, with one delimiter between them.
String JoinPath(const String& folder, const String& name);

// The desktop folder: VEXLOR_DESKTOP_DIR, else the user's desktop ($XDG_DESKTOP_DIR or
// $HOME/Desktop on POSIX, %USERPROFILE%\Desktop on Windows).
String DesktopFolder();
// The name and content of the desktop icon file for the product at `product`: a desktop entry
// "Vexlor.desktop" on POSIX, an Internet shortcut "Vexlor.url" on Windows.
std::pair<String, std::string> DesktopIcon(const String& product);
// A program path as the one argument of a desktop entry's Exec key: quoted and escaped so that
// any folder name (blanks, quotes, "$", "%", backslashes, line breaks) comes back unchanged.
std::string DesktopExecArgument(const std::string& path);

// A whole number from the environment within [min, max]; `fallback` when the variable is
// unset, not a number, or out of that range.
int EnvInt(const char16_t* name, int fallback, int min, int max);

// Runs the setup with these arguments, from the setup file `self`. Returns the exit code and
// writes what went wrong to `error`.
int RunSetup(const SetupArguments& args, const String& self, std::string& error);

}  // namespace demo
