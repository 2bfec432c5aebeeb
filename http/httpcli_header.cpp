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
    const bool waiting = FState == httpWaitingHeader || FState == httpWaitingBody;
    if (waiting && FNext == TReceiver::Body) {
      BodyStep();
      return;
    }
    if (waiting && FNext == TReceiver::Header) {
      ReceiveHeaderLines(ErrCode);
      return;
    }
    // No answer is expected now. Outside a request's waiting states the complete lines are
    // still offered to OnDataPush; either way the bytes go and so does the connection.
    if (!waiting) ReceiveHeaderLines(ErrCode);
    DropStrayBytes();
  } catch (std::exception& E) {
    // An owner's handler (OnDocData, OnHeaderData, ...) raised: the request ends with the code
    // of a handler's exception, not the user's Cancel.
    EndRunningRequest(reqErrHandlerException, text::FromUtf8(E.what()));
  }
}

void THttpCli::DropStrayBytes() {
  FReceiveBuffer.Clear();
  FCloseReq = true;
  // Closing reports the close at once; its handling ends what is still open of the request.
  if (FCtrlSocket->State() == wsConnected) FCtrlSocket->Close();
}

void THttpCli::ReadFramingFields() {
  // Repeated Content-Length fields must agree; one invalid value spoils the answer's length.
  FContentLength = -1;
  FContentLengthBad = false;
  for (const String& value : FContentLengthFields) {
    const std::int64_t n = ParseContentLength(value);
    if (n < 0 || (FContentLength >= 0 && n != FContentLength)) {
      FContentLengthBad = true;
      FContentLength = -1;
      break;
    }
    FContentLength = n;
  }
  // Several Transfer-Encoding fields make one list of codings.
  FTransferEncoding.clear();
  for (const String& value : FTransferEncodingFields) {
    if (!FTransferEncoding.empty()) FTransferEncoding += u", ";
    FTransferEncoding += text::LowerAscii(std::u16string_view(value));
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
  // A folded line continues the line before it. Any other line ends the framing field before
  // it, so a fold after a line that is no field never reaches back to the framing field.
  const bool folded = FLastFramingField != TFramingField::None &&
                      (FLastResponse[0] == u' ' || FLastResponse[0] == u'\t');
  if (!folded) FLastFramingField = TFramingField::None;

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
  } else if (folded) {
    // A folded line continues the framing field before it, joined with a blank (RFC 9112
    // section 5.2): read apart, "Transfer-Encoding:" and " chunked" would leave a chunked body
    // to be stored as it came.
    auto& fields = FLastFramingField == TFramingField::ContentLength ? FContentLengthFields
                                                                     : FTransferEncodingFields;
    fields.back() = TrimBlanks(fields.back() + u" " + TrimBlanks(FLastResponse));
    ReadFramingFields();
  } else if (auto field = ParseHeaderField(FLastResponse)) {
    const String& name = field->Name;
    const String& value = field->Value;
    if (name == u"location") {
      AcceptLocation(TrimBlanks(value));
    } else if (name == u"content-length") {
      FContentLengthFields.push_back(TrimBlanks(value));
      FLastFramingField = TFramingField::ContentLength;
      ReadFramingFields();
    } else if (name == u"transfer-encoding") {
      FTransferEncodingFields.push_back(TrimBlanks(value));
      FLastFramingField = TFramingField::TransferEncoding;
      ReadFramingFields();
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
      // A list of options: "close" among them wins over "keep-alive".
      bool close = false, keep = false;
      for (const String& option : HeaderListItems(text::LowerAscii(std::u16string_view(value)))) {
        close |= option == u"close";
        keep |= option == u"keep-alive";
      }
      if (close)
        FCloseReq = true;
      else if (keep)
        FCloseReq = false;
    } else if (name == u"content-encoding") {
      FContentEncoding = value;
    }
  }
  if (Running()) TriggerHeaderData();
}

void THttpCli::HeaderEnded() {
  if (FResponseVer == u"1.1" && FStatusCode == 100) {
    // An interim answer: the real one follows, and its fields say nothing about it.
    FRcvdHeader.clear();
    FHeaderLineCount = -1;
    FContentLengthFields.clear();
    FTransferEncodingFields.clear();
    FLastFramingField = TFramingField::None;
    ReadFramingFields();
    return;
  }
  TriggerHeaderEnd();
  if (!Running()) {
    FReceiveBuffer.Clear();
    return;
  }
  const bool head = FRequestType == httpHEAD;
  const std::vector<String> codings = TransferCodings(FTransferEncoding);
  FChunked = !codings.empty() && codings.back() == u"chunked";
  if (!codings.empty()) {
    // Transfer-Encoding decides the framing and a Content-Length beside it is ignored; an
    // answer that sends both is not trusted with the connection afterwards.
    if (!FContentLengthFields.empty()) FCloseReq = true;
    // In an HTTP/1.0 answer the coding is a fault of its own: the message is read, the
    // connection is not trusted afterwards (RFC 9112 section 6.1).
    if (FResponseVer == u"1.0") FCloseReq = true;
    FContentLength = -1;
  } else if (FContentLengthBad) {
    FailRequest(reqErrBadContentLength, u"Invalid Content-Length");
    return;
  }
  const bool no_body = head || (codings.empty() && FContentLength == 0) ||
                       (FContentLength == -1 && !FChunked &&
                        (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 301 ||
                         FStatusCode == 302 || FStatusCode == 304));
  // A relocation without a length is read as having no body, but whatever body it has runs to
  // the close: the connection is not used again, or that body would be taken for the next
  // answer.
  if (!head && codings.empty() && FContentLength == -1 &&
      (FStatusCode == 301 || FStatusCode == 302))
    FCloseReq = true;
  if (!no_body && !FTransferEncodingFields.empty() && codings.empty()) {
    // A Transfer-Encoding field without a coding says the body is framed without saying how:
    // read to the close, it could be chunked framing stored as the document.
    FailRequest(reqErrTransferCoding, u"Transfer-Encoding without a coding");
    return;
  }
  if (!no_body && !codings.empty() && (codings.size() > 1 || !FChunked)) {
    // The body comes in a coding the client cannot undo: storing it would store framing or
    // compressed bytes as the document.
    FailRequest(reqErrTransferCoding,
                u"Transfer coding \"" + codings.front() + u"\" not supported");
    return;
  }
  if (no_body) {
    FNext = TReceiver::None;
    // Bytes after a complete answer belong to none: they go, and so does the connection.
    if (!FReceiveBuffer.Empty()) {
      FReceiveBuffer.Clear();
      FCloseReq = true;
    }
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
  // A body without length ends with the close: the connection carries nothing after it.
  if (FContentLength == -1 && !FChunked) FCloseReq = true;
  SetState(httpWaitingBody);
  FNext = TReceiver::Body;
  FBodyExpected = true;
  if (Running() && !FReceiveBuffer.Empty()) BodyStep();
}
