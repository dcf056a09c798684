#pragma once
// One metered application's record: the management agent's rule keys, the product description
// and the usage figures, each key named once here. Keys the program does not know are carried
// along untouched.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plist/Value.h"

namespace tallyvane {

namespace key {
inline constexpr std::string_view kFileName = "FileName";
inline constexpr std::string_view kAppDefinitionId = "AppDefinitionId";
inline constexpr std::string_view kProductName = "PRODUCT_NAME";
inline constexpr std::string_view kProductVersion = "PRODUCT_VERSION";
inline constexpr std::string_view kFileVersion = "FILE_VERSION";
inline constexpr std::string_view kLaunchTime = "LAUNCH_TIME";
inline constexpr std::string_view kTotalRunCount = "TOTAL_RUN_COUNT";
inline constexpr std::string_view kTotalRunTime = "TOTAL_RUN_TIME";
inline constexpr std::string_view kLastUsed = "LAST_USED";
inline constexpr std::string_view kRunningNoOfDays = "RUNNING_NO_OF_DAYS";
}  // namespace key

namespace detail {
std::optional<double> exactReal(const plist::Dict& fields, std::string_view key);
std::optional<std::string> tableName(const plist::Dict& fields);
}  // namespace detail

// The reads of a record, written once for the record and for a view of one. Self has fields().
template <typename Self>
class RecordReads {
  public:
    // The three ways a figure is read. An integer: a number whose value is whole and within the
    // signed 64-bit range (60.0 reads as 60). An exact real: a number that a double holds
    // exactly (an integer beyond 2^53 does not). Any number: whatever number is stored, as a
    // double. Anything else is absent, and the reader applies its own default.
    std::optional<std::int64_t> integer(std::string_view key) const {
        return plist::integerFor(all(), key);
    }
    std::optional<double> exactReal(std::string_view key) const {
        return detail::exactReal(all(), key);
    }
    std::optional<double> anyNumber(std::string_view key) const {
        return plist::realFor(all(), key);
    }
    const plist::Text* string(std::string_view key) const { return plist::stringFor(all(), key); }

    // The agent's rule keys.
    const plist::Text* fileName() const { return string(key::kFileName); }
    const plist::Text* appDefinitionId() const { return string(key::kAppDefinitionId); }
    // The name the usage table keeps the record under: PRODUCT_NAME when it is a string, else
    // FileName with every ".app" removed; nothing without either.
    std::optional<std::string> tableName() const { return detail::tableName(all()); }

    // The figures as the monitor reads them: integers.
    std::optional<std::int64_t> launchTime() const { return integer(key::kLaunchTime); }
    std::optional<std::int64_t> totalRunCount() const { return integer(key::kTotalRunCount); }
    std::optional<std::int64_t> totalRunTime() const { return integer(key::kTotalRunTime); }
    std::optional<std::int64_t> lastUsed() const { return integer(key::kLastUsed); }
    std::optional<std::int64_t> runningNoOfDays() const { return integer(key::kRunningNoOfDays); }

    // "["KEY": value, ...]" for log lines.
    std::string describe() const { return plist::describe(all()); }

  private:
    const plist::Dict& all() const { return static_cast<const Self&>(*this).fields(); }
};

// A record read where it lies, without a copy.
class UsageRecordView : public RecordReads<UsageRecordView> {
  public:
    explicit UsageRecordView(const plist::Dict& fields) : fields_(&fields) {}
    const plist::Dict& fields() const { return *fields_; }

  private:
    const plist::Dict* fields_;
};

// A record of its own, as the usage table holds it and the rules change it.
class UsageRecord : public RecordReads<UsageRecord> {
  public:
    // The usage figures a successful report clears, in the order they are removed.
    static constexpr std::array<std::string_view, 5> kUsageKeys = {
        key::kTotalRunCount, key::kTotalRunTime, key::kLastUsed, key::kLaunchTime,
        key::kRunningNoOfDays};

    UsageRecord() = default;
    UsageRecord(plist::Dict fields) : fields_(std::move(fields)) {}

    const plist::Dict& fields() const& { return fields_; }
    plist::Dict fields() && { return std::move(fields_); }
    bool empty() const { return fields_.empty(); }
    bool operator==(const UsageRecord& other) const { return fields_ == other.fields_; }

    void set(std::string_view key, plist::Value value);
    // Removes the usage figures, leaving the rule keys, the product and unknown keys.
    void clearUsage();
    void erase(std::string_view key);

  private:
    plist::Dict fields_;
};

// Application name to usage record.
using UsageRecords = std::map<std::string, UsageRecord, std::less<>>;

// For log lines: ["a", "b"], names in order, each in double quotes, separated by a comma and a
// blank; and the table as ["name": ["KEY": value, ...], ...].
std::string renderList(const std::vector<std::string>& names);
std::string renderTable(const UsageRecords& table);

}  // namespace tallyvane
