// CursorList (see cursor_list.h).
#include "walker/cursor_list.h"

#include <cstdlib>

void ReleaseBlock(void* item) { free(item); }

CursorList::CursorList(ReleaseItemFn releaseItem)
    : head_{nullptr, nullptr, &tail_},
      tail_{nullptr, &head_, nullptr},
      cursor_(&head_),
      count_(0),
      releaseItem_(releaseItem) {}

CursorList::~CursorList() {
  // Front to back, so items go in the order they stand in the list.
  ListNode* node = head_.next;
  while (node != &tail_) {
    ListNode* next = node->next;
    head_.next = next;
    next->previous = &head_;
    if (releaseItem_) releaseItem_(node->item);
    free(node);
    node = next;
  }
}

int CursorList::IsEmpty() const { return head_.next == &tail_; }

int CursorList::Rewind() {
  if (IsEmpty()) return 0;
  cursor_ = head_.next;
  return 1;
}

void* CursorList::RemoveAtCursor() {
  if (cursor_ == &head_ || cursor_ == &tail_) return nullptr;
  ListNode* node = cursor_;
  node->previous->next = node->next;
  node->next->previous = node->previous;
  cursor_ = node->next;
  void* item = node->item;
  free(node);
  --count_;
  if (count_ == 0) cursor_ = &head_;
  return item;
}

int CursorList::InsertAfterCursor(void* item) {
  ListNode* node = static_cast<ListNode*>(malloc(sizeof(ListNode)));
  if (!node) return 0;
  if (cursor_ == &tail_) cursor_ = tail_.previous;
  node->item = item;
  node->previous = cursor_;
  node->next = cursor_->next;
  cursor_->next->previous = node;
  cursor_->next = node;
  cursor_ = node;
  ++count_;
  return 1;
}

int CursorList::PushBack(void* item) {
  ListNode* node = static_cast<ListNode*>(malloc(sizeof(ListNode)));
  if (!node) return 0;
  node->item = item;
  node->previous = tail_.previous;
  node->next = &tail_;
  tail_.previous->next = node;
  tail_.previous = node;
  ++count_;
  return 1;
}
