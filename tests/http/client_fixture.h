// Helpers of the HTTP client tests: an event recorder, a bounded message loop, loopback servers
// described as data, and the installer form's settings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/application.h"
#include "http/httpcli.h"
#include "platform/messages.h"
#include "platform/tick.h"
#include "tests/support/scripted_server.h"

namespace httptest {

inline std::string U8(const String& s) {
  return text::ToUtf8(s);
}
inline String U16(const std::string& s) {
  return text::FromUtf8(s);
}

// What the owner sees of one request: every event in order, the body and the ending.
struct Recorder {
  std::vector<std::string> events;
  std::string body;  // the OnDocData blocks, all documents
  int done_count = 0;
  THttpRequest done_rq = httpABORT;
  std::uint16_t done_err = 0xFFFF;
  std::int32_t status_at_done = -1;
  std::int64_t rcvd_at_done = -1;
  int doc_data_blocks = 0;
  std::vector<std::int64_t> content_length_at_data;
  std::vector<String> cookies;
  // Extra behaviour, run inside the event.
  std::function<void(THttpCli&)> on_doc_data;
  std::function<void(THttpCli&)> on_state;

  void Add(std::string e) { events.push_back(std::move(e)); }

  void Attach(THttpCli& c) {
    c.OnStateChange = [this, &c](TObject*) {
      Add(std::string("State:") + HttpStateName(c.State()));
      if (on_state) on_state(c);
    };
    c.OnSessionConnected = [this](TObject*) { Add("SessionConnected"); };
    c.OnSessionClosed = [this](TObject*) { Add("SessionClosed"); };
    c.OnRequestHeaderBegin = [this](TObject*) { Add("RequestHeaderBegin"); };
    c.OnBeforeHeaderSend = [this](TObject*, const String&, std::vector<String>&) {
      Add("BeforeHeaderSend");
    };
    c.OnCommand = [this](TObject*, String& s) { Add("Command(" + U8(s) + ")"); };
    c.OnRequestHeaderEnd = [this](TObject*) { Add("RequestHeaderEnd"); };
    c.OnHeaderBegin = [this](TObject*) { Add("HeaderBegin"); };
    c.OnHeaderData = [this](TObject*) { Add("HeaderData"); };
    c.OnCookie = [this](TObject*, const String& d, bool&) {
      cookies.push_back(d);
      Add("Cookie");
    };
    c.OnHeaderEnd = [this](TObject*) { Add("HeaderEnd"); };
    c.OnDocBegin = [this](TObject*) { Add("DocBegin"); };
    c.OnDocData = [this, &c](TObject*, const void* b, std::int32_t n) {
      body.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
      ++doc_data_blocks;
      content_length_at_data.push_back(c.ContentLength());
      if (events.empty() || events.back() != "DocData") Add("DocData");
      if (on_doc_data) on_doc_data(c);
    };
    c.OnDocEnd = [this](TObject*) { Add("DocEnd"); };
    c.OnLocationChange = [this](TObject*) { Add("LocationChange"); };
    c.OnRequestDone = [this, &c](TObject*, THttpRequest rq, std::uint16_t err) {
      ++done_count;
      done_rq = rq;
      done_err = err;
      status_at_done = c.StatusCode();
      rcvd_at_done = c.RcvdCount();
      Add("RequestDone(" + std::to_string(err) + ")");
    };
  }

  // The events joined by blanks, leaving out the request lines (Command) unless asked.
  std::string Joined(bool with_commands = false) const {
    std::string out;
    for (const auto& e : events) {
      if (!with_commands && e.rfind("Command(", 0) == 0) continue;
      if (!out.empty()) out += ' ';
      out += e;
    }
    return out;
  }
  int Count(const std::string& e) const {
    int n = 0;
    for (const auto& x : events)
      n += x == e ? 1 : 0;
    return n;
  }
};

// Dispatches the thread's messages until `done` holds or `ms` milliseconds have passed.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    plat::WaitForInput(50);
    Application().ProcessMessages();
  }
  return true;
}

// Dispatches whatever is queued now and what arrives within `ms` milliseconds.
inline void PumpFor(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    plat::WaitForInput(10);
    Application().ProcessMessages();
  }
}

// One connection's script as data. "{P0}", "{P1}" ... in Send data stand for the ports of the
// case's servers.
struct Step {
  enum Kind {
    kRead,
    kSend,
    kPause,
    kClose,
    kReset,
    kWaitPeerClose,
    kWaitSignal,
    kShutdown,
    kNotify
  };
  Kind kind;
  std::string data;
  int ms = 0;
};
inline Step Read() {
  return {Step::kRead, "\r\n\r\n"};
}
inline Step ReadUntil(std::string marker) {
  return {Step::kRead, std::move(marker)};
}
inline Step Send(std::string bytes) {
  return {Step::kSend, std::move(bytes)};
}
inline Step Pause(int ms) {
  return {Step::kPause, {}, ms};
}
inline Step CloseConn() {
  return {Step::kClose, {}};
}
inline Step ResetConn() {
  return {Step::kReset, {}};
}
inline Step WaitPeerClose() {
  return {Step::kWaitPeerClose, {}};
}
inline Step WaitSignal() {
  return {Step::kWaitSignal, {}};
}
inline Step ShutdownSend() {
  return {Step::kShutdown, {}};
}
// Lets the test's WaitNotified(id) return once the script got here.
inline Step Notify(int id) {
  return {Step::kNotify, {}, id};
}
using Conn = std::vector<Step>;
using ServerScript = std::vector<Conn>;

inline std::string Subst(std::string s, const std::vector<std::uint16_t>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string key = "{P" + std::to_string(i) + "}";
    for (auto at = s.find(key); at != std::string::npos; at = s.find(key))
      s.replace(at, key.size(), std::to_string(ports[i]));
  }
  return s;
}

// Starts the servers of a case, the last first, so earlier ones can name later ports.
struct Servers {
  std::vector<std::unique_ptr<support::ScriptedServer>> list;
  std::vector<std::uint16_t> ports;

  explicit Servers(const std::vector<ServerScript>& per_server) {
    list.resize(per_server.size());
    ports.assign(per_server.size(), 0);
    for (std::size_t k = per_server.size(); k-- > 0;) {
      std::vector<support::ServerScript> scripts;
      for (const Conn& conn : per_server[k]) {
        support::ServerScript sc;
        for (const Step& st : conn) {
          switch (st.kind) {
            case Step::kRead:
              sc.ReadUntil(st.data);
              break;
            case Step::kSend:
              sc.Send(Subst(st.data, ports));
              break;
            case Step::kPause:
              sc.Pause(st.ms);
              break;
            case Step::kClose:
              sc.Close();
              break;
            case Step::kReset:
              sc.Reset();
              break;
            case Step::kWaitPeerClose:
              sc.WaitPeerClose();
              break;
            case Step::kWaitSignal:
              sc.WaitSignal();
              break;
            case Step::kShutdown:
              sc.ShutdownSend();
              break;
            case Step::kNotify:
              sc.Notify(st.ms);
              break;
          }
        }
        scripts.push_back(std::move(sc));
      }
      list[k] = std::make_unique<support::ScriptedServer>(std::move(scripts));
      ports[k] = list[k]->Port();
    }
  }
  support::ScriptedServer& operator[](std::size_t i) { return *list[i]; }
  std::string Url(const std::string& path, std::size_t server = 0) const {
    return "http://127.0.0.1:" + std::to_string(ports[server]) + path;
  }
};

// The installer form's settings on a client.
inline void InstallerSettings(THttpCli& c) {
  c.SetAgent(u"Mozilla/4.0 (compatible; Vexlor)");
  c.SetAccept(u"image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  c.SetRequestVer(u"1.0");
  c.SetFollowRelocation(true);
  c.SetLocationChangeMaxCount(5);
  c.SetTimeout(30);
}

// Restores the real tick counter when a test ends.
struct TickOffsetGuard {
  ~TickOffsetGuard() { plat::SetTickCountOffset(0); }
};

}  // namespace httptest
