// The slice of the HTTP client that the installer drives: the download-client contract.
//
// The installer's controller sees only this interface, so it runs against the real client
// (THttpCli implements it) and against a scripted fake in tests alike.
//
// Guarantees of one Get (the real client keeps them; a fake must too):
// - every event fires on the thread that called Get, one at a time;
// - OnDocData fires once per body block, after the block was written to RcvdStream; between
//   two events RcvdCount grows by the block size;
// - OnRequestDone fires exactly once per request; when the request ends while Get dispatches
//   messages it fires before Get returns or raises; when the wait inside Get ends the request
//   (idle time-out, the application quitting) Get raises first and OnRequestDone follows from
//   the message queue;
// - ErrCode 0: the exchange completed and the answer's framing says its body is complete
//   (Content-Length reached, the last chunk seen, or the close that ends a body without
//   length); success is exactly StatusCode 200. Otherwise 3 aborted (Abort, the application
//   quitting), 8 idle time-out, 9 no usable status line (closed before one, or its code is not
//   a number), 10 answer cut short (a body short of its length or last chunk, or a header cut
//   by the close), 11 the download stream failed, 12 response header too large, 13 invalid
//   chunked framing (a bad chunk size line, or chunk data not followed by its line end),
//   14 invalid Content-Length (not one non-negative decimal number, or repeated with
//   different values), 15 a transfer coding the client cannot decode on an answer with a
//   body, 16 an exception escaped one of the owner's event handlers, 17 the request was
//   refused before it went out: its URL, a Location or a setting would have put a control
//   character or blank into the request, or named a malformed host or port, 18 a relocation
//   from https to http (a download that began encrypted never continues in plain text); or a
//   socket error, among them the TLS failures 22001 to 22007 (plat::tls::kTlsErr...: a failed
//   handshake, a certificate not accepted, no TLS on the system, ...), whose ReasonPhrase
//   names the reason;
// - Get raises EHttpException when ErrCode is not 0 and when the status is 400 or more
//   (except 401 and 407).
//
// Threads: the user-interface thread only. RcvdStream is borrowed: never freed by the client.
#pragma once

#include <cstdint>
#include <functional>

#include "events/component.h"
#include "platform/exceptions.h"
#include "platform/stream.h"
#include "platform/text.h"

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpDELETE, httpCLOSE };

// Request-done error codes that are not socket errors.
enum : std::uint16_t {
  reqErrNone = 0,
  reqErrBusy = 1,
  reqErrNoSendStream = 2,
  reqErrAborted = 3,
  reqErrBadVersion = 5,
  reqErrAuthState = 6,
  reqErrTimeout = 8,
  reqErrNoStatusLine = 9,
  reqErrDocIncomplete = 10,
  reqErrStreamWrite = 11,
  reqErrHeaderTooLarge = 12,
  reqErrBadChunkSize = 13,
  reqErrBadContentLength = 14,
  reqErrTransferCoding = 15,
  reqErrHandlerException = 16,
  reqErrUnsafeRequest = 17,
  reqErrInsecureRelocation = 18,
  // The document does not match the sha-256 digest its answer carried, or the answer's digest
  // field cannot be read (download_retry.h checks it; the client itself never ends with it).
  reqErrDigestMismatch = 19,
};

class EHttpException : public Exception {
 public:
  EHttpException(std::string message, std::uint16_t code)
      : Exception(std::move(message)), ErrorCode(code) {}
  std::uint16_t ErrorCode;
};

using TDocDataEvent = std::function<void(TObject* Sender, const void* Buffer, std::int32_t Len)>;
using THttpRequestDone =
    std::function<void(TObject* Sender, THttpRequest RqType, std::uint16_t ErrCode)>;

class IDownloadClient {
 public:
  virtual ~IDownloadClient() = default;

  virtual void SetURL(const String& Value) = 0;
  virtual const String& URL() const = 0;
  virtual void SetRcvdStream(TStream* Value) = 0;
  virtual TStream* RcvdStream() const = 0;

  // Synchronous GET of URL; dispatches the thread's messages while it waits.
  virtual void Get() = 0;
  // Ends the request in progress; it then completes with ErrCode 3.
  virtual void Abort() = 0;

  virtual std::int32_t StatusCode() const = 0;
  virtual std::int64_t ContentLength() const = 0;
  virtual std::int64_t RcvdCount() const = 0;

  virtual void SetOnDocData(TDocDataEvent Value) = 0;
  virtual void SetOnRequestDone(THttpRequestDone Value) = 0;

  // Resuming. The next request asks for the document from byte Begin on ("Range: bytes=Begin-")
  // and, when Validator is not empty, only if it is still that version ("If-Range: Validator");
  // Begin 0 asks for the whole document. It applies to the next request only.
  virtual void SetResumeFrom(std::int64_t Begin, const String& Validator) = 0;
  // The value of the last answer's first header field called Name (any case), without the
  // blanks around it; empty when the answer has none.
  virtual String AnswerField(const String& Name) const = 0;
  // The values of all of the last answer's header fields called Name (any case), in their
  // order, joined with ", " as a list field's lines combine; empty when it has none.
  virtual String AnswerFieldLines(const String& Name) const = 0;
};
