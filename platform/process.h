// Starting programs.
//
// Win32: CreateProcessW, WaitForSingleObject, GetExitCodeProcess; ShellExecuteW.
// POSIX: posix_spawn and waitpid. The command line is split as a Windows setup program reads it
// (SplitCommandLine below): the program comes first, and a "/D=" switch takes the rest of the
// line, blanks included. A program killed by a signal reports 128 + the signal number.
//
// Threads: any. RunProcess blocks the calling thread until the program ends.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace plat {

// Starts a program with the caller's environment and current folder and no inherited handles,
// and waits for it without a time limit. `application` is the program file to run; the command
// line is handed to it as it stands (its first part names the program for the program's own
// use). With an empty `application` the program is taken from the start of the command line,
// which for an unquoted path with blanks may pick a shorter path that happens to exist. True
// with its exit code when it ran; false (and the system's error code in `error`) when it could
// not be started. A failed wait or exit-code read gives kExitCodeUnknown (Win32; waitpid on
// POSIX reports -1 the same way).
//
// `held_image`, when given, is `application` held open (TFileMode::fmCreateHeld, after
// EndWriting): it is closed as soon as the program's creation has returned, whatever its
// outcome, before the wait. Until then nobody else can write, rename or delete the file
// (Win32: its share mode). POSIX starts the program from the held descriptor itself
// (/proc/PID/fd/N), so a name changed meanwhile cannot put another program in its place; the
// program's first argument is still `application`.
bool RunProcess(const String& application, const String& command_line, std::int32_t& exit_code,
                std::uint32_t& error, TFileStream* held_image = nullptr);

// The exit code RunProcess gives for a program that ran but whose end could not be awaited or
// whose exit code could not be read: never 0, so it never passes for success.
constexpr std::int32_t kExitCodeUnknown = -1;
// The exit code to report after the wait: the code read when both the wait and the read
// succeeded, else kExitCodeUnknown.
inline std::int32_t SettledExitCode(bool waited, bool read, std::uint32_t code) {
  return waited && read ? static_cast<std::int32_t>(code) : kExitCodeUnknown;
}

// Opens a program file as the shell would, without waiting and without examining the result.
void ShellOpen(const String& file);

// The process's environment, which started programs inherit. Setting an empty value removes
// the variable.
String GetEnvVar(const String& name);
bool SetEnvVar(const String& name, const String& value);

// The running program's own command line, split: the program first, then its arguments.
// Win32: GetCommandLineW split by SplitCommandLine, so a "/D=" switch keeps the rest of the
// line, blanks included. POSIX: the argument vector the program was started with.
std::vector<String> ProgramArguments();

// Splits the arguments that follow the program: at blanks, except that a token starting with
// "/D=" takes the rest of the line. Double quotes group blanks and are removed.
std::vector<String> SplitArguments(const String& arguments);

// Splits a command line into the program and its arguments. The program is a quoted first
// token, or else the shortest blank-separated prefix of the line that `is_file` accepts (the
// first token when none does). The remaining text splits at blanks, except that a token
// starting with "/D=" takes the rest of the line. Double quotes group blanks and are removed.
std::vector<String> SplitCommandLine(const String& command_line,
                                     const std::function<bool(const String&)>& is_file);

}  // namespace plat
