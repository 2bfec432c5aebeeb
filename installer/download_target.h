// The download file: its random name in the temporary folder, its exclusive creation, its
// renaming to ".exe" after the download, and the figures of the progress display.
//
// Threads: the user-interface thread. The shared pseudo-random generator is not locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>

#include "platform/files.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace installer {

// The generator of the random names, seeded once per run from the system's secure random source
// (the clock only when that cannot be read).
std::mt19937_64& RandomGenerator();
// Seeds it now; later calls of RandomGenerator reuse it. Called at program start.
void SeedRandomGenerator();

// 12 characters: 8 drawn, ".", 3 drawn. Each drawn character picks one of the classes 0-9, A-Z,
// a-z with equal probability, then a character of that class with equal probability.
String RandomFileName(std::mt19937_64& generator);

// The path with its extension replaced by ".exe": the last "." after the last folder delimiter
// ("\", the platform's own) and ":" starts the extension; a path without one gets ".exe".
String ChangeExtToExe(const String& path);

// A full path in the temporary folder whose file and ".exe" twin do not exist yet.
String ChooseDownloadTarget();

// Creates the download file exclusively: a name that exists already is never opened, truncated
// or replaced. The file is held (TFileMode::fmCreateHeld): from here until the setup program
// has been started, others may read it but not write, rename or delete it. On such a collision a
// new target is chosen and `path` updated. A bare name (no temporary folder could be had) is
// refused rather than created in the current folder. Raises EFCreateError ("Cannot create file
// "<path>". <reason>") when no file can be created.
std::unique_ptr<plat::TFileStream> CreateDownloadFile(String& path);

// Renames the finished download to its ".exe" twin without replacing any file of that name and
// lets the owner run it. On success `path` names the ".exe" file; on failure it is unchanged and
// the download file stays where it was.
bool RenameDownloadToExe(String& path);
// The same for the held download: the stream renames the file it holds, keeps holding it under
// the new name, and gives up its own write access (EndWriting) so that the program can be
// started while others stay kept out. False when any step fails; the file is then still where
// `path` says and the caller deletes it.
bool RenameHeldDownloadToExe(String& path, plat::TFileStream& held);
// Whether the held file, read through the stream from its start, is exactly `length` bytes with
// the sha-256 `expected`: after EndWriting nobody can write it any more, and this shows that
// nobody did before (in the moment the hold passes from the writing handle to the reading one).
bool HeldFileMatches(plat::TFileStream& held, std::int64_t length,
                     const plat::TSha256Digest& expected);

// Local date and time as days since 1899-12-30, the fraction being the time of day.
double LocalDateTimeNow();
using TDateTimeClock = std::function<double()>;

// True when more than 100 whole milliseconds lie between the two times (in either order).
bool ProgressUpdateDue(double now, double last_update);
// 0 when the length is 0; else 100 * received / length in signed 64-bit arithmetic, truncated
// towards zero and taken as a 32-bit integer.
std::int32_t ProgressPercent(std::int64_t received, std::int64_t length);
// "Downloading installer... [<received KB> of <length KB> KB]", 1 KB = 1024 bytes.
String ProgressText(std::int64_t received, std::int64_t length);

}  // namespace installer
