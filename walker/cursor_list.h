// The walker's list container: a doubly linked list of untyped item pointers
// between two sentinel nodes, with a cursor. Serves as the walk's queue of
// pending directories. Platform-neutral.
#pragma once
#include <cstdint>

// Called by the list for every item still held when the list is destroyed.
typedef void (*ReleaseItemFn)(void* item);

// The ReleaseItem of lists whose items are heap blocks from malloc.
void ReleaseBlock(void* item);

struct ListNode {
  void* item;
  ListNode* previous;
  ListNode* next;
};

class CursorList {
 public:
  // releaseItem may be null: the items then stay the caller's.
  explicit CursorList(ReleaseItemFn releaseItem);
  ~CursorList();
  CursorList(const CursorList&) = delete;
  CursorList& operator=(const CursorList&) = delete;

  int IsEmpty() const;
  // 1 with the cursor on the first item; 0 (cursor unmoved) when empty.
  int Rewind();
  // The item under the cursor, which leaves the list (the item is not
  // released); the cursor moves to the following node. Null on a sentinel.
  void* RemoveAtCursor();
  // Links item after the cursor (after the last item when the cursor is past
  // the end) and moves the cursor onto it. 0 when no node could be allocated.
  int InsertAfterCursor(void* item);
  // Appends item; the cursor stays. 0 when no node could be allocated.
  int PushBack(void* item);

 private:
  ListNode head_;
  ListNode tail_;
  ListNode* cursor_;
  int32_t count_;
  ReleaseItemFn releaseItem_;
};
