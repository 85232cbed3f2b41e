// The directories in which the target was found during this run, most
// recent first: a circular doubly linked list with one sentinel node. It
// owns its nodes, each in one block with its directory string; entries are never
// removed while the list lives. Only the scanner's worker changes it.
#ifndef PATCHER_SCANNER_REMEMBERED_DIR_LIST_H
#define PATCHER_SCANNER_REMEMBERED_DIR_LIST_H

#include <stdint.h>

class RememberedDirList {
 public:
  struct Node {
    Node* next;
    Node* previous;
    char* directory;  // null in the sentinel
  };

  RememberedDirList();
  ~RememberedDirList();  // frees every entry, then the sentinel

  int32_t count() const { return count_; }
  // The most recent entry; the sentinel (end()) when the list is empty.
  // Both are null if the sentinel could not be allocated.
  Node* first() const { return sentinel_ ? sentinel_->next : nullptr; }
  Node* end() const { return sentinel_; }

  // The entry whose directory equals `directory` exactly (case counts).
  Node* Find(const char* directory) const;
  // Unlinks `node` and inserts it at the front, keeping its string.
  void MoveToFront(Node* node);
  // Copies `directory` into a new 260-byte block and inserts an entry
  // holding it at the front. Zero when no memory could be had.
  int AddToFront(const char* directory);
  // Frees every entry, from the front; the sentinel stays.
  void Clear();

 private:
  RememberedDirList(const RememberedDirList&) = delete;
  RememberedDirList& operator=(const RememberedDirList&) = delete;
  void LinkAtFront(Node* node);

  Node* sentinel_;
  int32_t count_;
};

#endif  // PATCHER_SCANNER_REMEMBERED_DIR_LIST_H
