#pragma once
// Where the program's log records go: the agent's log in production (the adapter over the agent
// library), memory for a test to read, or nowhere for a run that must leave no trace.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvane {

class LogSink {
  public:
    virtual ~LogSink() = default;
    // One record of message as it stands, never used as a format. Thread-safe; never raises.
    void write(std::string_view message) { record(message, {}); }
    // The record of message followed by more, with no joined copy made first: for a long text
    // behind a short head.
    void write(std::string_view message, std::string_view more) { record(message, more); }

  protected:
    virtual void record(std::string_view message, std::string_view more) = 0;
};

// Keeps every record's message, in order, for a test to read.
class MemoryLogSink final : public LogSink {
  public:
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The kept messages that begin with prefix.
    std::vector<std::string> linesStartingWith(std::string_view prefix) const {
        std::vector<std::string> found = lines();
        std::erase_if(found, [&](const std::string& line) { return !line.starts_with(prefix); });
        return found;
    }

  protected:
    void record(std::string_view message, std::string_view more) override {
        std::string line;
        line.reserve(message.size() + more.size());
        line.append(message).append(more);
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Drops every record.
class DroppingLogSink final : public LogSink {
  protected:
    void record(std::string_view, std::string_view) override {}
};

}  // namespace tallyvane
