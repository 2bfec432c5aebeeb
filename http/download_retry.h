// Retry and resume of one download over the download-client contract, shared by the installer's
// controller and vexlor-fetch.
//
// A download is a series of attempts into one open stream. An attempt that ends with a failure
// that may pass (TransientFailure) is tried again after a pause that grows (RetryPauseMs), up to
// kMaxDownloadRetries times. A retry resumes where the trusted part of the stream ends: it asks
// for the rest ("Range: bytes=N-") only if the document is still the version the first answer
// named ("If-Range" with its strong ETag, else its Last-Modified); without either it starts
// again from zero. The answer to a resumed request is judged at its first block:
// - 206 whose Content-Range starts at N and runs to the end of the document of the known length
//   (and whose ETag, if it names one, is ours): its bytes continue the stream;
// - 200: the server sends the whole document (it changed, or it ignores ranges): the stream is
//   cut to nothing and the document starts again, with its progress;
// - anything else fails the download.
// A complete answer is verified: the stream must hold exactly the document's length when that is
// known, and its bytes must match every sha-256 digest the answers carried (content_digest.h):
// - Repr-Digest is a digest of the whole document, on a 200 and on a 206 alike;
// - Content-Digest is one of the answer's own bytes: the whole document on a 200, the part on a
//   206.
// A digest of the document is checked against the stream's bytes, read back once the document is
// complete, so the part held from an earlier attempt counts; a digest of a 206's part against its
// bytes, hashed as they arrive when the answer names one. A download that carries no digest is not
// hashed at all: hashing runs at a fraction of the speed of a local transfer. A digest of the
// document given by an earlier answer of the same version still counts after a resume. A
// mismatch, a digest field that cannot be read, or a stream that cannot be read back fails the
// download for good (FailureCode reqErrDigestMismatch); entries of other algorithms are ignored.
// A caller that needs the hash of the bytes as they arrived (to check the file again later) asks
// for it with SetHashReceived; that hash then covers exactly the part a resume keeps.
//
// Threads: the thread of the client. Ownership: borrows the client and the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "http/download_client.h"
#include "platform/sha256.h"
#include "platform/stream.h"
#include "platform/text.h"

namespace download_retry {

// Retries after the first attempt, at most.
constexpr int kMaxDownloadRetries = 5;

// The pause before retry `retry` (1 for the first): First, doubled each time up to 8 times
// First; with the default, 1, 2, 4 and then 8 seconds.
std::uint32_t RetryPauseMs(int retry, std::uint32_t First = 1000);

// Whether an attempt that ended this way may succeed when tried again: an answer cut short
// (10), a connection closed before any answer (9), the idle time-out (8), a reset, refused or
// timed-out connection, a failed name lookup, or an answer of status 500 or above. Everything
// else (a 4xx answer, an abort, a failed write, a protocol error) is final.
bool TransientFailure(std::uint16_t ErrCode, std::int32_t StatusCode);

// What the numbers of a request-done error mean, in a few words ("answer cut short").
String ErrorText(std::uint16_t ErrCode);

// "bytes first-last/complete" (complete may be "*": -1).
struct TContentRange {
  std::int64_t First = -1;
  std::int64_t Last = -1;
  std::int64_t Complete = -1;
};
// False when the value is not a satisfied byte range in that form.
bool ParseContentRange(const String& Value, TContentRange& Range);

// An address as it may be written down: without the user name and password it may carry.
String AddressForLog(const String& Url);

enum class TAttemptVerdict { avComplete, avRetry, avFailed };

class TResumableDownload {
 public:
  TResumableDownload(IDownloadClient& Client, TStream& Stream);

  // Before each Get: cuts the stream back to its trusted part, places its position there and
  // asks the client for the rest (or for the whole document). Counts the attempt.
  void BeginAttempt();
  // From OnDocData, for every block, after the client wrote it at the stream's position.
  // False when the answer cannot continue the document: the caller aborts the request, and the
  // attempt then ends as failed.
  bool BlockReceived(const void* Buffer, std::int32_t Len);
  // From OnRequestDone (or once Get has returned): what comes next. avRetry consumes one retry;
  // the pause before it is PauseMs().
  TAttemptVerdict AttemptEnded(std::uint16_t ErrCode);

  // The pause before the retry that AttemptEnded just granted.
  std::uint32_t PauseMs() const { return RetryPauseMs(retries_, first_pause_ms_); }
  // The first pause (1000 ms unless set) and the number of retries (kMaxDownloadRetries unless
  // set); set them before the first attempt.
  void SetFirstPauseMs(std::uint32_t Ms) { first_pause_ms_ = Ms; }
  void SetMaxRetries(int Retries) { max_retries_ = Retries; }
  // Attempts begun so far (1 during the first).
  int Attempt() const { return attempt_; }
  // Bytes of the document the stream holds now, and its whole length (-1: unknown), for the
  // progress display.
  std::int64_t Received() const;
  std::int64_t Total() const;
  // Whether the current attempt asked for the rest of the document only.
  bool Resuming() const { return resuming_; }
  // Why the last attempt failed for good, when it did for a reason of its own (an answer that
  // cannot continue the document, a failed verification); empty otherwise.
  const String& FailureText() const { return failure_; }
  // The error code of that failure: reqErrDigestMismatch for a failed digest check, else
  // reqErrDocIncomplete; 0 when there is none.
  std::uint16_t FailureCode() const { return failure_.empty() ? 0 : failure_code_; }
  // The status of the answer that failed that way (the client's own status may since be the
  // one of the abort that ended the request).
  std::int32_t FailureStatus() const { return refused_status_; }
  // How many sha-256 digests the completed download was checked against (0: the answers carried
  // none).
  int DigestsChecked() const { return digests_checked_; }
  // Hash the document's bytes as they arrive, for ReceivedSha256; set it before the first attempt.
  // A retry then keeps only a part the hash covers, and the document's digests are checked
  // against that hash instead of the bytes read back.
  void SetHashReceived(bool On) { hash_received_ = On; }
  // With SetHashReceived: the sha-256 of the document's bytes as they arrived (all of them, across
  // resumed attempts), whether or not the server sent a digest: what the file must still hold
  // when it is run.
  plat::TSha256Digest ReceivedSha256() const {
    plat::TSha256 copy = document_hash_;
    return copy.Final();
  }
  // One line about the attempt that ended: address, range, status, bytes and error.
  String AttemptLine(std::uint16_t ErrCode) const;

 private:
  // Judges the answer the current attempt got (false: it cannot continue the document).
  bool JudgeAnswer(const void* Buffer, std::int32_t Len);
  bool Fail(String why, std::uint16_t code = reqErrDocIncomplete);
  // Reads the answer's digest fields into the expectations; false on a field that cannot be read.
  bool TakeDigests(bool whole_document);
  // Checks the hashes against the expectations once the document is complete.
  bool CheckDigests();

  IDownloadClient& client_;
  TStream& stream_;
  int attempt_ = 0;
  int retries_ = 0;
  int max_retries_ = kMaxDownloadRetries;
  std::uint32_t first_pause_ms_ = 1000;
  std::int64_t trusted_ = 0;  // bytes at the stream's start that belong to the document
  std::int64_t base_ = 0;     // where the current answer's bytes begin in the document
  std::int64_t total_ = -1;
  String validator_;  // If-Range value: strong ETag or Last-Modified of the document
  bool validator_is_etag_ = false;
  bool resuming_ = false;
  bool judged_ = false;    // the current answer has been judged
  bool accepted_ = false;  // ... and continues the document
  String failure_;
  std::uint16_t failure_code_ = 0;
  std::int32_t refused_status_ = 0;
  bool hash_received_ = false;
  plat::TSha256 document_hash_;  // with hash_received_: the stream's bytes from its start
  plat::TSha256 answer_hash_;    // the current answer's bytes, when part_digest_ names a digest
  struct TExpectedDigest {
    plat::TSha256Digest Digest;
    const char16_t* Field;
  };
  std::vector<TExpectedDigest> document_digests_;  // of the whole document
  std::optional<TExpectedDigest> part_digest_;     // of the current 206 answer's bytes
  int digests_checked_ = 0;
};

}  // namespace download_retry
