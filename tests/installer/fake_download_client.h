// A scripted download client that keeps the guarantees of the download-client contract
// (http/download_client.h), for driving the installer's controller without a network.
//
// Get plays one scripted response: every body block arrives as a message posted to the
// client's hidden window, is written into RcvdStream and reported through OnDocData; the end of
// the request is posted as a message too, so OnRequestDone always comes from the thread's
// message queue. Get dispatches the thread's messages through the application's pump while it
// waits, so the controller's other handlers run nested inside it, as with the real client.
// Abort ends the request with ErrCode 3 and StatusCode 404. A quit request taken by the pump
// ends the request as aborted and makes Get raise first, with OnRequestDone following from the
// queue; so does the scripted idle time-out, with ErrCode 8.
//
// User actions can be scripted after any block; they are posted like the blocks, so they run
// from the queue between two blocks, as a click would.
//
// Every wait has a deadline: a lost message makes Get raise std::runtime_error.
//
// Threads: the thread that created it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "http/download_client.h"
#include "platform/messages.h"

namespace testing_support {

struct FakeResponse {
  std::int32_t Status = 200;
  std::int64_t ContentLength = -1;  // -1: none announced
  std::vector<std::string> Blocks;
  // After the blocks: 0 completes the exchange; any other code fails the request with it.
  std::uint16_t EndError = 0;
  // After the blocks the server falls silent until the idle limit: Get raises first with code
  // 8, OnRequestDone(8) follows from the queue.
  bool TimeOut = false;
  // Actions run from the message queue after block i (index into Blocks; Blocks.size() means
  // after the last block, before the end).
  std::map<std::size_t, std::function<void()>> ActionsAfterBlock;
  // Header fields of the answer ("ETag", "Content-Range", ...).
  std::map<String, String> Fields;
};

class FakeDownloadClient : public IDownloadClient, public TObject {
 public:
  FakeDownloadClient();
  ~FakeDownloadClient() override;

  // One answer for every Get, or one answer per Get in order (the last one repeats).
  void Script(FakeResponse response) { responses_ = {std::move(response)}; }
  void ScriptAttempts(std::vector<FakeResponse> responses) { responses_ = std::move(responses); }

  void SetURL(const String& Value) override { url_ = Value; }
  const String& URL() const override { return url_; }
  void SetRcvdStream(TStream* Value) override { stream_ = Value; }
  TStream* RcvdStream() const override { return stream_; }
  void Get() override;
  void Abort() override;
  std::int32_t StatusCode() const override { return status_; }
  std::int64_t ContentLength() const override { return content_length_; }
  std::int64_t RcvdCount() const override { return rcvd_count_; }
  void SetOnDocData(TDocDataEvent Value) override { on_doc_data_ = std::move(Value); }
  void SetOnRequestDone(THttpRequestDone Value) override { on_request_done_ = std::move(Value); }
  void SetResumeFrom(std::int64_t Begin, const String& Validator) override {
    resume_from_ = Begin;
    validator_ = Validator;
  }
  String AnswerField(const String& Name) const override;
  String AnswerFieldLines(const String& Name) const override;

  // What happened.
  int GetCalls = 0;
  int AbortCalls = 0;
  int RequestDoneCount = 0;
  std::vector<std::uint16_t> RequestDoneErrors;
  bool GetRaised = false;
  std::uint16_t GetRaisedCode = 0;
  std::int64_t BytesWritten = 0;
  // Per Get: the byte the request asked to start from (0: the whole document) and its If-Range.
  std::vector<std::int64_t> RangesAsked;
  std::vector<String> ValidatorsSent;

  // Deadline of one Get, in milliseconds.
  int DeadlineMs = 10000;

 private:
  static plat::LResult Proc(plat::WindowHandle window, std::uint32_t msg, plat::WParam wparam,
                            plat::LParam lparam);
  void Step(std::size_t index);
  void Action(std::size_t index);
  void EndRequest(std::int32_t status, std::uint16_t error);
  void FireRequestDone(std::uint16_t error);

  plat::WindowHandle window_ = 0;
  std::vector<FakeResponse> responses_{FakeResponse{}};
  FakeResponse response_;
  std::int64_t resume_from_ = 0;
  String validator_;
  String url_;
  TStream* stream_ = nullptr;
  std::int32_t status_ = 0;
  std::int64_t content_length_ = -1;
  std::int64_t rcvd_count_ = 0;
  TDocDataEvent on_doc_data_;
  THttpRequestDone on_request_done_;

  bool busy_ = false;   // a request is running (Get has not seen its end yet)
  bool ended_ = false;  // the request has ended (its request-done is posted)
  bool done_fired_ = false;
  bool silent_ = false;  // scripted silence until the idle limit
  std::uint16_t error_ = 0;
  std::uint32_t generation_ = 0;  // messages of an earlier request are ignored
};

}  // namespace testing_support
