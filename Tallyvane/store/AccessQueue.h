#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tallyvane {

// A labelled queue with the ordering of a concurrent dispatch queue with barriers: a plain
// block sees every barrier submitted before it, and a barrier runs alone, after everything
// submitted before it and before anything submitted after it. Blocks run on the queue's own
// thread one at a time, in submission order, which is one schedule those rules allow.
class AccessQueue {
  public:
    using Block = std::function<void()>;

    explicit AccessQueue(std::string label);
    // Runs every block still queued, then stops the thread.
    ~AccessQueue();
    AccessQueue(const AccessQueue&) = delete;
    AccessQueue& operator=(const AccessQueue&) = delete;

    const std::string& label() const { return label_; }

    // Runs a plain block and returns after it has run. Must not be called from a block.
    void sync(const Block& block);
    // Queues a barrier block and returns at once.
    void asyncBarrier(Block block);
    // Runs a barrier block and returns after it has run. Must not be called from a block.
    void syncBarrier(const Block& block);

  private:
    void enqueue(Block block);
    void runAndWait(const Block& block);
    void worker();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> blocks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tallyvane
