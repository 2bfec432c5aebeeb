// The send-buffer pool of a socket: fixed-size blocks that queued bytes fill in order and
// that are recycled through a free list once sent.
//
// Threads: a pool belongs to its socket's thread. The lock is re-entrant, because the socket
// fires events while holding it and those events may queue more bytes.
//
// Ownership: a list owns the buffers in it; moving a buffer from one list to another moves
// the ownership. The pool owns both of its lists.
#pragma once

#include <cstdint>

#include "events/component.h"
#include "platform/sync.h"

// One block of the pool. Invariant: 0 <= RdCount <= WrCount <= BufSize(). Reading or removing
// the last held byte puts both offsets back at 0, so an emptied block is reused from its start.
class TNetBuffer {
 public:
  explicit TNetBuffer(std::int32_t nSize);  // nSize <= 0 gives 1460
  ~TNetBuffer();
  TNetBuffer(const TNetBuffer&) = delete;
  TNetBuffer& operator=(const TNetBuffer&) = delete;

  // Copies as much of Data[Offset .. Offset + Len) as fits behind WrCount; returns the count.
  std::int32_t Write(const void* Data, std::int32_t Len);
  std::int32_t Write(const void* Data, std::int32_t Offset, std::int32_t Len);
  // Copies up to Len held bytes out and consumes them; returns the count.
  std::int32_t Read(void* Data, std::int32_t Len);
  // The held bytes without consuming them: their address (nullptr when empty) and count.
  const char* Peek(std::int32_t& Len) const;
  // Consumes up to Len held bytes; returns the count.
  std::int32_t Remove(std::int32_t Len);

  std::int32_t BufUsed() const { return WrCount - RdCount; }
  std::int32_t BufSize() const { return FBufSize; }

  char* Buf;
  std::int32_t WrCount = 0;
  std::int32_t RdCount = 0;
  TNetBuffer* FNext = nullptr;
  TNetBuffer* FPrev = nullptr;

 private:
  std::int32_t FBufSize;
};

// A doubly linked list of buffers that owns them.
class TNetBufferLinkedList {
 public:
  TNetBufferLinkedList() = default;
  ~TNetBufferLinkedList();
  TNetBufferLinkedList(const TNetBufferLinkedList&) = delete;
  TNetBufferLinkedList& operator=(const TNetBufferLinkedList&) = delete;

  void AddToListHead(TNetBuffer* Buf);
  void AddToListTail(TNetBuffer* Buf);
  // Unlinks and returns the head, nullptr when empty; the caller owns it then.
  TNetBuffer* RemoveFromListHead();
  int Count() const;

  TNetBuffer* Head = nullptr;
  TNetBuffer* Tail = nullptr;
};

class TNetBufferHandler : public TComponent {
 public:
  explicit TNetBufferHandler(TComponent* AOwner);
  ~TNetBufferHandler() override;

  void Lock() { FCritSect.Enter(); }
  void UnLock() { FCritSect.Leave(); }
  // Lockable, so std::lock_guard works.
  void lock() { Lock(); }
  void unlock() { UnLock(); }

  // Appends Len bytes behind the tail block, filling each block before taking the next.
  void Write(const void* Data, std::int32_t Len);
  // The head block's held bytes (nullptr and 0 when nothing is queued).
  const char* Peek(std::int32_t& Len) const;
  // Consumes Len bytes of the head block; an emptied head goes to the free list. Raises
  // Exception for a negative Len or an empty pool.
  void Remove(std::int32_t Len);
  // Moves every queued block, emptied, to the head of the free list.
  void DeleteAllData();
  bool IsEmpty() const;

  std::int32_t BufSize() const { return FBufSize; }
  // Affects blocks created from now on only; reused blocks keep their size.
  void SetBufSize(std::int32_t Value) { FBufSize = Value; }

  // Blocks in each list (for tests and diagnostics).
  int InUseCount() const { return FInUseList.Count(); }
  int FreeCount() const { return FFreeList.Count(); }
  const TNetBufferLinkedList& InUseList() const { return FInUseList; }

 private:
  TNetBuffer* TakeBuffer();

  TNetBufferLinkedList FInUseList;
  TNetBufferLinkedList FFreeList;
  std::int32_t FBufSize = 1460;
  TNetCriticalSection FCritSect;
};
