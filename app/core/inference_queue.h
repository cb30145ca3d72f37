// One worker thread running jobs one at a time in the order they were posted, so the engine
// never sees two calls at once. Jobs report back to the GUI thread through queued calls.
#ifndef ORVANE_APP_INFERENCE_QUEUE_H
#define ORVANE_APP_INFERENCE_QUEUE_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class InferenceQueue {
 public:
  InferenceQueue();
  // Lets the running job end, drops the jobs still waiting and joins the thread.
  ~InferenceQueue();
  InferenceQueue(const InferenceQueue&) = delete;
  InferenceQueue& operator=(const InferenceQueue&) = delete;

  void post(std::function<void()> job);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;  // started last, once the fields it reads exist
};

#endif
