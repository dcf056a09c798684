// Records a management system delivers, merged into the launch-data file as our own writers
// write it.
#include "plist/Plist.h"
#include "store/MeteringFiles.h"

namespace tallyvane::store {

using plist::Dict;
using plist::Value;

std::string importRefusal(const Value& given) {
    const Dict* records = plist::asDict(given);
    if (!records) return "not a dictionary of records";
    for (const auto& [id, value] : *records) {
        const Dict* fields = plist::asDict(value);
        const plist::Text* name = fields ? plist::stringFor(*fields, key::kFileName) : nullptr;
        const plist::Text* appId =
            fields ? plist::stringFor(*fields, key::kAppDefinitionId) : nullptr;
        if (!name || name->str().empty() || !appId || *appId != id || id.str().empty())
            return "the record under \"" + id.str() +
                   "\" lacks a FileName or an AppDefinitionId equal to its key";
    }
    return "";
}

bool mergeRecords(Dict& records, const Dict& given) {
    bool listChanged = false;
    for (const auto& [id, value] : given) {
        const Dict& fields = *plist::asDict(value);
        Value& held = records[id.str()];
        if (!plist::asDict(held)) held = Value(Dict{});
        Dict& record = *plist::asDict(held);
        for (const std::string_view key : {key::kFileName, key::kAppDefinitionId}) {
            const Value& wanted = fields.find(key)->second;
            auto there = record.find(key);
            if (there != record.end() && there->second == wanted) continue;
            listChanged = true;
            record.insert_or_assign(plist::Text(key), wanted);
        }
    }
    return listChanged;
}

Result<bool> MeteringFiles::importRecords(const std::string& launchDataPath, const Dict& given) {
    const Locked locked(*this, launchDataPath);
    std::optional<Dict> records = files_.exists(launchDataPath) ? readDict(launchDataPath) : Dict{};
    if (!records) return Status::error("Cannot read " + launchDataPath + " as a dictionary");
    const bool listChanged = mergeRecords(*records, given);
    if (Status written = write(launchDataPath, Value(std::move(*records)), Write::InPlace);
        !written)
        return written;
    return listChanged;
}

Result<bool> MeteringFiles::removeRecord(const std::string& launchDataPath, const std::string& id) {
    const Locked locked(*this, launchDataPath);
    auto records = readDict(launchDataPath);
    if (!records) return Status::error("Cannot read " + launchDataPath + " as a dictionary");
    if (records->erase(id) == 0) return false;
    if (Status written = write(launchDataPath, Value(std::move(*records)), Write::InPlace);
        !written)
        return written;
    return true;
}

}  // namespace tallyvane::store
