// Threads on which verifications that may block run, so that the network threads never wait for a domain controller.
#include "verify/worker_pool.h"

WorkerPool::WorkerPool(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      jobs_.push_back(std::move(job));
      posted_.notify_one();
      return;
    }
  }
  job();
}

void WorkerPool::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    posted_.notify_all();
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void WorkerPool::work() {
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
