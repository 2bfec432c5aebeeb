// The scripted download client.
#include "tests/installer/fake_download_client.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "events/application.h"

namespace testing_support {
namespace {

constexpr const char* kClassName = "VexlorFakeDownloadClient";
constexpr std::uint32_t kMsgStep = plat::kMsgUser + 1;
constexpr std::uint32_t kMsgAction = plat::kMsgUser + 2;
constexpr std::uint32_t kMsgRequestDone = plat::kMsgUser + 3;

// wparam carries the request's generation in its high half and the index in its low half.
plat::WParam Pack(std::uint32_t generation, std::size_t index) {
  return (static_cast<plat::WParam>(generation & 0xFFFF) << 16) | (index & 0xFFFF);
}

}  // namespace

FakeDownloadClient::FakeDownloadClient() {
  if (!plat::IsWindowClassRegistered(kClassName))
    plat::RegisterWindowClass(kClassName, &FakeDownloadClient::Proc);
  window_ = plat::CreateHiddenWindow(kClassName);
  plat::SetWindowSlot(window_, this);
}

FakeDownloadClient::~FakeDownloadClient() {
  plat::DestroyWindow(window_);
}

plat::LResult FakeDownloadClient::Proc(plat::WindowHandle window, std::uint32_t msg,
                                       plat::WParam wparam, plat::LParam lparam) {
  auto* self = static_cast<FakeDownloadClient*>(plat::GetWindowSlot(window));
  if (self == nullptr) return plat::DefWindowProc(window, msg, wparam, lparam);
  if (((wparam >> 16) & 0xFFFF) != (self->generation_ & 0xFFFF)) return 0;
  std::size_t index = wparam & 0xFFFF;
  switch (msg) {
    case kMsgStep:
      self->Step(index);
      return 0;
    case kMsgAction:
      self->Action(index);
      return 0;
    case kMsgRequestDone:
      self->FireRequestDone(static_cast<std::uint16_t>(lparam));
      return 0;
    default:
      return plat::DefWindowProc(window, msg, wparam, lparam);
  }
}

void FakeDownloadClient::Get() {
  if (busy_) throw EHttpException("Connection busy", reqErrBusy);
  response_ = responses_[std::min<std::size_t>(GetCalls, responses_.size() - 1)];
  ++GetCalls;
  ++generation_;
  RangesAsked.push_back(resume_from_);
  ValidatorsSent.push_back(validator_);
  resume_from_ = 0;
  validator_.clear();
  busy_ = true;
  ended_ = false;
  done_fired_ = false;
  silent_ = false;
  error_ = 0;
  rcvd_count_ = 0;
  status_ = response_.Status;
  content_length_ = response_.ContentLength;
  plat::PostMessage(window_, kMsgStep, Pack(generation_, 0), 0);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  bool raise_first = false;
  while (!done_fired_) {
    if (std::chrono::steady_clock::now() > deadline) {
      busy_ = false;
      throw std::runtime_error("fake download client: the request did not end in time");
    }
    if (plat::WaitForInput(20)) Application().ProcessMessages();
    if (done_fired_) break;
    if (!ended_ && Application().Terminated()) {
      // The application is quitting: the wait ends the request as aborted.
      EndRequest(404, reqErrAborted);
      raise_first = true;
      break;
    }
    if (!ended_ && silent_) {
      EndRequest(404, reqErrTimeout);
      raise_first = true;
      break;
    }
  }
  busy_ = false;
  std::uint16_t code = error_;
  if (code == 0 && status_ >= 400 && status_ != 401 && status_ != 407)
    code = static_cast<std::uint16_t>(status_);
  if (raise_first || code != 0) {
    GetRaised = true;
    GetRaisedCode = code;
    throw EHttpException("request failed", code);
  }
}

String FakeDownloadClient::AnswerField(const String& Name) const {
  for (const auto& [name, value] : response_.Fields)
    if (text::LowerAscii(std::u16string_view(name)) == text::LowerAscii(std::u16string_view(Name)))
      return value;
  return String();
}

String FakeDownloadClient::AnswerFieldLines(const String& Name) const {
  String joined;
  for (const auto& [name, value] : response_.Fields)
    if (text::LowerAscii(std::u16string_view(name)) == text::LowerAscii(std::u16string_view(Name)))
      joined += (joined.empty() ? String() : String(u", ")) + value;
  return joined;
}

void FakeDownloadClient::Step(std::size_t index) {
  if (ended_) return;
  if (index < response_.Blocks.size()) {
    const std::string& block = response_.Blocks[index];
    if (stream_ != nullptr) {
      try {
        stream_->Write(block.data(), static_cast<std::int32_t>(block.size()));
        BytesWritten += static_cast<std::int64_t>(block.size());
      } catch (const EStreamError&) {
        EndRequest(status_, reqErrStreamWrite);
        return;
      }
    }
    rcvd_count_ += static_cast<std::int64_t>(block.size());
    if (on_doc_data_) on_doc_data_(this, block.data(), static_cast<std::int32_t>(block.size()));
  }
  if (ended_) return;  // a handler aborted the request
  if (response_.ActionsAfterBlock.count(index))
    plat::PostMessage(window_, kMsgAction, Pack(generation_, index), 0);
  if (index < response_.Blocks.size()) {
    plat::PostMessage(window_, kMsgStep, Pack(generation_, index + 1), 0);
  } else if (response_.ActionsAfterBlock.count(index)) {
    // The end comes after the last action.
    plat::PostMessage(window_, kMsgStep, Pack(generation_, index + 1), 0);
  } else if (response_.TimeOut) {
    silent_ = true;
  } else {
    EndRequest(status_, response_.EndError);
  }
}

void FakeDownloadClient::Action(std::size_t index) {
  if (ended_) return;
  auto it = response_.ActionsAfterBlock.find(index);
  if (it != response_.ActionsAfterBlock.end() && it->second) it->second();
}

void FakeDownloadClient::Abort() {
  ++AbortCalls;
  if (!busy_ || ended_) return;
  EndRequest(404, reqErrAborted);
}

void FakeDownloadClient::EndRequest(std::int32_t status, std::uint16_t error) {
  if (ended_) return;
  ended_ = true;
  status_ = status;
  error_ = error;
  plat::PostMessage(window_, kMsgRequestDone, Pack(generation_, 0), error);
}

void FakeDownloadClient::FireRequestDone(std::uint16_t error) {
  if (done_fired_) return;
  done_fired_ = true;
  ++RequestDoneCount;
  RequestDoneErrors.push_back(error);
  if (on_request_done_) on_request_done_(this, httpGET, error);
}

}  // namespace testing_support
