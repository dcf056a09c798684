#include "store/AccessQueue.h"

#include <exception>

namespace tallyvane {

AccessQueue::AccessQueue(std::string label) : label_(std::move(label)) {
    // Started last, once every member the worker touches exists.
    thread_ = std::thread([this] { worker(); });
}

AccessQueue::~AccessQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void AccessQueue::sync(const Block& block) {
    runAndWait(block);
}

void AccessQueue::asyncBarrier(Block block) {
    enqueue(std::move(block));
}

void AccessQueue::syncBarrier(const Block& block) {
    runAndWait(block);
}

void AccessQueue::enqueue(Block block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake_.notify_one();
}

void AccessQueue::runAndWait(const Block& block) {
    // One worker runs blocks in submission order, so a plain block and a barrier wait the same
    // way: for everything queued before them.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::exception_ptr failure;
    enqueue([&] {
        try {
            block();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
    if (failure) std::rethrow_exception(failure);
}

void AccessQueue::worker() {
    for (;;) {
        Block block;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            // Drain before stopping: queued writes must not be lost.
            if (blocks_.empty()) return;
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        try {
            block();
        } catch (...) {
            // An asynchronous block has nobody to report to; the queue keeps serving.
        }
    }
}

}  // namespace tallyvane
