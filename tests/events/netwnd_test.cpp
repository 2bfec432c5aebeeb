// Hidden-window dispatch: id layout, routing, release, background exceptions, attach/detach.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/netwnd.h"
#include "platform/tick.h"
#include "tests/support/test_thread.h"

namespace {

// A component with a chosen number of ids; the ids after the release id are its own messages.
class TTestComp : public TNetWndControl {
 public:
  explicit TTestComp(int ids, std::vector<std::string>* log = nullptr, bool* destroyed = nullptr)
      : TNetWndControl(nullptr), ids_(ids), log_(log), destroyed_(destroyed) {}
  ~TTestComp() override {
    ReleaseResources(true);
    if (destroyed_) *destroyed_ = true;
  }

  std::uint32_t Id(int i) const { return own_[static_cast<std::size_t>(i)]; }
  void Post(int i, plat::WParam wp = 0) {
    plat::WindowHandle h = Handle();  // binds first: the ids exist only once bound
    plat::PostMessage(h, Id(i), wp, 0);
  }

  std::function<void(TTestComp&, const TMessage&)> OnOwn;
  int aborts = 0;

 protected:
  int MessageIdsNeeded() override { return TNetWndControl::MessageIdsNeeded() + ids_ - 1; }
  void ClaimMessageIds() override {
    TNetWndControl::ClaimMessageIds();
    own_.clear();
    for (int i = 1; i < ids_; ++i)
      own_.push_back(FWndHandler->AllocateMsgHandler(this));
  }
  void ReturnMessageIds() override {
    for (auto& id : own_)
      FWndHandler->UnregisterMessage(id);
    TNetWndControl::ReturnMessageIds();
  }
  void HandleWindowMessage(TMessage& MsgRec) override {
    for (std::size_t i = 0; i < own_.size(); ++i) {
      if (own_[i] != 0 && MsgRec.Msg == own_[i]) {
        Guarded([&] {
          if (log_)
            log_->push_back("msg" + std::to_string(i) + ":" + std::to_string(MsgRec.WParam));
          if (OnOwn) OnOwn(*this, MsgRec);
        });
        return;
      }
    }
    TNetWndControl::HandleWindowMessage(MsgRec);
  }
  void AbortAfterBgException() override {
    ++aborts;
    if (log_) log_->push_back("abort");
  }

 private:
  int ids_;
  std::vector<std::uint32_t> own_;
  std::vector<std::string>* log_;
  bool* destroyed_;
};

// Dispatches what is queued now, at most `limit` messages.
void Pump(int limit = 1000) {
  plat::Message m;
  while (limit-- > 0 && plat::PeekMessage(m))
    plat::DispatchMessage(m);
}

TEST(IdLayout, ClientAndSocketShareOneWindow) {
  TTestComp client(4), socket(8);
  client.Handle();
  socket.Handle();
  EXPECT_EQ(client.Handle(), socket.Handle());
  EXPECT_EQ(client.MsgRelease(), 1025u);
  EXPECT_EQ(client.Id(0), 1026u);
  EXPECT_EQ(client.Id(2), 1028u);
  EXPECT_EQ(socket.MsgRelease(), 1029u);
  EXPECT_EQ(socket.Id(6), 1036u);
  EXPECT_EQ(socket.WndHandler()->MsgLeft(), 88);
  EXPECT_EQ(client.ThreadID(), plat::CurrentThreadId());
}

TEST(IdLayout, FreedIdsAreReusedLowestFirst) {
  TTestComp keep(2);
  auto first = std::make_unique<TTestComp>(4);
  first->Handle();
  keep.Handle();
  EXPECT_EQ(keep.MsgRelease(), 1029u);
  first.reset();
  TTestComp next(3);
  next.Handle();
  EXPECT_EQ(next.MsgRelease(), 1025u);
  EXPECT_EQ(next.Id(1), 1027u);
}

TEST(IdLayout, AComponentThatDoesNotFitGetsANewWindow) {
  TTestComp a(60), b(50);
  a.Handle();
  b.Handle();
  EXPECT_NE(a.Handle(), b.Handle());
  EXPECT_EQ(b.MsgRelease(), 1025u);
  EXPECT_EQ(HiddenWindowCount(), 2);
}

TEST(IdLayout, MoreIdsThanAWindowHasIsAnAssertion) {
  TTestComp big(101);
  try {
    big.Handle();
    FAIL() << "bound a component with 101 ids";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Message IDs out of bounds!");
  }
  EXPECT_EQ(big.HandleIfBound(), 0u);
}

TEST(IdLayout, ReturningIdsChecksThem) {
  TTestComp a(2);
  a.Handle();
  TNetWndHandler* h = a.WndHandler();
  std::uint32_t zero = 0;
  EXPECT_NO_THROW(h->UnregisterMessage(zero));
  struct Case {
    std::uint32_t id;
    const char* text;
  } cases[] = {{1024, "Msg value out of bound"},
               {1125, "Msg value out of bound"},
               {1090, "Msg not registered"}};
  for (const auto& c : cases) {
    std::uint32_t id = c.id;
    try {
      h->UnregisterMessage(id);
      ADD_FAILURE() << c.id;
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), c.text);
    }
  }
  TNetWndHandler unbound;
  EXPECT_THROW(unbound.AllocateMsgHandler(&a), ENetException);
}

TEST(Routing, OwnMessagesArriveWithTheirParameters) {
  std::vector<std::string> log;
  TTestComp a(3, &log), b(3, &log);
  a.Post(1, 11);
  b.Post(0, 22);
  a.Post(0, 33);
  Pump();
  EXPECT_EQ(log, (std::vector<std::string>{"msg1:11", "msg0:22", "msg0:33"}));
}

TEST(Routing, AMessageForAReturnedIdIsNeverDelivered) {
  std::vector<std::string> log;
  auto old_owner = std::make_unique<TTestComp>(3, &log);
  old_owner->Post(0, 1);
  old_owner.reset();  // the last component: its window goes too
  TTestComp keep(1);
  keep.Handle();
  auto first = std::make_unique<TTestComp>(3, &log);
  first->Post(0, 2);
  first.reset();  // the window stays (keep holds an id); the queued message is purged
  TTestComp heir(3, &log);
  EXPECT_EQ(heir.Handle(), keep.Handle());
  Pump();
  EXPECT_TRUE(log.empty());
}

TEST(Release, DestroysOnlyAfterTheEventReturns) {
  bool destroyed = false;
  std::vector<std::string> log;
  auto* c = new TTestComp(2, &log, &destroyed);
  c->OnOwn = [&](TTestComp& self, const TMessage&) {
    self.Release();
    log.push_back(destroyed ? "gone" : "alive");
  };
  c->Post(0);
  Pump(1);
  EXPECT_EQ(log, (std::vector<std::string>{"msg0:0", "alive"}));
  EXPECT_FALSE(destroyed);
  Pump();
  EXPECT_TRUE(destroyed);
  // It was the last component: the release message took its window and handler with it.
  EXPECT_EQ(HiddenWindowCount(), 0);
  EXPECT_EQ(SharedHandlerPool()->ListCount(), 0);
}

TEST(Window, LastComponentTakesTheWindowAndClassWithIt) {
  {
    TTestComp a(1);
    a.Handle();
    EXPECT_EQ(HiddenWindowCount(), 1);
    EXPECT_TRUE(plat::IsWindowClassRegistered(NetWndClassName));
  }
  EXPECT_EQ(HiddenWindowCount(), 0);
  EXPECT_FALSE(plat::IsWindowClassRegistered(NetWndClassName));
  TTestComp again(1);
  EXPECT_NE(again.Handle(), 0u);
}

TEST(Attach, DetachAndAttachRules) {
  TTestComp a(2);
  EXPECT_EQ(a.HandleIfBound(), 0u);
  EXPECT_EQ(a.ThreadID(), 0u);
  a.Handle();
  try {
    a.ThreadAttach();
    FAIL();
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Cannot attach when not detached");
  }
  std::string other_error;
  support::TestThread([&] {
    try {
      a.ThreadDetach();
    } catch (const ENetException& e) {
      other_error = e.Message();
    }
  }).join();
  EXPECT_EQ(other_error, "Cannot detach from another thread");
  a.ThreadDetach();
  EXPECT_EQ(a.HandleIfBound(), 0u);
  EXPECT_EQ(a.ThreadID(), 0u);
  a.ThreadAttach();
  EXPECT_NE(a.HandleIfBound(), 0u);
}

TEST(Attach, ComponentsOfAnotherThreadGetTheirOwnWindow) {
  TTestComp mine(2);
  mine.Handle();
  plat::WindowHandle theirs = 0;
  std::uint32_t their_release = 0;
  support::TestThread([&] {
    TTestComp c(2);
    theirs = c.Handle();
    their_release = c.MsgRelease();
  }).join();
  EXPECT_NE(theirs, mine.Handle());
  EXPECT_EQ(their_release, 1025u);
}

// A message on its way to the component (its own, a release) makes a detach fail instead of
// being purged; once handled, the component moves, and what is posted to it afterwards arrives
// on its new thread. Nothing is lost on the way.
TEST(Attach, ADetachWithMessagesInFlightIsRefusedAndNothingIsLost) {
  std::vector<std::string> log;
  TTestComp comp(3, &log);
  struct Case {
    const char* what;
    std::function<void()> post;
    std::vector<std::string> delivered;
  };
  bool destroyed = false;
  auto* released = new TTestComp(2, &log, &destroyed);
  const Case cases[] = {
      {"own message", [&] { comp.Post(1, 7); }, {"msg1:7"}},
      {"release", [&] { released->Release(); }, {}},
  };
  for (const Case& c : cases) {
    log.clear();
    TTestComp& target = std::string(c.what) == "release" ? *released : comp;
    c.post();
    try {
      target.ThreadDetach();
      ADD_FAILURE() << c.what << ": detached with a message queued";
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), "Cannot detach while messages are queued for it") << c.what;
    }
    EXPECT_NE(target.HandleIfBound(), 0u) << c.what;
    Pump();
    EXPECT_EQ(log, c.delivered) << c.what;
  }
  EXPECT_TRUE(destroyed) << "the release still arrived";

  comp.ThreadDetach();
  std::uint32_t handled_on = 0;
  comp.OnOwn = [&](TTestComp&, const TMessage&) { handled_on = plat::CurrentThreadId(); };
  std::uint32_t worker_id = 0;
  support::TestThread([&] {
    worker_id = plat::CurrentThreadId();
    comp.ThreadAttach();
    comp.Post(0, 9);
    Pump();
    comp.ThreadDetach();
  }).join();
  EXPECT_EQ(handled_on, worker_id);
  Pump();
  EXPECT_EQ(log, (std::vector<std::string>{"msg0:9"}));
  comp.ThreadAttach();
  EXPECT_EQ(comp.ThreadID(), plat::CurrentThreadId());
  EXPECT_NE(comp.Handle(), 0u);
}

// Background exceptions: what each kind of failure inside an event leads to.
struct BgCase {
  const char* name;
  bool throw_abort;        // EAbort instead of a runtime error
  bool has_handler;        // OnBgException assigned
  bool handler_keeps;      // the handler sets CanClose to false
  bool handler_throws;     // the handler itself raises
  bool abort_proc_throws;  // ExceptAbortProc raises
  std::vector<std::string> expected;
};

class BgException : public ::testing::TestWithParam<BgCase> {};

TEST_P(BgException, TakesItsPath) {
  const BgCase& c = GetParam();
  std::vector<std::string> log;
  TTestComp comp(2, &log);
  comp.OnOwn = [&](TTestComp&, const TMessage&) {
    if (c.throw_abort) throw EAbort();
    throw std::runtime_error("boom");
  };
  if (c.has_handler) {
    comp.SetOnBgException([&](TObject* sender, std::exception& e, bool& can_close) {
      EXPECT_EQ(sender, &comp);
      log.push_back(std::string("handler:") + e.what());
      if (c.handler_keeps) can_close = false;
      if (c.handler_throws) throw std::runtime_error("handler failed");
    });
  }
  comp.ExceptAbortProc = [&] {
    log.push_back("proc");
    if (c.abort_proc_throws) throw std::runtime_error("proc failed");
  };
  comp.Post(0);
  Pump();
  std::vector<std::string> expected{"msg0:0"};
  expected.insert(expected.end(), c.expected.begin(), c.expected.end());
  EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BgException,
    ::testing::Values(
        BgCase{"AbortIsSilent", true, true, false, false, false, {}},
        BgCase{"NoHandlerAborts", false, false, false, false, false, {"proc", "abort"}},
        BgCase{"HandlerThenAbort",
               false,
               true,
               false,
               false,
               false,
               {"handler:boom", "proc", "abort"}},
        BgCase{"HandlerKeepsTheComponent", false, true, true, false, false, {"handler:boom"}},
        BgCase{"HandlerFailureIsSwallowed",
               false,
               true,
               false,
               true,
               false,
               {"handler:boom", "proc", "abort"}},
        BgCase{"FailingAbortProcStillAborts", false, false, false, false, true, {"proc", "abort"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
