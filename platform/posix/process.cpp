// Starting programs on POSIX: posix_spawn and waitpid.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace plat {
namespace {

bool IsRegularFile(const String& path) {
  struct stat st;
  return stat(text::ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Starts argv[0] (or the program file `exec_path`, when not empty) with the caller's
// environment; only the standard descriptors are passed on.
bool Spawn(const std::vector<String>& args, pid_t& pid, int& error,
           const std::string& exec_path = std::string()) {
  if (args.empty() || args[0].empty()) {
    error = ENOENT;
    return false;
  }
  std::vector<std::string> storage;
  storage.reserve(args.size());
  for (const String& a : args)
    storage.push_back(text::ToUtf8(a));
  std::vector<char*> argv;
  for (std::string& s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  error = posix_spawn(&pid, exec_path.empty() ? argv[0] : exec_path.c_str(), &actions, nullptr,
                      argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The argument vector: the given program, then the arguments that follow the program's part of
// the command line.
std::vector<String> ArgumentsFor(const String& application, const String& command_line) {
  if (application.empty()) return SplitCommandLine(command_line, IsRegularFile);
  std::size_t start = 0;
  while (start < command_line.size() &&
         (command_line[start] == u' ' || command_line[start] == u'\t'))
    ++start;
  String rest;
  if (command_line.compare(start, application.size(), application) == 0) {
    rest = command_line.substr(start + application.size());
  } else if (command_line.compare(start, application.size() + 2, u"\"" + application + u"\"") ==
             0) {
    rest = command_line.substr(start + application.size() + 2);
  } else {
    auto split = SplitCommandLine(command_line, IsRegularFile);
    if (!split.empty()) split[0] = application;
    return split;
  }
  std::vector<String> args{application};
  auto more = SplitArguments(rest);
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace

bool RunProcess(const String& application, const String& command_line, std::int32_t& exit_code,
                std::uint32_t& error, TFileStream* held_image) {
  pid_t pid = 0;
  int err = 0;
  // The held file is started through this process's own descriptor of it: the new process
  // closes its inherited copies before the start, so it names the descriptor of this process,
  // which waits inside posix_spawn until the start has happened.
  std::string exec_path;
  if (held_image != nullptr && held_image->IsOpen())
    exec_path = "/proc/" + std::to_string(getpid()) + "/fd/" +
                std::to_string(static_cast<int>(held_image->Handle()));
  const bool started = Spawn(ArgumentsFor(application, command_line), pid, err, exec_path);
  if (held_image != nullptr) held_image->Close();
  if (!started) {
    error = static_cast<std::uint32_t>(err);
    return false;
  }
  exit_code = WaitFor(pid);
  error = 0;
  return true;
}

String GetEnvVar(const String& name) {
  const char* v = getenv(text::ToUtf8(name).c_str());
  return v == nullptr ? String() : text::FromUtf8(v);
}

bool SetEnvVar(const String& name, const String& value) {
  if (value.empty()) return unsetenv(text::ToUtf8(name).c_str()) == 0;
  return setenv(text::ToUtf8(name).c_str(), text::ToUtf8(value).c_str(), 1) == 0;
}

void ShellOpen(const String& file) {
  pid_t pid = 0;
  int err = 0;
  if (!Spawn({file}, pid, err)) return;
  // Nobody waits for the program; a detached waiter keeps it from lingering as a zombie.
  std::thread([pid] { WaitFor(pid); }).detach();
}

std::vector<String> ProgramArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<String> out;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\0', pos);
    if (end == std::string::npos) end = all.size();
    out.push_back(text::FromUtf8(std::string_view(all).substr(pos, end - pos)));
    pos = end + 1;
  }
  return out;
}

}  // namespace plat
