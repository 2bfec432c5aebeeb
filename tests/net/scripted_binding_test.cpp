// TWSocket on the scripted socket library: what a real Windows system reports and Wine cannot
// show (a peer's reset, a lookup cancel that works or one that lets the answer come late), and
// a close refused while the socket lingers. Runs the same on both targets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/wsocket.h"
#include "platform/tick.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_binding.h"
#include "tests/support/test_thread.h"

namespace ws = plat::sock;
using support::PumpPending;
using support::ScriptedBinding;

namespace {

// Records the events of a socket; the data handler reads what waits (or closes the socket).
struct Events {
  std::vector<std::string> lines;
  std::string data;
  bool close_in_data_handler = false;

  void Attach(TCustomWSocket& s) {
    s.OnChangeState = [this](TObject*, TSocketState, TSocketState n) {
      if (n == wsClosed) lines.push_back("state closed");
    };
    s.OnDnsLookupDone = [this](TObject*, std::uint16_t e) {
      lines.push_back("dns " + std::to_string(e));
    };
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      lines.push_back("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      lines.push_back("closed " + std::to_string(e));
    };
    s.OnDataAvailable = [this, &s](TObject*, std::uint16_t) {
      char buf[256];
      int n = s.Receive(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
      lines.push_back("data " + std::to_string(n) +
                      (n < 0 ? " error " + std::to_string(s.LastError()) : ""));
      if (close_in_data_handler) s.Close();
    };
    s.OnError = [this, &s](TObject*) { lines.push_back("error " + std::to_string(s.LastError())); };
  }
};

class ScriptedBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    net_ = std::make_unique<ScriptedBinding>();
    sock_ = std::make_unique<TWSocket>(nullptr);
    events_.Attach(*sock_);
  }
  void TearDown() override {
    sock_.reset();
    PumpPending();
    net_.reset();
  }

  // A session on the scripted library, connected, with the connect's events forgotten.
  void Connect() {
    sock_->SetAddr(u"10.1.2.3");
    sock_->SetPort(u"80");
    sock_->Connect();
    ASSERT_EQ(sock_->State(), wsConnecting);
    net_->CompleteConnect(net_->Last());
    PumpPending();
    ASSERT_EQ(sock_->State(), wsConnected);
    events_.lines.clear();
  }

  std::unique_ptr<ScriptedBinding> net_;
  std::unique_ptr<TWSocket> sock_;
  Events events_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// A peer's reset, as Windows reports it: the close notice carries 10054, every later receive
// fails with it, bytes not yet read are lost, and a send fails the same way.

TEST_F(ScriptedBindingTest, APeersResetEndsTheSessionWith10054) {
  Connect();
  net_->Deliver(net_->Last(), "early");
  PumpPending();
  net_->PeerResets(net_->Last());
  PumpPending();
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"data 5", "data -1 error 10054",
                                                     "closed 10054", "state closed"}));
  EXPECT_EQ(events_.data, "early");
  EXPECT_EQ(sock_->State(), wsClosed);
  EXPECT_FALSE(net_->IsOpen(net_->Last()));
}

TEST_F(ScriptedBindingTest, ASendAfterTheResetClosesWith10054) {
  Connect();
  ws::TSocket s = net_->Last();
  net_->PeerResets(s);
  EXPECT_EQ(sock_->SendStr(AnsiString("late")), 4);
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"state closed", "closed 10054"}));
  PumpPending();
  EXPECT_EQ(events_.lines.size(), 2u) << "the queued close notice of the old socket is dropped";
  EXPECT_EQ(net_->Sent(s), "");
}

// ---------------------------------------------------------------------------------------------
// Lookup cancels. A cancel that works ends the lookup for good; one that does nothing (Wine's)
// lets the answer come late into the buffer given to the system, which must still be there,
// and the answer fires nothing. Either way OnDnsLookupDone(10004) fires once.

TEST_F(ScriptedBindingTest, ACancelledLookupFiresInterruptedOnceWhateverTheSystemDoes) {
  struct Case {
    const char* name;
    ScriptedBinding::CancelMode mode;
    std::size_t kept_after_answer;  // the late answer frees the kept buffer
  };
  const Case cases[] = {
      {"works", ScriptedBinding::CancelMode::kWorks, 1},
      {"does nothing", ScriptedBinding::CancelMode::kDoesNothing, 0},
  };
  for (const Case& c : cases) {
    net_->SetCancelMode(c.mode);
    events_.lines.clear();
    const std::size_t kept = sock_->RetiredLookupCount();
    sock_->DnsLookup(u"host.example");
    ASSERT_FALSE(net_->Lookups().empty()) << c.name;
    ws::TAsyncHandle h = net_->Lookups().back();
    sock_->CancelDnsLookup();
    EXPECT_EQ(events_.lines, (std::vector<std::string>{"dns 10004"})) << c.name;
    EXPECT_EQ(sock_->RetiredLookupCount(), kept + 1) << c.name << ": kept until its answer";
    if (c.mode == ScriptedBinding::CancelMode::kDoesNothing)
      net_->AnswerLookup(h, {"10.9.8.7"});  // written into the kept buffer
    PumpPending();
    EXPECT_EQ(events_.lines.size(), 1u) << c.name << ": the late answer fires nothing";
    EXPECT_EQ(sock_->RetiredLookupCount(), kept + c.kept_after_answer) << c.name;
    EXPECT_TRUE(sock_->DnsResult().empty()) << c.name;
    sock_->DnsLookup(u"other.example");  // the next lookup still works
    net_->AnswerLookup(net_->Lookups().back(), {"10.1.1.1", "10.1.1.2"});
    PumpPending();
    EXPECT_EQ(events_.lines.back(), "dns 0") << c.name;
    EXPECT_EQ(sock_->DnsResultList(), (std::vector<String>{u"10.1.1.1", u"10.1.1.2"})) << c.name;
  }
}

// A cancel that comes after the answer was posted is reported (10037); the answer then fires
// nothing and frees its buffer.
TEST_F(ScriptedBindingTest, ACancelTooLateIsReportedAndTheAnswerIsDropped) {
  sock_->DnsLookup(u"host.example");
  net_->AnswerLookup(net_->Lookups().back(), {"10.9.8.7"});
  sock_->CancelDnsLookup();
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"error 10037"}));
  EXPECT_EQ(sock_->RetiredLookupCount(), 1u);
  PumpPending();
  EXPECT_EQ(events_.lines.size(), 1u);
  EXPECT_EQ(sock_->RetiredLookupCount(), 0u);
}

// The socket goes while Wine's cancel let its lookup run on: the buffer and the ids the answer
// comes with stay with a keeper until the answer, so the late write finds valid memory and no
// other component receives the answer under a reused id. Without any answer (a cancel that
// works) a thread keeps at most a few such keepers.
TEST_F(ScriptedBindingTest, ALateAnswerAfterTheSocketWentReachesNobodyElse) {
  net_->SetCancelMode(ScriptedBinding::CancelMode::kDoesNothing);
  const std::size_t keepers_before = LookupAnswerKeepersOnThisThread();
  sock_->DnsLookup(u"host.example");
  ws::TAsyncHandle h = net_->Lookups().back();
  sock_.reset();
  EXPECT_EQ(LookupAnswerKeepersOnThisThread(), keepers_before + 1);

  TWSocket heir(nullptr);
  Events heir_events;
  heir_events.Attach(heir);
  heir.Handle();
  net_->AnswerLookup(h, {"10.9.8.7"});
  PumpPending();
  EXPECT_EQ(heir_events.lines, std::vector<std::string>{});
  EXPECT_EQ(LookupAnswerKeepersOnThisThread(), keepers_before) << "gone with the answer";

  // Answers that never come (on a thread of its own, whose keepers stay behind).
  net_->SetCancelMode(ScriptedBinding::CancelMode::kWorks);
  std::size_t kept = 0;
  support::TestThread([&] {
    for (int i = 0; i < 12; ++i) {
      TWSocket s(nullptr);
      s.DnsLookup(u"host.example");
    }
    kept = LookupAnswerKeepersOnThisThread();
    ReleaseLookupAnswerKeepersOnThisThread();
  }).join();
  EXPECT_EQ(kept, 8u);
}

// ---------------------------------------------------------------------------------------------
// A close refused while the socket lingers is tried again after a wait, once per refusal,
// abortively once the linger time has passed, and not at all when a handler that ran meanwhile
// closed the socket itself.

TEST_F(ScriptedBindingTest, ARefusedCloseIsTriedAgainUntilItSucceeds) {
  sock_->SetLingerTimeout(5);
  Connect();
  ws::TSocket s = net_->Last();
  net_->RefuseCloses(s, 2);
  sock_->Close();
  EXPECT_EQ(net_->CloseCalls(s), 3);
  EXPECT_FALSE(net_->IsOpen(s));
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"state closed", "closed 0"}));
}

TEST_F(ScriptedBindingTest, ACloseRefusedPastTheLingerTimeBecomesAbortive) {
  sock_->SetLingerTimeout(2);
  Connect();
  ws::TSocket s = net_->Last();
  net_->RefuseCloses(s, 1000);
  const std::uint32_t offset = plat::TickCountOffset();
  net_->OnCloseRefused = [&] { plat::SetTickCountOffset(plat::TickCountOffset() + 700); };
  sock_->Close();
  plat::SetTickCountOffset(offset);
  EXPECT_FALSE(net_->IsOpen(s));
  EXPECT_LE(net_->CloseCalls(s), 6) << "one attempt per refusal until 2 s had passed";
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"state closed", "closed 0"}));
}

TEST_F(ScriptedBindingTest, AHandlerThatClosesDuringARefusedCloseEndsIt) {
  sock_->SetLingerTimeout(5);
  Connect();
  ws::TSocket s = net_->Last();
  net_->Deliver(s, "bytes");  // its read notice is handled while the close waits
  events_.close_in_data_handler = true;
  net_->RefuseCloses(s, 1);
  sock_->Close();
  PumpPending();
  EXPECT_EQ(net_->CloseCalls(s), 2) << "closed once by the handler, never again";
  EXPECT_EQ(events_.lines, (std::vector<std::string>{"data 5", "state closed", "closed 0"}));
}
