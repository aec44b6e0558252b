// VisitedPool: the visited marks of graph walks, lent out one list per walk.
//
// A list holds one 16-bit tag per node; a walk marks a node by writing the
// list's current epoch into its tag, so starting a walk costs no clearing
// except once every 65535 walks, when the epoch wraps. Lists are kept for
// reuse; a walk that finds none free makes a new one.
//
// Thread safety: acquire() and the release at the end of a lease take a
// mutex, so any number of threads may walk the same graph at once, each
// with its own list. A lease itself belongs to one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tamsel {

class VisitedPool {
  struct List {
    std::vector<std::uint16_t> tags;
    std::uint16_t epoch = 0;
  };

 public:
  class Lease {
   public:
    Lease(VisitedPool& pool, std::unique_ptr<List> list) : pool_(pool), list_(std::move(list)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.give_back(std::move(list_)); }

    // Marks the node visited; true if it was not before.
    bool visit(std::uint32_t node) {
      std::uint16_t& tag = list_->tags[node];
      if (tag == list_->epoch) return false;
      tag = list_->epoch;
      return true;
    }
    bool visited(std::uint32_t node) const { return list_->tags[node] == list_->epoch; }

   private:
    VisitedPool& pool_;
    std::unique_ptr<List> list_;
  };

  // A list with no node marked, covering nodes 0 .. nodes - 1.
  Lease acquire(std::size_t nodes) {
    std::unique_ptr<List> list;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        list = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!list) list = std::make_unique<List>();
    if (list->tags.size() < nodes) list->tags.resize(nodes, 0);
    if (++list->epoch == 0) {
      std::fill(list->tags.begin(), list->tags.end(), 0);
      list->epoch = 1;
    }
    return Lease(*this, std::move(list));
  }

  std::size_t memory_bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& list : free_) bytes += list->tags.capacity() * sizeof(std::uint16_t);
    return bytes;
  }

 private:
  void give_back(std::unique_ptr<List> list) {
    if (!list) return;
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      free_.push_back(std::move(list));
    } catch (...) {
      // No room to keep it: the list is simply freed.
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<List>> free_;
};

}  // namespace tamsel
