// The registry on POSIX: a directory tree.
//
// Layout: <root>/<ROOT KEY NAME>/<key>/<subkey>/... with one regular file per string value.
// Names are stored escaped (see EscapeName) so that any key or value name becomes one safe
// file name; a stored name starting with "." is never produced, which leaves those names for
// the temporary files of atomic writes. Lookups compare names without regard to ASCII case,
// the way the system's registry does.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace plat {
namespace {

struct KeyState {
  std::string dir;  // folder of the key in the tree; empty when only synthesised
  std::map<std::string, std::string> synthesised;  // lower-cased value name -> UTF-8 text
  bool writable = false;
};

std::string RegistryRoot() {
  const char* env = std::getenv("VEXLOR_REGISTRY_ROOT");
  if (env != nullptr && *env != '\0') return env;
  return "/var/lib/vexlor/registry";
}

std::string LowerAscii8(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Escapes a key or value name to one file name: '/', '%', control bytes and a leading '.' or
// '@' become %XX; the empty name (a key's default value) is "@".
std::string EscapeName(const String& name) {
  if (name.empty()) return "@";
  std::string utf8 = text::ToUtf8(name);
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    auto b = static_cast<unsigned char>(utf8[i]);
    bool escape =
        b < 0x20 || b == '/' || b == '%' || b == 0x7F || (i == 0 && (b == '.' || b == '@'));
    if (escape) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", b);
      out += buf;
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
  return out;
}

std::vector<String> SplitPath(const String& path) {
  std::vector<String> parts;
  String cur;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

bool IsDirectory(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `dir` whose name equals `escaped` without regard to case; empty when none.
std::string FindEntry(const std::string& dir, const std::string& escaped) {
  std::string want = LowerAscii8(escaped);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return {};
  std::string found;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string name = e->d_name;
    if (name == escaped) {
      found = name;
      break;
    }
    if (found.empty() && LowerAscii8(name) == want) found = name;
  }
  closedir(d);
  return found;
}

std::uint32_t ErrnoToError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    default:
      return 1011;  // ERROR_CANTOPEN
  }
}

const char* RootName(TRegistryRoot root) {
  return root == TRegistryRoot::rkLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string ReadWholeFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!ok) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "cpu family : 6" -> ("cpu family", "6"), for the first processor only.
std::map<std::string, std::string> FirstCpuInfo() {
  std::map<std::string, std::string> info;
  bool ok = false;
  std::string all = ReadWholeFile("/proc/cpuinfo", ok);
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) {
      if (!info.empty()) break;  // end of the first processor's block
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
      key.pop_back();
    std::string value = line.substr(colon + 1);
    std::size_t start = value.find_first_not_of(" \t");
    value = start == std::string::npos ? std::string() : value.substr(start);
    info.emplace(key, value);
  }
  return info;
}

std::map<std::string, std::string> ProcessorValues() {
  std::map<std::string, std::string> values;
  auto info = FirstCpuInfo();
  auto get = [&](const char* k) -> std::optional<std::string> {
    auto it = info.find(k);
    if (it == info.end()) return std::nullopt;
    return it->second;
  };
  if (auto name = get("model name")) values["processornamestring"] = *name;
  if (auto vendor = get("vendor_id")) values["vendoridentifier"] = *vendor;
  auto family = get("cpu family");
  auto model = get("model");
  auto stepping = get("stepping");
  if (family && model && stepping)
    values["identifier"] = "x86 Family " + *family + " Model " + *model + " Stepping " + *stepping;
  return values;
}

// The keys answered without the tree, as lower-cased escaped paths below the root key folder.
std::optional<std::map<std::string, std::string>> SynthesisedKey(TRegistryRoot root,
                                                                 const std::vector<String>& parts) {
  if (root != TRegistryRoot::rkLocalMachine) return std::nullopt;
  std::string joined;
  for (const String& p : parts)
    joined += "\\" + LowerAscii8(text::ToUtf8(p));
  if (joined == "\\hardware\\description\\system\\centralprocessor\\0") return ProcessorValues();
  if (joined == "\\software\\microsoft\\windows\\currentversion")
    return std::map<std::string, std::string>{{"programfilesdir", "/opt"}};
  return std::nullopt;
}

// mkdir -p.
bool MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return IsDirectory(path);
}

KeyState* State(void* h) {
  return static_cast<KeyState*>(h);
}

}  // namespace

TRegistryKey::~TRegistryKey() {
  Close();
}

void TRegistryKey::Close() {
  delete State(handle_);
  handle_ = nullptr;
}

bool TRegistryKey::Open(TRegistryRoot root, const String& path, std::uint32_t access, bool create) {
  Close();
  auto parts = SplitPath(path);
  std::string dir = RegistryRoot() + "/" + RootName(root);
  bool in_tree = true;
  if (create) {
    if (!MakeFolders(dir)) {
      last_error_ = ErrnoToError(errno);
      return false;
    }
  }
  for (const String& part : parts) {
    std::string escaped = EscapeName(part);
    std::string found = FindEntry(dir, escaped);
    if (!found.empty() && IsDirectory(dir + "/" + found)) {
      dir += "/" + found;
      continue;
    }
    if (!create) {
      in_tree = false;
      break;
    }
    if (!found.empty()) {  // a value file of that name stands in the way
      last_error_ = kErrorAccessDenied;
      return false;
    }
    dir += "/" + escaped;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      last_error_ = ErrnoToError(errno);
      return false;
    }
  }
  if (in_tree && !IsDirectory(dir)) in_tree = false;
  auto state = std::make_unique<KeyState>();
  if (in_tree) {
    state->dir = dir;
  } else {
    auto synth = SynthesisedKey(root, parts);
    if (!synth) {
      last_error_ = kErrorFileNotFound;
      return false;
    }
    state->synthesised = std::move(*synth);
  }
  state->writable = (access & kKeyWrite & ~kKeyRead) != 0 && in_tree;
  handle_ = state.release();
  last_error_ = 0;
  return true;
}

bool TRegistryKey::ValueExists(const String& name) {
  String ignored;
  return ReadString(name, ignored);
}

bool TRegistryKey::ReadString(const String& name, String& value) {
  KeyState* s = State(handle_);
  if (s == nullptr) {
    last_error_ = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  if (s->dir.empty()) {
    auto it = s->synthesised.find(LowerAscii8(text::ToUtf8(name)));
    if (it == s->synthesised.end()) {
      last_error_ = kErrorFileNotFound;
      return false;
    }
    value = text::FromUtf8(it->second);
    return true;
  }
  std::string found = FindEntry(s->dir, EscapeName(name));
  struct stat st;
  if (found.empty() || stat((s->dir + "/" + found).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    last_error_ = kErrorFileNotFound;
    return false;
  }
  bool ok = false;
  std::string data = ReadWholeFile(s->dir + "/" + found, ok);
  if (!ok) {
    last_error_ = ErrnoToError(errno);
    return false;
  }
  value = text::FromUtf8(data);
  return true;
}

bool TRegistryKey::WriteString(const String& name, const String& value) {
  KeyState* s = State(handle_);
  if (s == nullptr || !s->writable) {
    last_error_ = s == nullptr ? 6 : kErrorAccessDenied;
    return false;
  }
  std::string found = FindEntry(s->dir, EscapeName(name));
  std::string target = s->dir + "/" + (found.empty() ? EscapeName(name) : found);
  if (!found.empty() && IsDirectory(target)) {
    last_error_ = kErrorAccessDenied;
    return false;
  }
  std::string tmp_template = s->dir + "/.value-XXXXXX";
  std::vector<char> tmp(tmp_template.begin(), tmp_template.end());
  tmp.push_back('\0');
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    last_error_ = ErrnoToError(errno);
    return false;
  }
  std::string data = text::ToUtf8(value);
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == data.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  int err = errno;
  close(fd);
  if (ok && rename(tmp.data(), target.c_str()) == 0) {
    last_error_ = 0;
    return true;
  }
  if (ok) err = errno;
  unlink(tmp.data());
  last_error_ = ErrnoToError(err);
  return false;
}

}  // namespace plat
