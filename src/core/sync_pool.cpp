#include "sync_pool.h"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

namespace brenvolt {

std::unique_ptr<SyncPool> SyncPool::start(int threads) {
  const int event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event_fd < 0) return nullptr;
  std::unique_ptr<SyncPool> pool(new SyncPool(event_fd));
  try {
    for (int i = 0; i < (threads < 1 ? 1 : threads); ++i) {
      pool->workers_.emplace_back([raw = pool.get()] { raw->work(); });
    }
  } catch (const std::system_error& failure) {
    pool.reset();  // joins the workers already started
    errno = failure.code().value();
    return nullptr;
  }
  return pool;
}

SyncPool::~SyncPool() {
  stop();
  close(event_fd_);
}

void SyncPool::stop() {
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

bool SyncPool::submit(std::uint64_t token, std::vector<int> fds) {
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    if (stopping_) return false;
    jobs_.push_back(Job{token, std::move(fds)});
  }
  wake_.notify_one();
  return true;
}

std::vector<SyncDone> SyncPool::take_done() {
  std::uint64_t count = 0;
  // Non-blocking: EAGAIN when nothing was signalled since the last read.
  [[maybe_unused]] const ssize_t read_size = read(event_fd_, &count, sizeof count);
  std::lock_guard<std::mutex> lock(done_mutex_);
  return std::exchange(done_, {});
}

void SyncPool::work() {
  // A batch thread: waking it does not preempt the event loop's thread, which
  // would otherwise wait on its own core while this one starts the fdatasync.
  // (Best effort: without it the pool works the same, only slower.)
  sched_param parameters{};
  parameters.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(jobs_mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, nothing left to take
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    const auto started = std::chrono::steady_clock::now();
    int error = 0;
    for (const int fd : job.fds) {
      if (error == 0 && fdatasync(fd) != 0) error = errno;
      close(fd);
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    {
      std::lock_guard<std::mutex> lock(done_mutex_);
      done_.push_back(SyncDone{job.token, error, seconds.count()});
    }
    const std::uint64_t one = 1;
    // The count only wakes the loop; a full counter (never reached) still leaves it readable.
    [[maybe_unused]] const ssize_t written = write(event_fd_, &one, sizeof one);
  }
}

}  // namespace brenvolt
