// Program end of the dispatch unit: a program of its own, since the shut-down is for good.
#include <gtest/gtest.h>

#include <memory>

#include "events/netwnd.h"

namespace {

class TPlain : public TNetWndControl {
 public:
  TPlain() : TNetWndControl(nullptr) {}
};

TEST(ShutDown, PoolOutlivesBoundComponentsThenRefusesNewBindings) {
  auto bound = std::make_unique<TPlain>();
  bound->Handle();
  ShutDownHandlerPool();
  // Still bound: the pool survives and the component can still be reached through it.
  ASSERT_NE(SharedHandlerPool(), nullptr);
  EXPECT_EQ(SharedHandlerPool()->ListCount(), 1);
  bound.reset();  // the detach that empties the pool frees it
  EXPECT_EQ(HiddenWindowCount(), 0);

  TPlain late;
  try {
    late.Handle();
    FAIL() << "bound after the unit was shut down";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Unit is already finalized, check your threads!!!");
  }
}

}  // namespace
