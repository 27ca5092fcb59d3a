// Threads on which verifications that may block run, so that the network threads never wait for a domain controller.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs the job on one of the threads, in the order posted.
  void post(std::function<void()> job);
  // Runs what was posted, then ends the threads; a job posted later runs at once on the caller's thread.
  void stop();

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
