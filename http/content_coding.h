// Content codings: the handler between received body bytes and the owner's stream.
//
// THttpContCodHandler is owned by the client. Body bytes go to its input: the first decoder of
// the current document or, when no coding is active, its pass-through, which writes each block
// to the client's current RcvdStream and then reports it (OnDocData). Decoders are created per
// document from the process-wide registry of codings; the program registers only "identity"
// and "*", which leave the bytes as they are.
//
// Threads: a handler belongs to its client's thread. The registry is process-wide; register
// codings at start-up, before any client runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/exceptions.h"
#include "platform/stream.h"
#include "platform/text.h"

class EHttpContentCodingException : public Exception {
 public:
  using Exception::Exception;
};

// Where bytes go next: the next decoder, the pass-through, or the owner's report.
using TWriteBufferProcedure = std::function<void(const void* Buffer, std::int32_t Count)>;

// One content coding's decoder, created for one document.
class THttpContentCoding {
 public:
  explicit THttpContentCoding(TWriteBufferProcedure WriteBufferProc)
      : FOutputWriteBuffer(std::move(WriteBufferProc)) {}
  virtual ~THttpContentCoding() = default;
  THttpContentCoding(const THttpContentCoding&) = delete;
  THttpContentCoding& operator=(const THttpContentCoding&) = delete;

  // End of the document's data: flush what is held back.
  virtual void Complete() {}
  virtual void WriteBuffer(const void* Buffer, std::int32_t Count) = 0;

 protected:
  TWriteBufferProcedure FOutputWriteBuffer;
};

// "identity" and "*": the bytes go on unchanged.
class THttpCCodIdentity : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  void WriteBuffer(const void* Buffer, std::int32_t Count) override {
    FOutputWriteBuffer(Buffer, Count);
  }
};
class THttpCCodStar : public THttpCCodIdentity {
 public:
  using THttpCCodIdentity::THttpCCodIdentity;
};

using TContentCodingFactory =
    std::function<std::unique_ptr<THttpContentCoding>(TWriteBufferProcedure Output)>;

struct TContCodingRegistration {
  String Coding;  // the coding's name, or a comma-separated list of names
  float Quality = 0;
  TContentCodingFactory Create;
};

// The process-wide list of codings, created on first use with "identity" and "*" (quality 0).
class TContCodingsList {
 public:
  static TContCodingsList& Instance();
  // Adds a coding. EHttpContentCodingException "GetCoding must be overridden in <ClassName>"
  // when Coding is empty. An inactive coding (Active false) is not added.
  void Register(const String& Coding, float Quality, TContentCodingFactory Create,
                const char* ClassName = "THttpContentCoding", bool Active = true);
  const std::vector<TContCodingRegistration>& Items() const { return FItems; }

 private:
  TContCodingsList();
  std::vector<TContCodingRegistration> FItems;
};

// One registered coding as a handler offers it in Accept-Encoding.
struct THttpContCodItem {
  String Coding;
  bool Enabled = true;
  float Quality = 0;
};

class THttpContCodHandler {
 public:
  // RcvdStreamRef: the client's RcvdStream storage, read at every block so the block goes to
  // the stream that is current. Output: the client's trigger of OnDocData.
  THttpContCodHandler(TStream* const* RcvdStreamRef, TWriteBufferProcedure Output);

  // At document begin: drops the previous document's decoders, then, when Enabled and
  // ContentEncoding is not empty, chains one decoder per listed coding (the last listed is
  // undone first). An unknown coding leaves the pass-through alone.
  void Prepare(const String& ContentEncoding);
  // Body bytes in. May raise (a failed stream write raises EStreamError).
  void WriteBuffer(const void* Buffer, std::int32_t Count) {
    if (FDecoders.empty())
      PassThrough(Buffer, Count);
    else
      FDecoders.back()->WriteBuffer(Buffer, Count);
  }
  // End of the document: every active decoder completes, the last created first.
  void Complete();

  // The Accept-Encoding value; empty when not Enabled.
  String HeaderText();

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  bool UseQuality() const { return FUseQuality; }
  void SetUseQuality(bool Value);
  int Count() const { return static_cast<int>(FItems.size()); }
  const THttpContCodItem& Item(int i) const { return FItems[static_cast<std::size_t>(i)]; }
  void SetItemEnabled(int i, bool Value);
  void SetItemQuality(int i, float Value);
  int ActiveDecoders() const { return static_cast<int>(FDecoders.size()); }

 private:
  void PassThrough(const void* Buffer, std::int32_t Count);

  TStream* const* FRcvdStreamRef;
  TWriteBufferProcedure FOutput;
  std::vector<THttpContCodItem> FItems;
  std::vector<std::unique_ptr<THttpContentCoding>> FDecoders;
  String FHeaderText;
  bool FRecalcHeader = true;
  bool FEnabled = false;
  bool FUseQuality = false;
};

// "0.###" with "." as the decimal separator.
String FormatQuality(float q);
