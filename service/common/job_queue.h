// Jobs that run one after another on threads of their own, so that the thread posting them never waits for what they wait for.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class JobQueue {
 public:
  explicit JobQueue(unsigned threads);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Runs the job on one of the threads, in the order posted.
  void post(std::function<void()> job);
  // The same, but once stopping the job is not run, and the answer is false.
  bool offer(std::function<void()> job);
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
