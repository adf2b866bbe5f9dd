// CursorList: queue discipline, the cursor on the sentinels, and release of
// the remaining items at destruction.
#include <gtest/gtest.h>

#include <vector>

#include "walker/cursor_list.h"

namespace {

int a = 1, b = 2, c = 3, x = 4;

std::vector<void*> released;
void RecordRelease(void* item) { released.push_back(item); }

TEST(CursorList, NewListIsEmptyWithCursorOnHead) {
  CursorList list(nullptr);
  EXPECT_EQ(1, list.IsEmpty());
  EXPECT_EQ(0, list.Rewind());
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
}

TEST(CursorList, InsertOnNewListThenRemoveReturnsCursorToHead) {
  CursorList list(nullptr);
  ASSERT_EQ(1, list.InsertAfterCursor(&a));
  EXPECT_EQ(0, list.IsEmpty());
  // The cursor stands on the inserted item.
  EXPECT_EQ(&a, list.RemoveAtCursor());
  EXPECT_EQ(1, list.IsEmpty());
  // Back on the head: nothing under it, and the next insertion goes first.
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
  ASSERT_EQ(1, list.PushBack(&c));
  ASSERT_EQ(1, list.InsertAfterCursor(&b));
  void* expected[] = {&b, &c};
  for (void* item : expected) {
    ASSERT_EQ(1, list.Rewind());
    EXPECT_EQ(item, list.RemoveAtCursor());
  }
}

TEST(CursorList, QueueDisciplineKeepsArrivalOrderAcrossRefills) {
  CursorList list(nullptr);
  // As the walker uses it: first in with InsertAfterCursor, later ones with
  // PushBack, taken with Rewind and RemoveAtCursor; it runs empty and refills.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(1, list.InsertAfterCursor(&a));
    ASSERT_EQ(1, list.PushBack(&b));
    ASSERT_EQ(1, list.PushBack(&c));
    void* expected[] = {&a, &b, &c};
    for (void* item : expected) {
      ASSERT_EQ(1, list.Rewind()) << "round " << round;
      EXPECT_EQ(item, list.RemoveAtCursor()) << "round " << round;
    }
    EXPECT_EQ(1, list.IsEmpty());
    EXPECT_EQ(nullptr, list.RemoveAtCursor());
  }
}

TEST(CursorList, RemovingFirstOfTwoLeavesCursorOnSecond) {
  CursorList list(nullptr);
  list.PushBack(&a);
  list.PushBack(&b);
  ASSERT_EQ(1, list.Rewind());
  EXPECT_EQ(&a, list.RemoveAtCursor());
  EXPECT_EQ(&b, list.RemoveAtCursor());
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
  EXPECT_EQ(1, list.IsEmpty());
}

TEST(CursorList, RemovingLastOfThreeLeavesCursorOnTail) {
  CursorList list(nullptr);
  // Each insertion moves the cursor onto the new item: it ends on c.
  ASSERT_EQ(1, list.InsertAfterCursor(&a));
  ASSERT_EQ(1, list.InsertAfterCursor(&b));
  ASSERT_EQ(1, list.InsertAfterCursor(&c));
  EXPECT_EQ(&c, list.RemoveAtCursor());
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
  EXPECT_EQ(0, list.IsEmpty());

  // Inserting past the end appends and puts the cursor on the new node.
  ASSERT_EQ(1, list.InsertAfterCursor(&x));
  ASSERT_EQ(1, list.InsertAfterCursor(&c));
  void* expected[] = {&a, &b, &x, &c};
  for (void* item : expected) {
    ASSERT_EQ(1, list.Rewind());
    EXPECT_EQ(item, list.RemoveAtCursor());
  }
  EXPECT_EQ(1, list.IsEmpty());
}

TEST(CursorList, InsertAfterCursorInTheMiddle) {
  CursorList list(nullptr);
  list.PushBack(&a);
  list.PushBack(&b);
  ASSERT_EQ(1, list.Rewind());
  ASSERT_EQ(1, list.InsertAfterCursor(&x));
  ASSERT_EQ(1, list.InsertAfterCursor(&c));
  void* expected[] = {&a, &x, &c, &b};
  for (void* item : expected) {
    ASSERT_EQ(1, list.Rewind());
    EXPECT_EQ(item, list.RemoveAtCursor());
  }
}

TEST(CursorList, PushBackLeavesCursorWhereItStands) {
  CursorList list(nullptr);
  ASSERT_EQ(1, list.PushBack(&a));
  ASSERT_EQ(1, list.PushBack(&b));
  // Still on the head.
  EXPECT_EQ(nullptr, list.RemoveAtCursor());
  ASSERT_EQ(1, list.Rewind());
  ASSERT_EQ(1, list.PushBack(&c));
  EXPECT_EQ(&a, list.RemoveAtCursor());
}

TEST(CursorList, DestructionReleasesRemainingItemsFrontToBackOnce) {
  released.clear();
  {
    CursorList list(RecordRelease);
    list.PushBack(&a);
    list.PushBack(&b);
    list.PushBack(&c);
    list.PushBack(&x);
    // A removed item belongs to the caller again and is not released.
    ASSERT_EQ(1, list.Rewind());
    EXPECT_EQ(&a, list.RemoveAtCursor());
    EXPECT_TRUE(released.empty());
  }
  std::vector<void*> expected = {&b, &c, &x};
  EXPECT_EQ(expected, released);
}

TEST(CursorList, NullReleaseItemFreesOnlyNodes) {
  // Heap items survive the list: ASan reports a double free or leak otherwise.
  int* items[3];
  {
    CursorList list(nullptr);
    for (int i = 0; i < 3; ++i) {
      items[i] = new int(i);
      list.PushBack(items[i]);
    }
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(i, *items[i]);
    delete items[i];
  }
}

TEST(CursorList, ReleaseBlockFreesHeapItemsLeftInTheList) {
  // Run under ASan: a block left unreleased is reported as a leak.
  CursorList list(ReleaseBlock);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(1, list.PushBack(malloc(16)));
  ASSERT_EQ(1, list.Rewind());
  free(list.RemoveAtCursor());
}

}  // namespace
