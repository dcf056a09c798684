#include "store/MeteringFiles.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "plist/Plist.h"
#include "plist/XmlWriter.h"
#include "usage/AppName.h"
#include "usage/UsageRules.h"

namespace tallyvane::store {

namespace {

using plist::Dict;
using plist::Value;

// The launch-data file's records, only when every top-level value is a dictionary: the
// start-up reading and the reset take the file whole or not at all.
const Dict* asRecords(const Value& root) {
    const Dict* records = plist::asDict(root);
    if (!records) return nullptr;
    for (const auto& [id, value] : *records)
        if (!plist::asDict(value)) return nullptr;
    return records;
}

Dict* asRecords(Value& root) {
    return const_cast<Dict*>(asRecords(std::as_const(root)));
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
    if (const auto* big = std::get_if<plist::UnreadInteger>(&value.v)) return big->text.str();
    return std::nullopt;
}

}  // namespace

void MeteringFiles::createPlistIfNotExists(const std::string& path) {
    const Locked locked(*this, path);
    if (files_.exists(path)) {
        log_.write("createPlistIfNotExists: Plist file already exists at " + path);
        return;
    }
    log_.write("createPlistIfNotExists: Plist file not found, creating a new one...");
    const std::string folder = directoryOf(path);
    // At most the data folder and its SoftwareMetering: nothing above the data folder is made.
    if (!files_.exists(folder) && files_.exists(directoryOf(directoryOf(folder))))
        (void)files_.createDirectory(folder, 777);
    Status written = write(path, Value(Dict{}), Write::InPlace);
    if (!written) {
        log_.write("createPlistIfNotExists: Failed to create plist file: " + written.description());
        return;
    }
    log_.write("createPlistIfNotExists: Plist file created successfully at " + path);
}

std::string PlistError::text() const {
    std::string name = kind == Case::fileNotFound ? "fileNotFound" : "failedToCreateFile";
    return name + "(\"" + escaped(message) + "\")";
}

std::optional<PlistError> MeteringFiles::updatePostDataPlist(const std::string& path,
                                                             std::int64_t now) {
    if (files_.exists(path)) {
        log_.write("updatePostDataPlist: Plist file exists at " + path +
                   ", proceeding with updates...");
        return std::nullopt;
    }
    log_.write("updatePostDataPlist: Plist file not found at " + path);
    createPlistIfNotExists(path);
    Dict data{{"AddedTime", Value(std::to_string(now))}};
    if (!write(path, Value(std::move(data)), Write::Atomically)) {
        return PlistError{PlistError::Case::failedToCreateFile,
                          "updatePostDataPlist: Failed to create plist file at " + path};
    }
    log_.write("updatePostDataPlist: Plist file created successfully at " + path);
    return PlistError{PlistError::Case::fileNotFound,
                      "updatePostDataPlist: Plist file was missing and recreated at " + path};
}

std::optional<RuleData> MeteringFiles::readRuleData(const std::string& launchDataPath) {
    auto root = view(launchDataPath);
    const Dict* records = root ? asRecords(**root) : nullptr;
    if (!records) return std::nullopt;
    RuleData rules;
    // Names come in the order of their ids, not their own: the mapping is sorted once, and of
    // two records of one name the later id's stays.
    std::vector<Dict::value_type> mapping;
    mapping.reserve(records->size());
    for (const auto& [id, value] : *records) {
        const UsageRecordView record(*plist::asDict(value));
        if (record.fields().empty()) continue;
        const plist::Text* fileName = record.fileName();
        if (!fileName) continue;
        std::string name = applicationName(*fileName);
        rules.monitoredApps.push_back(name);
        if (const plist::Text* appId = record.appDefinitionId())
            mapping.emplace_back(std::move(name), Value(*appId));
    }
    rules.appRuledata = Dict::fromEntries(std::move(mapping));
    return rules;
}

void MeteringFiles::saveAppRuleData(const plist::Dict& appRuledata,
                                    const std::string& ruleMappingPath) {
    log_.write("Inside saveAppRuleData");
    Status written = write(ruleMappingPath, Value(appRuledata), Write::InPlace);
    if (!written) {
        log_.write("saveAppRuleData: Error saving app rule data: " + written.description());
        return;
    }
    log_.write("saveAppRuleData: AppRule is written successfully");
}

UsageRecords MeteringFiles::loadAppLaunchDataToUpdate(const std::string& launchDataPath,
                                                      const std::vector<std::string>* only) {
    UsageRecords table;
    DocumentCache::Shared document;
    const Dict* records = viewDict(launchDataPath, document);
    if (!records) {
        printed_.write("Failed to read plist at " + launchDataPath);
        return table;
    }
    for (const auto& [id, value] : *records) {
        const Dict* fields = plist::asDict(value);
        if (!fields) continue;
        const UsageRecordView view(*fields);
        auto name = view.tableName();
        if (!name || (only && !std::binary_search(only->begin(), only->end(), *name))) continue;
        table.insert_or_assign(std::move(*name), UsageRecord(*fields));
    }
    return table;
}

std::optional<UsageRecord> MeteringFiles::saveAppsData(const std::string& launchDataPath,
                                                       const std::string& appDefinitionId,
                                                       const UsageRecord& record,
                                                       const RecordChange& change) {
    return save(launchDataPath, appDefinitionId, record, &change);
}

std::optional<UsageRecord> MeteringFiles::save(const std::string& launchDataPath,
                                               const std::string& appDefinitionId,
                                               const UsageRecord& record,
                                               const RecordChange* change) {
    log_.write("Inside saveAppsData");
    const Locked locked(*this, launchDataPath);
    auto records = readDict(launchDataPath);
    if (!records) {
        log_.write("saveAppsData: Failed to load PLIST data.");
        return std::nullopt;
    }
    auto entry = records->find(appDefinitionId);
    if (entry == records->end()) {
        log_.write("saveAppsData: App data not found for AppDefinitionId " + appDefinitionId + ".");
        return std::nullopt;
    }
    std::optional<UsageRecord> merged;
    const plist::Dict* held = plist::asDict(entry->second);
    if (change && (!held || *held != change->before.fields())) {
        // Another of our processes wrote this record since it was read: its figures stand.
        merged.emplace(held ? *held : plist::Dict{});
        const bool changed = change->change.apply(*merged);
        log_.write("saveAppsData: the record for AppDefinitionId " + appDefinitionId +
                   " changed since it was read; " +
                   (changed ? "this change is made on the record as it stands"
                            : "this change does not apply to it, the file is left as it is"));
        if (!changed) return merged;
    }
    const UsageRecord& written = merged ? *merged : record;
    entry->second = Value(written.fields());
    log_.write(" plistData[appDefinitionIDString] = newAppData   " + written.describe());
    Status status = write(launchDataPath, Value(std::move(*records)), Write::InPlace);
    if (!status) {
        log_.write("saveAppsData: Error saving apps data: " + status.description());
        return merged;
    }
    log_.write("saveAppsData: Apps data saved for AppDefinitionId " + appDefinitionId);
    return merged;
}

void MeteringFiles::updateAddedTime(const std::string& postDataPath, std::int64_t now) {
    const Locked locked(*this, postDataPath);
    if (!files_.exists(postDataPath)) {
        printed_.write("Plist file not found at path: " + postDataPath);
        return;
    }
    auto data = readDict(postDataPath);
    if (!data) {
        printed_.write("Failed to read plist contents.");
        return;
    }
    const std::string nowText = std::to_string(now);
    data->insert_or_assign("AddedTime", Value(nowText));
    if (!write(postDataPath, Value(std::move(*data)), Write::Atomically)) {
        printed_.write("Failed to write updated plist.");
        return;
    }
    printed_.write("Successfully updated AddedTime to " + nowText);
}

void MeteringFiles::reset(const std::string& launchDataPath, const plist::Dict* reported,
                          DocumentCache::Shared* reportedDocument) {
    const Locked locked(*this, launchDataPath);
    auto fingerprint = rememberedFingerprint(launchDataPath);
    DocumentCache::Shared known = fingerprint ? documents_.find(*fingerprint) : nullptr;
    std::string bytes;  // read only when the document they hold is not at hand
    if (!known) {
        auto read = readBytes(launchDataPath);
        if (!read) {
            printed_.write("Unable to read plist data.");
            return;
        }
        bytes = std::move(*read);
        fingerprint = DocumentCache::Fingerprint::of(bytes);
        known = documents_.find(*fingerprint);
    }
    if (reportedDocument && *reportedDocument && known == *reportedDocument) {
        // Nobody wrote since the report was built: every record is as reported, so all are
        // cleared, and the document is changed where it is rather than copied.
        reportedDocument->reset();
        reported = nullptr;
    }
    known.reset();  // held by nobody else, it is moved out rather than copied
    auto root = documents_.take(*fingerprint);
    if (root) {
        // The document they hold is at hand: the bytes are let go (assigning an empty string
        // would keep their room).
        std::string().swap(bytes);
    } else {
        auto parsed = plist::parse(bytes);
        if (!parsed) {
            printed_.write("Error processing plist: " + parsed.status().description());
            return;
        }
        root = std::move(*parsed);
    }
    Dict* records = asRecords(*root);
    if (!records) return;
    for (auto& [id, value] : *records) {
        const plist::Dict* seen = nullptr;
        if (reported) {
            // A record added after the report was built had nothing reported.
            auto it = reported->find(id);
            seen = it == reported->end() ? nullptr : plist::asDict(it->second);
            if (!seen) continue;
        }
        UsageRecord record(std::move(*plist::asDict(value)));
        if (seen && record.fields() != *seen)
            log_.write("resetSoftwareMeteringRules: the record for AppDefinitionId " + id.str() +
                       " changed since the report was built; what it did not include stays");
        usage::Change{usage::Change::Reset{seen}}.apply(record);
        value = Value(std::move(record).fields());
    }
    Status written = write(launchDataPath, std::move(*root), Write::InPlace);
    if (!written) {
        printed_.write("Error processing plist: " + written.description());
        return;
    }
    printed_.write("Plist updated successfully.");
}

std::optional<std::string> MeteringFiles::getAppDefinitionId(const std::string& ruleMappingPath,
                                                             const std::string& name) {
    log_.write("Inside getAppDefinitionId");
    std::optional<std::string> result;
    auto root = view(ruleMappingPath);
    if (!root) {
        log_.write("getAppDefinitionId: Error loading or parsing app rule plist: " +
                   root.status().description());
    } else if (const Dict* mapping = plist::asDict(**root); !mapping) {
        log_.write("getAppDefinitionId: Failed to parse plist as dictionary");
    } else if (auto it = mapping->find(name); it != mapping->end()) {
        if (auto text = numberText(it->second)) {
            result = std::move(text);
        } else if (const plist::Text* s = plist::asString(it->second)) {
            result = *s;
        }
    }
    log_.write("getAppDefinitionId: AppDefinitionId for " + name + " is " +
               (result ? *result : std::string("Not found")));
    return result;
}

}  // namespace tallyvane::store
