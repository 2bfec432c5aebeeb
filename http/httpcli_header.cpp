// THttpCli: receiving the answer's header, line by line.
#include "http/httpcli.h"

#include <algorithm>

#include "http/header.h"
#include "http/url.h"

namespace {

const char16_t kHeaderTooLarge[] = u"Response header too large";

// The extension of a file name, dot included; empty when it has none.
String ExtractFileExt(const String& name) {
  auto dot = name.rfind(u'.');
  return dot == String::npos ? String() : name.substr(dot);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Receiving: the header

void THttpCli::SocketDataAvailable(std::uint16_t ErrCode) {
  // The socket's receive loop would drop anything thrown here and leave the request without
  // an ending; end it instead.
  try {
    std::size_t room = 0;
    char* at = FReceiveBuffer.PrepareRead(room);
    std::int32_t n = FCtrlSocket->Receive(
        at, static_cast<std::int32_t>(std::min<std::size_t>(room, 0x7FFFFFFF)));
    if (FRequestType == httpABORT || n <= 0) return;
    FReceiveBuffer.Commit(static_cast<std::size_t>(n));
    if (FState == httpWaitingBody) {
      BodyStep();
      return;
    }
    ReceiveHeaderLines(ErrCode);
  } catch (std::exception& E) {
    FailRequest(reqErrAborted, text::FromUtf8(E.what()));
  }
}

void THttpCli::ReceiveHeaderLines(std::uint16_t ErrCode) {
  while (!FReceiveBuffer.Empty()) {
    if (FState == httpWaitingBody && FNext == TReceiver::Body) return;
    const bool header_phase =
        (FState == httpWaitingHeader || FState == httpWaitingBody) && FNext == TReceiver::Header;
    const std::size_t line_len = FReceiveBuffer.LineLength();
    if (line_len == 0) {
      // No line end yet. A line may not grow without bound: 64 KiB (and its CR) at most.
      if (FReceiveBuffer.Len() > kHttpMaxHeaderLine + 1) {
        if (Running()) {
          FailRequest(reqErrHeaderTooLarge, kHeaderTooLarge);
        } else {
          FReceiveBuffer.Clear();
          FCtrlSocket->Abort();
        }
      }
      return;
    }
    if (header_phase) {
      if (line_len > kHttpMaxHeaderLine + 2 || FHeaderBytes + line_len > kHttpMaxHeaderSize) {
        FailRequest(reqErrHeaderTooLarge, kHeaderTooLarge);
        return;
      }
      if (FHeaderLineCount <= 0) {
        const char* d = FReceiveBuffer.Data();
        std::string_view first(d, std::min<std::size_t>(line_len, 9));
        if (!first.empty() && first[0] == '<' &&
            (text::LowerAscii(first.substr(0, 6)) == "<html>" ||
             text::LowerAscii(first.substr(0, 9)) == "<!doctype")) {
          HeaderlessHtml();
          return;
        }
      }
      FHeaderBytes += line_len;
    }
    FReceiveBuffer.TakeLine(FLastResponse);
    if (FState == httpWaitingHeader || FState == httpWaitingBody) {
      if (FNext == TReceiver::Header)
        ProcessHeaderLine();
      else if (FNext == TReceiver::None)
        SetReadyUnlessSending();
    } else {
      TriggerDataPush(ErrCode);
    }
  }
}

// The answer has no header: its first line already belongs to an HTML document. The document
// gets every byte as received, that first line included.
void THttpCli::HeaderlessHtml() {
  if (FHeaderLineCount == 0) TriggerHeaderBegin();
  FHeaderLineCount = 1;
  if (!Running()) return;
  if (FContentType.empty()) FContentType = u"text/html";
  SetState(httpWaitingBody);
  FNext = TReceiver::Body;
  FBodyExpected = true;
  TriggerHeaderEnd();
  if (!Running() || FReceiveBuffer.Empty()) return;
  BodyStep();
}

void THttpCli::ProcessHeaderLine() {
  if (FHeaderLineCount == 0)
    TriggerHeaderBegin();
  else if (FHeaderLineCount == -1)
    FHeaderLineCount = 0;
  ++FHeaderLineCount;
  if (!Running()) return;

  if (FLastResponse.empty()) {
    HeaderEnded();
    return;
  }
  FRcvdHeader.push_back(FLastResponse);

  if (FHeaderLineCount == 1) {
    auto st = ParseStatusLine(FLastResponse);
    if (!st) {
      TriggerDataPush2();
    } else {
      FResponseVer = st->ResponseVer;
      FCloseReq = CloseRequiredFor(FRequestVer, FResponseVer);
      if (!st->CodeValid) {
        String quoted =
            FLastResponse.size() > 200 ? FLastResponse.substr(0, 200) + u"..." : FLastResponse;
        FailRequest(reqErrNoStatusLine, u"Invalid status line \"" + quoted + u"\"");
        return;
      }
      FStatusCode = st->StatusCode;
      FReasonPhrase = st->ReasonPhrase;
    }
  } else if (auto field = ParseHeaderField(FLastResponse)) {
    const String& name = field->Name;
    const String& value = field->Value;
    if (name == u"location") {
      AcceptLocation(value);
    } else if (name == u"content-length") {
      FContentLength = ParseContentLength(value);
    } else if (name == u"transfer-encoding") {
      FTransferEncoding = text::LowerAscii(std::u16string_view(value));
    } else if (name == u"content-range") {
      ParseContentRange(value, FContentRangeBegin, FContentRangeEnd);
    } else if (name == u"accept-ranges") {
      FAcceptRanges = value;
    } else if (name == u"content-type") {
      FContentType = text::LowerAscii(std::u16string_view(value));
    } else if (name == u"www-authenticate" || name == u"proxy-authenticate") {
      FDoAuthor.push_back(value);
    } else if (name == u"set-cookie") {
      bool accept = true;
      TriggerCookie(value, accept);
    } else if (name == u"connection" || name == u"proxy-connection") {
      String v = text::LowerAscii(std::u16string_view(text::Trim(value)));
      if (v == u"close")
        FCloseReq = true;
      else if (v == u"keep-alive")
        FCloseReq = false;
    } else if (name == u"content-encoding") {
      FContentEncoding = value;
    }
  }
  if (Running()) TriggerHeaderData();
}

void THttpCli::HeaderEnded() {
  if (FResponseVer == u"1.1" && FStatusCode == 100) {
    // An interim answer: the real one follows.
    FRcvdHeader.clear();
    FHeaderLineCount = -1;
    return;
  }
  TriggerHeaderEnd();
  if (!Running()) {
    FReceiveBuffer.Clear();
    return;
  }
  const bool head = FRequestType == httpHEAD;
  const bool chunked = FTransferEncoding == u"chunked";
  const bool no_body = FContentLength == 0 || head ||
                       (FContentLength == -1 && !chunked &&
                        (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 301 ||
                         FStatusCode == 302 || FStatusCode == 304));
  if (no_body) {
    if (FCloseReq) {
      if (FLocationFlag) {
        StartRelocation();
      } else {
        if (head) {
          FReceiveBuffer.Clear();
          SetState(httpWaitingBody);
          FNext = TReceiver::None;
        }
        FCtrlSocket->CloseDelayed();
      }
    } else if (head) {
      FReceiveBuffer.Clear();
      SetState(httpWaitingBody);
      FNext = TReceiver::None;
      PostSetReady();
    } else if (FLocationFlag) {
      StartRelocation();
    } else {
      SetReadyUnlessSending();
    }
    return;
  }

  String ext = text::LowerAscii(std::u16string_view(ExtractFileExt(FDocName)));
  if ((ext == u".exe" || ext.empty()) && FContentType == u"text/html")
    ReplaceExtension(FDocName, u"htm");
  SetState(httpWaitingBody);
  FNext = TReceiver::Body;
  FBodyExpected = true;
  if (Running() && !FReceiveBuffer.Empty()) BodyStep();
}
