// Jobs that run one after another on threads of their own, so that the thread posting them never waits for what they wait for.
#include "common/job_queue.h"

JobQueue::JobQueue(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

JobQueue::~JobQueue() { stop(); }

void JobQueue::post(std::function<void()> job) {
  if (!offer(job)) job();
}

bool JobQueue::offer(std::function<void()> job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  jobs_.push_back(std::move(job));
  posted_.notify_one();
  return true;
}

void JobQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    posted_.notify_all();
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void JobQueue::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      posted_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and nothing left
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}
