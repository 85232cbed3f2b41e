#include "scanner/memory_volume.h"

#include <string.h>

namespace {

const char kSep = platform::kPathSeparator;

std::string Fold(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// "C:\a\b\" and "C:\a\b" name the same node "c:\a\b".
std::string Key(std::string path) {
  while (!path.empty() && path.back() == kSep) path.pop_back();
  return Fold(path);
}

void Fill(platform::FindData* entry, const std::string& name, uint32_t attributes) {
  memset(entry, 0, sizeof *entry);
  entry->attributes = attributes;
  strncpy(entry->name, name.c_str(), sizeof entry->name - 1);
}

struct Listed {
  std::string name;
  uint32_t attributes;
  bool undeliverable;
};

struct MemoryListing {
  std::vector<Listed> entries;
  size_t next;
};

// As the platform does with a name it cannot deliver: the step is skipped,
// and the record holds a garbled directory entry that must not be used.
int Deliver(platform::FindData* entry, const Listed& e) {
  if (e.undeliverable) {
    Fill(entry, "garbled", platform::kAttributeDirectory);
    return platform::kListingSkipped;
  }
  Fill(entry, e.name, e.attributes);
  return platform::kListingEntry;
}

}  // namespace

std::string P(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '/') c = kSep;
  }
  return out;
}

MemoryVolume::MemoryVolume(Threads threads) : threads_(threads) {}
MemoryVolume::~MemoryVolume() {}

MemoryVolume::Node* MemoryVolume::Make(const std::string& written, uint32_t attributes) {
  std::string path = written;
  while (!path.empty() && path.back() == kSep) path.pop_back();
  const std::string key = Fold(path);
  auto found = nodes_.find(key);
  if (found != nodes_.end()) return &found->second;
  const size_t cut = path.find_last_of(kSep);
  if (cut != std::string::npos) {
    Node* parent = Make(path.substr(0, cut), platform::kAttributeDirectory);
    parent->children.push_back(key);
  }
  Node& node = nodes_[key];
  node.name = cut == std::string::npos ? path : path.substr(cut + 1);
  node.attributes = attributes;
  node.unreadable = false;
  node.undeliverable = false;
  return &node;
}

void MemoryVolume::AddDrive(const std::string& drive, unsigned type) {
  drives_.push_back(std::make_pair(drive + kSep, type));
  Make(drive, platform::kAttributeDirectory);
}

void MemoryVolume::AddDirectory(const std::string& path, uint32_t attributes) {
  Make(P(path), attributes);
}

void MemoryVolume::AddFile(const std::string& path) { Make(P(path), platform::kAttributeNormal); }

void MemoryVolume::Remove(const std::string& path) {
  const std::string key = Key(P(path));
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    const std::string& k = it->first;
    if (k == key || (k.size() > key.size() && k.compare(0, key.size(), key) == 0 &&
                     k[key.size()] == kSep))
      it = nodes_.erase(it);
    else
      ++it;
  }
  for (auto& n : nodes_) {
    auto& c = n.second.children;
    for (size_t i = 0; i < c.size(); ++i) {
      if (c[i] == key) c.erase(c.begin() + i--);
    }
  }
}

void MemoryVolume::SetUnreadable(const std::string& path) {
  nodes_[Key(P(path))].unreadable = true;
}

void MemoryVolume::SetUndeliverable(const std::string& path) {
  nodes_[Key(P(path))].undeliverable = true;
}

void MemoryVolume::Record(const std::string& line) {
  log_lock_.Enter();
  log_.push_back(line);
  log_lock_.Leave();
}

std::vector<std::string> MemoryVolume::Log() {
  log_lock_.Enter();
  std::vector<std::string> copy = log_;
  log_lock_.Leave();
  return copy;
}

void MemoryVolume::ClearLog() {
  log_lock_.Enter();
  log_.clear();
  log_lock_.Leave();
}

std::vector<std::string> MemoryVolume::Calls(const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : Log()) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  }
  return out;
}

void MemoryVolume::Step() {
  const int step = steps_.fetch_add(1);
  if (before_step) before_step(step);
}

void MemoryVolume::NotePath(const char* path) {
  size_t length = strlen(path);
  size_t seen = longest_path_.load();
  while (length > seen && !longest_path_.compare_exchange_weak(seen, length)) {
  }
}

void MemoryVolume::GetDriveList(char* buffer, int size) {
  Record("drives");
  Step();
  std::string list;
  for (const auto& d : drives_) list += d.first + '\0';
  list += '\0';
  if (static_cast<int>(list.size()) > size) list = std::string(2, '\0');
  memcpy(buffer, list.data(), list.size());
}

unsigned MemoryVolume::DriveType(const char* root) {
  Record(std::string("type ") + root);
  Step();
  for (const auto& d : drives_) {
    if (d.first == root) return d.second;
  }
  return platform::kDriveNoRootDir;
}

int MemoryVolume::Probe(const char* path, platform::FindData* entry) {
  Record(std::string("probe ") + path);
  NotePath(path);
  probes_.fetch_add(1);
  Step();
  while (hold_probes.load()) platform::SleepMilliseconds(1);
  auto found = nodes_.find(Key(path));
  if (found == nodes_.end()) return 0;
  Fill(entry, found->second.name, found->second.attributes);
  return !(found->second.attributes & platform::kAttributeDirectory);  // as the platform's
}

platform::Listing* MemoryVolume::OpenListing(const char* pattern, platform::FindData* entry,
                                             int* first) {
  Record(std::string("open ") + pattern);
  NotePath(pattern);
  Step();
  std::string dir = pattern;
  if (dir.size() < 2 || dir.back() != '*' || dir[dir.size() - 2] != kSep) return nullptr;
  dir.pop_back();
  MemoryListing* listing = new MemoryListing;
  listing->next = 0;
  auto found = nodes_.find(Key(dir));
  const bool is_root = Key(dir).find(kSep) == std::string::npos;
  if (found != nodes_.end() && !(endless_ && found->second.children.empty())) {
    const Node& node = found->second;
    if (node.unreadable || !(node.attributes & platform::kAttributeDirectory)) {
      delete listing;
      return nullptr;
    }
    if (!is_root) {
      listing->entries.push_back(Listed{".", platform::kAttributeDirectory, false});
      listing->entries.push_back(Listed{"..", platform::kAttributeDirectory, false});
    }
    for (const std::string& key : node.children) {
      const Node& child = nodes_.at(key);
      listing->entries.push_back(Listed{child.name, child.attributes, child.undeliverable});
    }
  } else if (endless_) {
    if (!is_root) {
      listing->entries.push_back(Listed{".", platform::kAttributeDirectory, false});
      listing->entries.push_back(Listed{"..", platform::kAttributeDirectory, false});
    }
    for (int i = 0; i < 40; ++i) {
      listing->entries.push_back(
          Listed{"d" + std::to_string(i), platform::kAttributeDirectory, false});
    }
  } else {
    delete listing;
    return nullptr;
  }
  if (listing->entries.empty()) {
    delete listing;
    return nullptr;
  }
  *first = Deliver(entry, listing->entries[0]);
  listing->next = 1;
  open_listings_.fetch_add(1);
  return reinterpret_cast<platform::Listing*>(listing);
}

int MemoryVolume::NextEntry(platform::Listing* handle, platform::FindData* entry) {
  Record("next");
  Step();
  MemoryListing* listing = reinterpret_cast<MemoryListing*>(handle);
  if (listing->next >= listing->entries.size()) return platform::kListingEnd;
  return Deliver(entry, listing->entries[listing->next++]);
}

void MemoryVolume::CloseListing(platform::Listing* handle) {
  Record("close");
  open_listings_.fetch_sub(1);
  delete reinterpret_cast<MemoryListing*>(handle);
}

void MemoryVolume::PrepareWorker() {
  Record("prepare");
  if (threads_ == kRealThreads) ScanSystem::PrepareWorker();
}

platform::ThreadHandle MemoryVolume::StartThread(platform::ThreadProc proc, void* argument,
                                                 uint32_t* thread_id) {
  Record("start");
  if (threads_ == kNoThreads) return nullptr;
  threads_started_.fetch_add(1);
  if (threads_ == kRealThreads) {
    // One worker at a time: the scanner waits for the last before it starts
    // the next.
    worker_proc_ = proc;
    worker_argument_ = argument;
    return ScanSystem::StartThread(&MemoryVolume::Trampoline, this, thread_id);
  }
  *thread_id = 7;
  proc(argument);
  return &inline_thread_;
}

uint32_t MemoryVolume::Trampoline(void* v) {
  MemoryVolume* volume = static_cast<MemoryVolume*>(v);
  const uint32_t code = volume->worker_proc_(volume->worker_argument_);
  volume->workers_returned_.fetch_add(1);
  return code;
}

int MemoryVolume::ThreadHasEnded(platform::ThreadHandle thread, int* ended) {
  if (threads_ == kRealThreads) return ScanSystem::ThreadHasEnded(thread, ended);
  if (thread != &inline_thread_) return 0;
  *ended = 1;
  return 1;
}

void MemoryVolume::ReleaseThread(platform::ThreadHandle thread) {
  Record("release");
  threads_released_.fetch_add(1);
  if (threads_ == kRealThreads) ScanSystem::ReleaseThread(thread);
}

void MemoryVolume::Sleep(uint32_t milliseconds) {
  Record("sleep " + std::to_string(milliseconds));
  if (threads_ == kRealThreads) ScanSystem::Sleep(milliseconds);
}
