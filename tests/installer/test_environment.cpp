// The environment of the installer's test programs: a private registry tree (POSIX) and a tag
// that keeps the named mutexes of this run apart from other runs on the machine.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "platform/process.h"
#include "tests/installer/installer_test_support.h"

namespace {

class InstallerTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    registry_ = std::make_unique<testing_support::TempDir>();
    plat::SetEnvVar(u"VEXLOR_REGISTRY_ROOT", testing_support::FromPath(registry_->Path()));
    std::random_device rd;
    plat::SetEnvVar(u"VEXLOR_TEST_TAG", text::IntToStr(rd()) + text::IntToStr(rd()));
  }
  void TearDown() override { registry_.reset(); }

 private:
  std::unique_ptr<testing_support::TempDir> registry_;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new InstallerTestEnvironment);

}  // namespace
