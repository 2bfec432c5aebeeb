// The socket's time-out and bandwidth layers against loopback peers. Time is a manual clock:
// the sampling timers tick only when the test moves it, so every limit is checked at a known
// time and without sleeps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "events/timers.h"
#include "net/wsocket.h"
#include "platform/messages.h"
#include "platform/tick.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_server.h"
#include "tests/timers/manual_clock.h"

using support::PumpPending;
using support::PumpUntil;
using support::ScriptedServer;
using support::ServerScript;

namespace {

String U(const std::string& s) {
  return text::FromUtf8(s);
}

// An activity counter on the timers' clock, so the manual clock also drives the idle watch.
class ClockCounter : public TWSocketCounter {
 public:
  void SetConnected() override {
    TWSocketCounter::SetConnected();
    ConnectTick = NetTimerTickCount();
  }
};

class LayersTest : public ::testing::Test {
 protected:
  LayersTest() : clock_(500000) {}

  void SetUp() override {
    ASSERT_EQ(TNetClockPool::Shared(), nullptr) << "an earlier test left clocks behind";
    SetNetTimerClockSource(&clock_);
    sock_ = std::make_unique<TWSocket>(nullptr);
    sock_->SetCounterClass([] { return std::make_unique<ClockCounter>(); });
    sock_->OnSessionConnected = [this](TObject*, std::uint16_t e) {
      connected_ = true;
      connect_error_ = e;
    };
    sock_->SetOnTimeout([this](TObject*, TTimeoutReason r) {
      timeouts_.push_back({r, Now()});
      state_at_timeout_ = sock_->State();
    });
  }

  void TearDown() override {
    sock_.reset();
    ShutDownClockPool();
    SetNetTimerClockSource(nullptr);
  }

  void StartConnect(std::uint16_t port) {
    sock_->SetAddr(u"127.0.0.1");
    sock_->SetPort(U(std::to_string(port)));
    sock_->SetProto(u"tcp");
    sock_->Connect();
  }
  void ConnectTo(std::uint16_t port) {
    StartConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return connected_; }));
    ASSERT_EQ(connect_error_, 0);
  }

  // Moves the clock to the next scan of a clock thread (or by 100 ms when none waits for a
  // time), then handles on this thread what was posted.
  void StepToNextScan() {
    ASSERT_TRUE(clock_.WaitIdle());
    if (!clock_.AdvanceToNextWake()) clock_.Advance(100);
    ASSERT_TRUE(clock_.WaitIdle());
    PumpPending();
  }
  // Scan by scan until `done` or until `limit_ms` of clock time have passed.
  template <typename Done>
  void StepUntil(Done done, std::uint32_t limit_ms) {
    std::uint32_t start = Now();
    while (!done() && plat::TicksBetween(start, Now()) < limit_ms) {
      StepToNextScan();
      if (HasFatalFailure()) return;
    }
  }
  std::uint32_t Now() { return clock_.TickCount(); }

  struct Fired {
    TTimeoutReason reason;
    std::uint32_t at;
  };

  TManualClockSource clock_;
  std::unique_ptr<TWSocket> sock_;
  bool connected_ = false;
  std::uint16_t connect_error_ = 0;
  std::vector<Fired> timeouts_;
  TSocketState state_at_timeout_ = wsInvalidState;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Settings.

TEST(LayerSettings, SamplingValuesBelowTheMinimumAreRaised) {
  struct Case {
    std::uint32_t set, bandwidth, timeout;
  };
  const Case cases[] = {
      {0, 500, 0},        {1, 500, 1000},     {200, 500, 1000},
      {499, 500, 1000},   {500, 500, 1000},   {999, 999, 1000},
      {1000, 1000, 1000}, {5000, 5000, 5000}, {70000, 70000, 70000},
  };
  TWSocket s(nullptr);
  EXPECT_EQ(s.BandwidthSampling(), 1000u);
  EXPECT_EQ(s.TimeoutSampling(), 5000u);
  EXPECT_EQ(s.BandwidthLimit(), 0u);
  EXPECT_EQ(s.TimeoutConnect(), 0u);
  EXPECT_EQ(s.TimeoutIdle(), 0u);
  for (const Case& c : cases) {
    s.SetBandwidthSampling(c.set);
    s.SetTimeoutSampling(c.set);
    EXPECT_EQ(s.BandwidthSampling(), c.bandwidth) << "set " << c.set;
    EXPECT_EQ(s.TimeoutSampling(), c.timeout) << "set " << c.set;
  }
  // Settings alone create no timer.
  s.SetBandwidthLimit(10000);
  EXPECT_EQ(s.BandwidthTimer(), nullptr);
  EXPECT_EQ(s.TimeoutTimer(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Bandwidth.

TEST_F(LayersTest, WithoutALimitNoTimerExistsAndTheOptionsStay) {
  ScriptedServer server({ServerScript().ReadBytes(5).Close()});
  const TWSocketOptions before = sock_->ComponentOptions();
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  EXPECT_EQ(sock_->Send("hello", 5), 5);
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(sock_->BandwidthTimer(), nullptr);
  EXPECT_EQ(sock_->TimeoutTimer(), nullptr);
  EXPECT_FALSE(sock_->BandwidthEnabled());
  EXPECT_TRUE(sock_->ComponentOptions() == before);
}

TEST_F(LayersTest, ASendPastTheAllowanceIsCutPausesAndResumesWithTheExcessCarried) {
  ScriptedServer server(
      {ServerScript().ReadBytes(10001).Notify(1).ReadBytes(459).Notify(2).WaitSignal().Close()});
  sock_->SetBandwidthLimit(10000);
  sock_->SetBandwidthSampling(1000);
  sock_->SetBufSize(1460);
  // Each block the socket hands to the system, with the count the layer had before it.
  std::vector<std::pair<std::int32_t, std::uint32_t>> sends;
  sock_->OnSendData = [&](TObject*, std::int32_t n) {
    sends.push_back({n, sock_->BandwidthCount()});
  };
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  const std::uint32_t connected_at = Now();
  ASSERT_TRUE(sock_->BandwidthEnabled());
  ASSERT_NE(sock_->BandwidthTimer(), nullptr);
  EXPECT_EQ(sock_->BandwidthMaxCount(), 10000u);
  EXPECT_TRUE(sock_->ComponentOptions().Contains(wsoNoReceiveLoop));

  const std::string first(9000, 'a');
  ASSERT_EQ(sock_->Send(first.data(), 9000), 9000);
  ASSERT_EQ(sock_->BandwidthCount(), 9000u);
  ASSERT_FALSE(sock_->BandwidthPaused());

  sends.clear();
  const std::string block(1460, 'b');
  ASSERT_EQ(sock_->Send(block.data(), 1460), 1460);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].first, 1001);
  EXPECT_EQ(sends[0].second, 9000u);
  EXPECT_EQ(sock_->BandwidthCount(), 10001u);
  EXPECT_TRUE(sock_->BandwidthPaused());
  EXPECT_TRUE(sock_->Paused());
  EXPECT_FALSE(sock_->AllSent());
  ASSERT_TRUE(server.WaitNotified(1, 5000));

  // Nothing more leaves before the period is over.
  StepUntil([] { return false; }, 800);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_TRUE(sock_->BandwidthPaused());
  EXPECT_EQ(sends.size(), 1u);
  EXPECT_EQ(server.Received(0).size(), 10001u);

  // The tick resumes with the one byte over the allowance carried, and the rest goes out.
  StepUntil([&] { return !sock_->BandwidthPaused(); }, 2000);
  ASSERT_FALSE(sock_->BandwidthPaused());
  EXPECT_GE(plat::TicksBetween(connected_at, Now()), 1000u);
  EXPECT_LT(plat::TicksBetween(connected_at, Now()), 1200u);
  EXPECT_FALSE(sock_->Paused());
  ASSERT_TRUE(PumpUntil([&] { return sock_->AllSent(); }));
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_EQ(sends[1].first, 459);
  EXPECT_EQ(sends[1].second, 1u);
  EXPECT_EQ(sock_->BandwidthCount(), 460u);
  ASSERT_TRUE(server.WaitNotified(2, 5000));
  EXPECT_EQ(server.Received(0), first + block);

  // A period without passing the allowance starts the next one from zero.
  StepUntil([&] { return sock_->BandwidthCount() == 0; }, 2000);
  EXPECT_EQ(sock_->BandwidthCount(), 0u);
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
}

TEST_F(LayersTest, ReceivingPastTheAllowancePausesUntilTheTick) {
  const std::string payload(1500, 'r');
  ScriptedServer server({ServerScript().Send(payload).WaitSignal().Close()});
  sock_->SetBandwidthLimit(1000);  // 1000 bytes a period of 1000 ms
  std::string got;
  sock_->OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[4096];
    std::int32_t n = sock_->Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  };
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  ASSERT_TRUE(PumpUntil([&] { return sock_->BandwidthPaused(); }));
  // The read was cut to one byte past the allowance.
  EXPECT_EQ(got.size(), 1001u);
  EXPECT_EQ(sock_->BandwidthCount(), 1001u);
  EXPECT_TRUE(sock_->Paused());
  PumpPending();
  EXPECT_EQ(got.size(), 1001u);

  StepUntil([&] { return got.size() == payload.size(); }, 3000);
  EXPECT_EQ(got, payload);
  EXPECT_FALSE(sock_->BandwidthPaused());
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
}

// The peer sends its last bytes and closes at once: the tail is still throttled, period by
// period, and the close is heard only after the last byte.
TEST_F(LayersTest, TheTailBeforeThePeersCloseIsThrottledToo) {
  const std::string payload(4500, 't');
  ScriptedServer server({ServerScript().WaitSignal().Send(payload).Close()});
  sock_->SetBandwidthLimit(1000);  // 1000 bytes a period of 1000 ms
  std::string got;
  std::vector<std::size_t> per_period{0};
  bool closed = false;
  std::size_t got_at_close = 0;
  sock_->OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[8192];
    std::int32_t n = sock_->Receive(buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      per_period.back() += static_cast<std::size_t>(n);
    }
  };
  sock_->OnSessionClosed = [&](TObject*, std::uint16_t) {
    closed = true;
    got_at_close = got.size();
  };
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
  ASSERT_TRUE(PumpUntil([&] { return sock_->BandwidthPaused(); }));
  PumpPending();
  std::uint32_t start = Now();
  while (!closed && plat::TicksBetween(start, Now()) < 10000) {
    per_period.push_back(0);
    ASSERT_TRUE(clock_.WaitIdle());
    clock_.Advance(1000);
    ASSERT_TRUE(clock_.WaitIdle());
    PumpUntil([&] { return closed || sock_->BandwidthPaused(); }, 2000);
    PumpPending();
  }
  ASSERT_TRUE(closed);
  EXPECT_EQ(got, payload);
  EXPECT_EQ(got_at_close, payload.size()) << "the close came after the last byte";
  for (std::size_t i = 0; i < per_period.size(); ++i)
    EXPECT_LE(per_period[i], 1001u) << "period " << i;
}

TEST_F(LayersTest, ChangingTheLimitWhileConnectedRestartsOrEndsTheControl) {
  ScriptedServer server({ServerScript().ReadBytes(2001).WaitSignal().Close()});
  sock_->SetBandwidthLimit(2000);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  const std::string data(3000, 'c');
  ASSERT_EQ(sock_->Send(data.data(), 3000), 3000);
  ASSERT_TRUE(sock_->BandwidthPaused());

  sock_->SetBandwidthLimit(4000);
  EXPECT_EQ(sock_->BandwidthMaxCount(), 4000u);
  EXPECT_EQ(sock_->BandwidthCount(), 0u);
  EXPECT_FALSE(sock_->BandwidthPaused());
  EXPECT_FALSE(sock_->Paused());

  // Switched off: the timer stops and nothing stays paused.
  sock_->SetBandwidthLimit(0);
  EXPECT_FALSE(sock_->BandwidthEnabled());
  ASSERT_NE(sock_->BandwidthTimer(), nullptr);
  EXPECT_FALSE(sock_->BandwidthTimer()->Enabled());
  ASSERT_TRUE(PumpUntil([&] { return sock_->AllSent(); }));
  EXPECT_TRUE(sock_->ComponentOptions().Contains(wsoNoReceiveLoop));
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Received(0), data);
}

// ---------------------------------------------------------------------------------------------
// Time-outs.

TEST_F(LayersTest, AConnectThatNeverCompletesTimesOutOnceAndStaysConnecting) {
  // A listener that never accepts, its queue filled by one connection: the next handshake
  // gets no answer.
  TWSocket listener(nullptr);
  listener.SetAddr(u"127.0.0.1");
  listener.SetPort(u"0");
  listener.SetProto(u"tcp");
  listener.SetListenBacklog(0);
  listener.Listen();
  ASSERT_EQ(listener.State(), wsListening);
  const std::string port = text::ToUtf8(listener.GetXPort());
  TWSocket filler(nullptr);
  bool filler_connected = false;
  filler.OnSessionConnected = [&](TObject*, std::uint16_t e) { filler_connected = e == 0; };
  filler.SetAddr(u"127.0.0.1");
  filler.SetPort(U(port));
  filler.SetProto(u"tcp");
  filler.Connect();
  ASSERT_TRUE(PumpUntil([&] { return filler_connected; }));

  sock_->SetTimeoutConnect(3000);
  StartConnect(static_cast<std::uint16_t>(std::stoi(port)));
  const std::uint32_t started = Now();
  ASSERT_NE(sock_->TimeoutTimer(), nullptr);
  EXPECT_EQ(sock_->TimeoutTimer()->Interval(), 5000u);

  StepUntil([&] { return !timeouts_.empty(); }, 8000);
  ASSERT_EQ(timeouts_.size(), 1u);
  EXPECT_EQ(timeouts_[0].reason, torConnect);
  // Checked at the first tick after the limit: with the default sampling, at 5000 ms.
  EXPECT_GE(plat::TicksBetween(started, timeouts_[0].at), 5000u);
  EXPECT_LT(plat::TicksBetween(started, timeouts_[0].at), 5200u);
  EXPECT_EQ(state_at_timeout_, wsConnecting);
  EXPECT_FALSE(connected_);
  EXPECT_FALSE(sock_->TimeoutTimer()->Enabled());

  StepUntil([] { return false; }, 12000);
  EXPECT_EQ(timeouts_.size(), 1u);
  EXPECT_EQ(sock_->State(), wsConnecting);
  sock_->Abort();
}

TEST_F(LayersTest, AnIdleSessionTimesOutOnceAndSamplingStops) {
  ScriptedServer server({ServerScript().WaitSignal().Close()});
  sock_->SetTimeoutIdle(3000);
  sock_->SetTimeoutSampling(1000);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  const std::uint32_t connected_at = Now();
  ASSERT_NE(sock_->TimeoutTimer(), nullptr);
  EXPECT_TRUE(sock_->TimeoutTimer()->Enabled());
  EXPECT_EQ(sock_->TimeoutTimer()->Interval(), 1000u);

  StepUntil([&] { return !timeouts_.empty(); }, 6000);
  ASSERT_EQ(timeouts_.size(), 1u);
  EXPECT_EQ(timeouts_[0].reason, torIdle);
  // More than 3000 ms idle is first seen by the tick at about 4000 ms.
  EXPECT_GT(plat::TicksBetween(connected_at, timeouts_[0].at), 3000u);
  EXPECT_LT(plat::TicksBetween(connected_at, timeouts_[0].at), 4300u);
  EXPECT_EQ(state_at_timeout_, wsConnected);
  EXPECT_FALSE(sock_->TimeoutTimer()->Enabled());

  StepUntil([] { return false; }, 10000);
  EXPECT_EQ(timeouts_.size(), 1u);
  EXPECT_EQ(sock_->State(), wsConnected);
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
}

TEST_F(LayersTest, TrafficPostponesTheIdleTimeout) {
  ScriptedServer server({ServerScript().WaitSignal().Close()});
  sock_->SetTimeoutIdle(3000);
  sock_->SetTimeoutSampling(1000);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  StepUntil([] { return false; }, 2500);
  ASSERT_FALSE(HasFatalFailure());
  // Activity on the timers' clock, as a send at this moment would record it.
  sock_->Counter()->LastSendTick = Now();
  const std::uint32_t active_at = Now();
  StepUntil([&] { return !timeouts_.empty(); }, 6000);
  ASSERT_EQ(timeouts_.size(), 1u);
  EXPECT_GT(plat::TicksBetween(active_at, timeouts_[0].at), 3000u);
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
}

// A connect that ends before any socket exists (a setting missing) leaves no watch running,
// and neither does the release of a session: nothing fires later for a socket that is gone.
TEST_F(LayersTest, NoTimerRunsOnAfterTheSocketIsGone) {
  sock_->OnError = [](TObject*) {};
  sock_->SetTimeoutConnect(3000);
  sock_->SetAddr(u"127.0.0.1");
  sock_->Connect();  // no port
  ASSERT_NE(sock_->TimeoutTimer(), nullptr);
  EXPECT_FALSE(sock_->TimeoutTimer()->Enabled());
  StepUntil([&] { return !timeouts_.empty(); }, 8000);
  EXPECT_TRUE(timeouts_.empty());

  ScriptedServer server({ServerScript().WaitPeerClose()});
  sock_->SetTimeoutConnect(0);
  sock_->SetTimeoutIdle(3000);
  sock_->SetBandwidthLimit(10000);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  ASSERT_TRUE(sock_->TimeoutTimer()->Enabled());
  ASSERT_TRUE(sock_->BandwidthTimer()->Enabled());
  sock_->OnSessionClosed = nullptr;
  sock_->Abort();
  EXPECT_FALSE(sock_->TimeoutTimer()->Enabled());
  EXPECT_FALSE(sock_->BandwidthTimer()->Enabled());
  EXPECT_FALSE(sock_->BandwidthEnabled());
  StepUntil([&] { return !timeouts_.empty(); }, 8000);
  EXPECT_TRUE(timeouts_.empty());
  ASSERT_TRUE(server.WaitFinished(5000));
}

TEST_F(LayersTest, DetachStopsBothTimersAndAttachRestoresThem) {
  ScriptedServer server({ServerScript().WaitSignal().Close()});
  sock_->SetTimeoutIdle(3000);
  sock_->SetBandwidthLimit(10000);
  ASSERT_NO_FATAL_FAILURE(ConnectTo(server.Port()));
  ASSERT_NE(sock_->TimeoutTimer(), nullptr);
  ASSERT_NE(sock_->BandwidthTimer(), nullptr);
  sock_->ThreadDetach();
  EXPECT_FALSE(sock_->TimeoutTimer()->Enabled());
  EXPECT_FALSE(sock_->BandwidthTimer()->Enabled());
  sock_->ThreadAttach();
  EXPECT_TRUE(sock_->TimeoutTimer()->Enabled());
  EXPECT_TRUE(sock_->BandwidthTimer()->Enabled());

  // The restored idle watch still fires.
  StepUntil([&] { return !timeouts_.empty(); }, 8000);
  ASSERT_EQ(timeouts_.size(), 1u);
  EXPECT_EQ(timeouts_[0].reason, torIdle);
  server.Signal();
  ASSERT_TRUE(server.WaitFinished(5000));
}
