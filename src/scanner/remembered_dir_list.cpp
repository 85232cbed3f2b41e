#include "scanner/remembered_dir_list.h"

#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

RememberedDirList::RememberedDirList()
    : sentinel_(static_cast<Node*>(malloc(sizeof(Node)))), count_(0) {
  // Without a sentinel the list stays empty for good: nothing is remembered.
  if (sentinel_) {
    sentinel_->next = sentinel_;
    sentinel_->previous = sentinel_;
    sentinel_->directory = nullptr;
  }
}

RememberedDirList::~RememberedDirList() {
  Clear();
  free(sentinel_);
  sentinel_ = nullptr;
  count_ = 0;
}

RememberedDirList::Node* RememberedDirList::Find(const char* directory) const {
  if (!sentinel_) return nullptr;
  for (Node* node = sentinel_->next; node != sentinel_; node = node->next) {
    if (strcmp(node->directory, directory) == 0) return node;
  }
  return nullptr;
}

void RememberedDirList::LinkAtFront(Node* node) {
  node->previous = sentinel_;
  node->next = sentinel_->next;
  sentinel_->next->previous = node;
  sentinel_->next = node;
}

void RememberedDirList::MoveToFront(Node* node) {
  node->previous->next = node->next;
  node->next->previous = node->previous;
  LinkAtFront(node);
}

int RememberedDirList::AddToFront(const char* directory) {
  if (!sentinel_) return 0;
  const size_t length = strlen(directory);
  if (length >= static_cast<size_t>(platform::kPathBuffer)) return 0;
  // The node and its directory in one block.
  Node* node = static_cast<Node*>(malloc(sizeof(Node) + length + 1));
  if (!node) return 0;
  node->directory = reinterpret_cast<char*>(node + 1);
  memcpy(node->directory, directory, length + 1);
  LinkAtFront(node);
  ++count_;
  return 1;
}

void RememberedDirList::Clear() {
  if (!sentinel_) return;
  while (sentinel_->next != sentinel_) {
    Node* node = sentinel_->next;
    sentinel_->next = node->next;
    node->next->previous = sentinel_;
    free(node);
    --count_;
  }
}
