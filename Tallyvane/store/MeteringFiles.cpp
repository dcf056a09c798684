#include "store/MeteringFiles.h"

#include <lvornutils/FileUtils.h>
#include <lvornutils/Log.h>

#include <array>
#include <string_view>

#include "plist/AppName.h"
#include "plist/PlistFile.h"

namespace tallyvane::store {

namespace {

using plist::Dict;
using plist::Value;

// The usage keys a successful report clears, in the order they are removed.
constexpr std::array<std::string_view, 5> kUsageKeys = {
    "TOTAL_RUN_COUNT", "TOTAL_RUN_TIME", "LAST_USED", "LAUNCH_TIME", "RUNNING_NO_OF_DAYS"};

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The launch-data file's records, only when every top-level value is a dictionary: the
// start-up reading and the reset take the file whole or not at all.
Dict* asRecords(Value& root) {
    Dict* records = plist::asDict(root);
    if (!records) return nullptr;
    for (const auto& [id, value] : *records)
        if (!plist::asDict(value)) return nullptr;
    return records;
}

std::optional<Dict> readDict(const std::string& path) {
    auto root = plist::readFile(path);
    if (!root) return std::nullopt;
    Dict* dict = plist::asDict(*root);
    if (!dict) return std::nullopt;
    return std::move(*dict);
}

// Backslashes and quotes escaped, so that the rendered error reads back unambiguously.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A number's text as the lookup hands it out: integers in plain decimal, booleans as 1 or 0.
std::optional<std::string> numberText(const Value& value) {
    if (const auto* b = std::get_if<bool>(&value.v)) return std::string(*b ? "1" : "0");
    if (const auto* i = std::get_if<std::int64_t>(&value.v)) return std::to_string(*i);
    if (std::holds_alternative<double>(value.v)) return plist::describe(value);
    return std::nullopt;
}

}  // namespace

void createPlistIfNotExists(const std::string& path) {
    if (FileUtils().isFileExist(path)) {
        VornLog("createPlistIfNotExists: Plist file already exists at " + path);
        return;
    }
    VornLog("createPlistIfNotExists: Plist file not found, creating a new one...");
    auto xml = plist::toXml(Value(Dict{}));
    if (!xml) {
        VornLog("createPlistIfNotExists: Failed to serialize initial plist data");
        return;
    }
    std::string folder = directoryOf(path);
    if (!FileUtils().isFileExist(folder)) FileUtils().createDirectoryAtPath(folder, 777);
    plist::Error error;
    if (!plist::writeInPlace(path, *xml, &error)) {
        VornLog("createPlistIfNotExists: Failed to create plist file: " + error.description);
        return;
    }
    VornLog("createPlistIfNotExists: Plist file created successfully at " + path);
}

std::string PlistError::text() const {
    std::string name = kind == Case::fileNotFound ? "fileNotFound" : "failedToCreateFile";
    return name + "(\"" + escaped(message) + "\")";
}

std::optional<PlistError> updatePostDataPlist(const std::string& path, std::int64_t now) {
    if (FileUtils().isFileExist(path)) {
        VornLog("updatePostDataPlist: Plist file exists at " + path +
                ", proceeding with updates...");
        return std::nullopt;
    }
    VornLog("updatePostDataPlist: Plist file not found at " + path);
    createPlistIfNotExists(path);
    Dict data{{"AddedTime", Value(std::to_string(now))}};
    auto xml = plist::toXml(Value(std::move(data)));
    if (!xml || !plist::writeAtomically(path, *xml)) {
        return PlistError{PlistError::Case::failedToCreateFile,
                          "updatePostDataPlist: Failed to create plist file at " + path};
    }
    VornLog("updatePostDataPlist: Plist file created successfully at " + path);
    return PlistError{PlistError::Case::fileNotFound,
                      "updatePostDataPlist: Plist file was missing and recreated at " + path};
}

std::optional<RuleData> readRuleData(const std::string& launchDataPath) {
    auto root = plist::readFile(launchDataPath);
    const Dict* records = root ? asRecords(*root) : nullptr;
    if (!records) return std::nullopt;
    RuleData rules;
    for (const auto& [id, value] : *records) {
        const Dict& record = *plist::asDict(value);
        if (record.empty()) continue;
        const std::string* fileName = plist::stringFor(record, "FileName");
        if (!fileName) continue;
        std::string name = applicationName(*fileName);
        rules.monitoredApps.push_back(name);
        if (const std::string* appId = plist::stringFor(record, "AppDefinitionId")) {
            rules.appRuledata.insert_or_assign(std::move(name), Value(*appId));
        }
    }
    return rules;
}

void saveAppRuleData(const plist::Dict& appRuledata, const std::string& ruleMappingPath) {
    VornLog("Inside saveAppRuleData");
    plist::Error error;
    auto xml = plist::toXml(Value(appRuledata), &error);
    if (!xml || !plist::writeInPlace(ruleMappingPath, *xml, &error)) {
        VornLog("saveAppRuleData: Error saving app rule data: " + error.description);
        return;
    }
    VornLog("saveAppRuleData: AppRule is written successfully");
}

UsageRecords loadAppLaunchDataToUpdate(const std::string& launchDataPath) {
    UsageRecords table;
    auto records = readDict(launchDataPath);
    if (!records) {
        VornPrint("Failed to read plist at " + launchDataPath);
        return table;
    }
    for (auto& [id, value] : *records) {
        Dict* record = plist::asDict(value);
        if (!record) continue;
        std::string name;
        if (const std::string* productName = plist::stringFor(*record, "PRODUCT_NAME")) {
            name = *productName;
        } else if (const std::string* fileName = plist::stringFor(*record, "FileName")) {
            name = applicationName(*fileName);
        } else {
            continue;
        }
        table.insert_or_assign(std::move(name), std::move(*record));
    }
    return table;
}

void saveAppsData(const std::string& launchDataPath, const std::string& appDefinitionId,
                  const UsageRecord& record) {
    VornLog("Inside saveAppsData");
    auto records = readDict(launchDataPath);
    if (!records) {
        VornLog("saveAppsData: Failed to load PLIST data.");
        return;
    }
    auto entry = records->find(appDefinitionId);
    if (entry == records->end()) {
        VornLog("saveAppsData: App data not found for AppDefinitionId " + appDefinitionId + ".");
        return;
    }
    entry->second = Value(record);
    VornLog(" plistData[appDefinitionIDString] = newAppData   " + plist::describe(record));
    plist::Error error;
    auto xml = plist::toXml(Value(std::move(*records)), &error);
    if (!xml || !plist::writeInPlace(launchDataPath, *xml, &error)) {
        VornLog("saveAppsData: Error saving apps data: " + error.description);
        return;
    }
    VornLog("saveAppsData: Apps data saved for AppDefinitionId " + appDefinitionId);
}

void updateAddedTime(const std::string& postDataPath, std::int64_t now) {
    if (!FileUtils().isFileExist(postDataPath)) {
        VornPrint("Plist file not found at path: " + postDataPath);
        return;
    }
    auto data = readDict(postDataPath);
    if (!data) {
        VornPrint("Failed to read plist contents.");
        return;
    }
    std::string nowText = std::to_string(now);
    data->insert_or_assign("AddedTime", Value(nowText));
    auto xml = plist::toXml(Value(std::move(*data)));
    if (!xml || !plist::writeAtomically(postDataPath, *xml)) {
        VornPrint("Failed to write updated plist.");
        return;
    }
    VornPrint("Successfully updated AddedTime to " + nowText);
}

void resetSoftwareMeteringRules(const std::string& launchDataPath) {
    auto bytes = plist::readBytes(launchDataPath);
    if (!bytes) {
        VornPrint("Unable to read plist data.");
        return;
    }
    plist::Error error;
    auto root = plist::parse(*bytes, &error);
    if (!root) {
        VornPrint("Error processing plist: " + error.description);
        return;
    }
    Dict* records = asRecords(*root);
    if (!records) return;
    for (auto& [id, value] : *records) {
        Dict* record = plist::asDict(value);
        for (std::string_view key : kUsageKeys) {
            if (auto it = record->find(key); it != record->end()) record->erase(it);
        }
    }
    auto xml = plist::toXml(std::move(*root), &error);
    if (!xml) {
        VornPrint("Error processing plist: " + error.description);
        return;
    }
    if (!plist::writeInPlace(launchDataPath, *xml, &error)) {
        VornPrint("Error processing plist: " + error.description);
        return;
    }
    VornPrint("Plist updated successfully.");
}

std::optional<std::string> getAppDefinitionId(const std::string& ruleMappingPath,
                                              const std::string& name) {
    VornLog("Inside getAppDefinitionId");
    std::optional<std::string> result;
    plist::Error error;
    auto root = plist::readFile(ruleMappingPath, &error);
    if (!root) {
        VornLog("getAppDefinitionId: Error loading or parsing app rule plist: " +
                error.description);
    } else if (const Dict* mapping = plist::asDict(*root); !mapping) {
        VornLog("getAppDefinitionId: Failed to parse plist as dictionary");
    } else if (auto it = mapping->find(name); it != mapping->end()) {
        if (auto text = numberText(it->second)) {
            result = std::move(text);
        } else if (const std::string* s = plist::asString(it->second)) {
            result = *s;
        }
    }
    VornLog("getAppDefinitionId: AppDefinitionId for " + name + " is " +
            (result ? *result : std::string("Not found")));
    return result;
}

}  // namespace tallyvane::store
