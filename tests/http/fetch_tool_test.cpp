// vexlor-fetch as a program: exit status, the line it prints on failure, and no partial file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/http/client_fixture.h"

namespace {

using namespace httptest;
namespace fs = std::filesystem;

class FetchToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vexlor-fetch-test-" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs the tool; returns its exit status and keeps what it printed to stderr.
  int Run(const std::string& url, const fs::path& file) {
    const std::string cmd = std::string("'") + VEXLOR_FETCH_PATH + "' '" + url + "' '" +
                            file.string() + "' 2>'" + (dir_ / "stderr.txt").string() + "'";
    int rc = std::system(cmd.c_str());
    std::ifstream in(dir_ / "stderr.txt");
    err_ = std::string(std::istreambuf_iterator<char>(in), {});
    return ExitStatus(rc);
  }
  // The exit status in what std::system returns (the shell's wait status).
  static int ExitStatus(int rc) { return (rc >> 8) & 0xFF; }
  static std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool OnlyFile(const fs::path& want) const {
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path() != want && e.path().filename() != "stderr.txt") return false;
    return true;
  }

  fs::path dir_;
  std::string err_;
};

TEST_F(FetchToolTest, SuccessWritesOrReplacesTheFile) {
  for (bool existing : {false, true}) {
    Servers s({{{Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), CloseConn()}}});
    const fs::path file = dir_ / "out.bin";
    if (existing) std::ofstream(file) << "previous";
    EXPECT_EQ(Run(s.Url("/f"), file), 0) << err_;
    EXPECT_EQ(Contents(file), "hello");
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(OnlyFile(file));
  }
}

// A rename that fails (here: FILE names a folder) loses neither: the old stays as it was.
TEST_F(FetchToolTest, FailedRenameKeepsTheOldTarget) {
  Servers s({{{Read(), Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), CloseConn()}}});
  const fs::path target = dir_ / "target";
  fs::create_directories(target);
  std::ofstream(target / "kept.txt") << "old";
  EXPECT_EQ(Run(s.Url("/f"), target), 1);
  EXPECT_EQ(err_.rfind("cannot rename the download to " + target.string() + ": ", 0), 0u) << err_;
  EXPECT_EQ(Contents(target / "kept.txt"), "old");
  EXPECT_TRUE(OnlyFile(target));  // and no part file is left
}

TEST_F(FetchToolTest, FailuresPrintOneLineAndLeaveNoFile) {
  struct {
    std::string reply;
    std::string line;
  } cases[] = {
      {"HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", "error 0 status 404 Not Found\n"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort",
       "error 10 status 200 Document incomplete (connection closed prematurely)\n"},
      // The server's text reaches the terminal without its control characters.
      {"HTTP/1.0 500 Bad\x1b]0;owned\x07\x9b"
       "31m\rX\r\nContent-Length: 0\r\n\r\n",
       "error 0 status 500 Bad?]0;owned??31m?X\n"},
  };
  for (const auto& c : cases) {
    Servers s({{{Read(), Send(c.reply), CloseConn()}}});
    const fs::path file = dir_ / "out.bin";
    std::ofstream(file) << "previous";
    EXPECT_EQ(Run(s.Url("/f"), file), 1);
    EXPECT_EQ(err_, c.line);
    EXPECT_EQ(Contents(file), "previous");  // an existing file is replaced only on success
    EXPECT_TRUE(OnlyFile(file));
  }
}

TEST_F(FetchToolTest, UnresolvableHost) {
  EXPECT_EQ(Run("http://no-such-host.invalid/", dir_ / "out.bin"), 1);
  EXPECT_NE(err_.find("can't resolve hostname to IP address"), std::string::npos) << err_;
  EXPECT_TRUE(OnlyFile(dir_ / "none"));
}

}  // namespace
