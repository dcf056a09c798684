#pragma once
// The one result type of the property-list, file-system and store layers: success, or a failure
// with its description in words for the log.
#include <optional>
#include <string>
#include <utility>

namespace tallyvane {

class Status {
  public:
    Status() = default;  // success
    static Status error(std::string description) { return Status(std::move(description)); }

    bool ok() const { return !description_; }
    explicit operator bool() const { return ok(); }
    // The failure's description; empty on success.
    const std::string& description() const {
        static const std::string none;
        return description_ ? *description_ : none;
    }

  private:
    explicit Status(std::string description) : description_(std::move(description)) {}
    std::optional<std::string> description_;
};

// A value, or the failure that kept it from being made.
template <typename T>
class Result {
  public:
    Result(T&& value) : value_(std::in_place, std::move(value)) {}
    Result(const T& value) : value_(std::in_place, value) {}
    Result(Status failure) : status_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return status_; }

    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }
    T&& operator*() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // The value, or nothing: for callers that only log their own words on failure.
    std::optional<T> value() && { return std::move(value_); }
    friend bool operator==(const Result& result, const T& value) {
        return result.ok() && *result == value;
    }

  private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace tallyvane
