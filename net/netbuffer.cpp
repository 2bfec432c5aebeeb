// The send-buffer pool.
#include "net/netbuffer.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/exceptions.h"
#include "platform/text.h"

// ---------------------------------------------------------------------------------------------
// TNetBuffer

TNetBuffer::TNetBuffer(std::int32_t nSize) : FBufSize(nSize <= 0 ? 1460 : nSize) {
  Buf = new char[static_cast<std::size_t>(FBufSize)];
}

TNetBuffer::~TNetBuffer() {
  delete[] Buf;
}

std::int32_t TNetBuffer::Write(const void* Data, std::int32_t Len) {
  return Write(Data, 0, Len);
}

std::int32_t TNetBuffer::Write(const void* Data, std::int32_t Offset, std::int32_t Len) {
  std::int32_t n = std::min(FBufSize - WrCount, Len);
  if (n <= 0) return 0;
  std::memcpy(Buf + WrCount, static_cast<const char*>(Data) + Offset, static_cast<std::size_t>(n));
  WrCount += n;
  return n;
}

std::int32_t TNetBuffer::Read(void* Data, std::int32_t Len) {
  std::int32_t n = std::min(BufUsed(), Len);
  if (n <= 0) return 0;
  std::memcpy(Data, Buf + RdCount, static_cast<std::size_t>(n));
  RdCount += n;
  if (RdCount == WrCount) RdCount = WrCount = 0;
  return n;
}

const char* TNetBuffer::Peek(std::int32_t& Len) const {
  Len = BufUsed();
  return Len > 0 ? Buf + RdCount : nullptr;
}

std::int32_t TNetBuffer::Remove(std::int32_t Len) {
  std::int32_t n = std::min(BufUsed(), Len);
  if (n <= 0) return 0;
  RdCount += n;
  if (RdCount == WrCount) RdCount = WrCount = 0;
  return n;
}

// ---------------------------------------------------------------------------------------------
// TNetBufferLinkedList

TNetBufferLinkedList::~TNetBufferLinkedList() {
  while (TNetBuffer* b = RemoveFromListHead())
    delete b;
}

void TNetBufferLinkedList::AddToListHead(TNetBuffer* Buf) {
  Buf->FPrev = nullptr;
  Buf->FNext = Head;
  if (Head != nullptr)
    Head->FPrev = Buf;
  else
    Tail = Buf;
  Head = Buf;
}

void TNetBufferLinkedList::AddToListTail(TNetBuffer* Buf) {
  Buf->FNext = nullptr;
  Buf->FPrev = Tail;
  if (Tail != nullptr)
    Tail->FNext = Buf;
  else
    Head = Buf;
  Tail = Buf;
}

TNetBuffer* TNetBufferLinkedList::RemoveFromListHead() {
  TNetBuffer* b = Head;
  if (b == nullptr) return nullptr;
  Head = b->FNext;
  if (Head != nullptr)
    Head->FPrev = nullptr;
  else
    Tail = nullptr;
  b->FNext = b->FPrev = nullptr;
  return b;
}

int TNetBufferLinkedList::Count() const {
  int n = 0;
  for (TNetBuffer* b = Head; b != nullptr; b = b->FNext)
    ++n;
  return n;
}

// ---------------------------------------------------------------------------------------------
// TNetBufferHandler

TNetBufferHandler::TNetBufferHandler(TComponent* AOwner) : TComponent(AOwner) {}

TNetBufferHandler::~TNetBufferHandler() = default;

TNetBuffer* TNetBufferHandler::TakeBuffer() {
  TNetBuffer* b = FFreeList.RemoveFromListHead();
  if (b == nullptr) b = new TNetBuffer(FBufSize);
  FInUseList.AddToListTail(b);
  return b;
}

void TNetBufferHandler::Write(const void* Data, std::int32_t Len) {
  if (Data == nullptr || Len <= 0) return;
  std::lock_guard<TNetCriticalSection> lock(FCritSect);
  TNetBuffer* target = FInUseList.Tail != nullptr ? FInUseList.Tail : TakeBuffer();
  std::int32_t done = target->Write(Data, 0, Len);
  while (done < Len) {
    target = TakeBuffer();
    done += target->Write(Data, done, Len - done);
  }
}

const char* TNetBufferHandler::Peek(std::int32_t& Len) const {
  if (FInUseList.Head == nullptr) {
    Len = 0;
    return nullptr;
  }
  return FInUseList.Head->Peek(Len);
}

void TNetBufferHandler::Remove(std::int32_t Len) {
  std::lock_guard<TNetCriticalSection> lock(FCritSect);
  if (Len < 0) throw Exception("TNetBufferHandler.Remove: Invalid Len " + text::DecimalStr(Len));
  TNetBuffer* head = FInUseList.Head;
  if (head == nullptr) throw Exception("TNetBufferHandler.Remove: nothing to remove");
  head->Remove(Len);
  if (head->BufUsed() == 0) {
    FInUseList.RemoveFromListHead();
    FFreeList.AddToListHead(head);
  }
}

void TNetBufferHandler::DeleteAllData() {
  std::lock_guard<TNetCriticalSection> lock(FCritSect);
  while (TNetBuffer* b = FInUseList.RemoveFromListHead()) {
    b->RdCount = b->WrCount = 0;
    FFreeList.AddToListHead(b);
  }
}

bool TNetBufferHandler::IsEmpty() const {
  return FInUseList.Head == nullptr || FInUseList.Head->BufUsed() == 0;
}
