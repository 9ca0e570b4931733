// SyncPool: threads that make file descriptors durable away from the
// interpreter. A receiver's event loop hands it each batch of descriptors
// with a token and learns of finished batches by reading an eventfd, so no
// worker ever takes the interpreter lock: with interpreter threads, each
// fsync cost two lock hand-overs and a wake-up of the loop through a pipe,
// which cost more than the loop's own work per message.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brenvolt {

// One finished batch: its token, 0 or the errno of the first descriptor
// whose fdatasync failed, and the seconds the batch took.
struct SyncDone {
  std::uint64_t token;
  int error;
  double seconds;
};

class SyncPool {
 public:
  // Starts `threads` workers (at least 1) and the eventfd. Returns nullptr
  // with errno set when the eventfd or a thread cannot be made.
  static std::unique_ptr<SyncPool> start(int threads);

  // stop(), then closes the eventfd.
  ~SyncPool();
  SyncPool(const SyncPool&) = delete;
  SyncPool& operator=(const SyncPool&) = delete;

  // The eventfd that becomes readable when finished batches wait in take_done().
  int notify_fd() const { return event_fd_; }

  // Queues a batch; the pool owns `fds` from here on: each is fdatasync'd in
  // order (the first failure skips the rest) and closed, sync or not.
  // Returns false, and closes nothing, once the pool is stopping.
  bool submit(std::uint64_t token, std::vector<int> fds);

  // The batches finished since the last call, in the order they finished;
  // clears the eventfd's count.
  std::vector<SyncDone> take_done();

  // Stops taking batches, lets the workers finish every batch already
  // queued (a sync asked for is never dropped), and joins them.
  void stop();

 private:
  struct Job {
    std::uint64_t token;
    std::vector<int> fds;
  };

  explicit SyncPool(int event_fd) : event_fd_(event_fd) {}
  void work();

  const int event_fd_;
  // Two locks, so that the loop's submit never waits for a worker reporting
  // a finished batch (on a busy machine a preempted holder makes any wait long).
  std::mutex jobs_mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::mutex done_mutex_;
  std::vector<SyncDone> done_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

}  // namespace brenvolt
