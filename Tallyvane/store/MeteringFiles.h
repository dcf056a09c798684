#pragma once
// The operations on the metering files: AppLaunchData.plist (usage records by app definition
// id), AppRuleData.plist (application name to app definition id) and AppPostData.plist
// (AddedTime). Each runs on the calling thread, reads its file afresh through the file system,
// writes whole files as XML, logs or prints its own outcome and never throws. One thread at a
// time.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Status.h"
#include "platform/FileSystem.h"
#include "plist/Value.h"
#include "settings/AgentLibrary.h"
#include "store/DocumentCache.h"
#include "store/DurableFile.h"
#include "usage/Change.h"
#include "usage/UsageRecord.h"

namespace tallyvane::store {

// What updatePostDataPlist hands to its caller.
struct PlistError {
    enum class Case { fileNotFound, failedToCreateFile };
    Case kind;
    std::string message;
    // `fileNotFound("...")`: the case name and the message in double quotes.
    std::string text() const;
};

// The metered list and the rule mapping read from the launch-data file at start-up.
struct RuleData {
    std::vector<std::string> monitoredApps;  // in enumeration order, duplicates kept
    plist::Dict appRuledata;                 // application name to app definition id (string)
};

// A change a caller made to a usage record, to be made again on the record the file holds now
// when another of our processes changed that record since the caller read it.
struct RecordChange {
    const UsageRecord& before;  // the record as the caller had it before the change
    const usage::Change& change;
};

// Why records to import are refused: empty when given is a dictionary of records, each under its
// own AppDefinitionId (a non-empty string) with a non-empty string FileName.
std::string importRefusal(const plist::Value& given);
// Gives each record of given (accepted above) its FileName and AppDefinitionId in records, added
// when missing, keeping every other key there. True when the metered list changed.
bool mergeRecords(plist::Dict& records, const plist::Dict& given);

class MeteringFiles {
  public:
    explicit MeteringFiles(FileSystem& files, LogSink& log = agentLibraryLog(),
                           LogSink& printed = agentLibraryPrinter())
        : files_(files), log_(log), printed_(printed) {}

    FileSystem& fileSystem() { return files_; }

    // The sidecar that holds a file's new content while the file itself is rewritten.
    static std::string sidecarOf(const std::string& path) { return DurableFile::sidecarOf(path); }

    // The bytes of the file at path, after recovering a rewrite that a crash interrupted.
    Result<std::string> readBytes(const std::string& path);
    // The property list in the file at path, read as readBytes does, to be changed.
    Result<plist::Value> read(const std::string& path);
    // The same, to be looked at only: shared with the documents remembered, never copied.
    Result<DocumentCache::Shared> view(const std::string& path);
    // The value written over the file at path as XML. In place: rewritten where it stands, so
    // that a crash, a kill or a full disk at any moment leaves the old or the new content for the
    // next reader (the new bytes are first written whole to the sidecar). Atomically: through a
    // temporary file that then replaces it.
    enum class Write { InPlace, Atomically };
    Status write(const std::string& path, plist::Value value, Write how);

    // Creates a missing file holding an empty dictionary (and its folder, mode 777), in place.
    void createPlistIfNotExists(const std::string& path);
    // Leaves an existing post-data file at path alone. A missing one is recreated with
    // AddedTime = now as a string, written atomically, and reported as fileNotFound (or
    // failedToCreateFile).
    std::optional<PlistError> updatePostDataPlist(const std::string& path, std::int64_t now);
    // Nothing when the file is unreadable, not a property list, or not a dictionary of
    // dictionaries.
    std::optional<RuleData> readRuleData(const std::string& launchDataPath);
    // Writes appRuledata over the rule mapping file, in place.
    void saveAppRuleData(const plist::Dict& appRuledata, const std::string& ruleMappingPath);
    // A fresh usage table from the launch-data file, keyed by each record's table name; only
    // the records of the names in only (sorted), when it is given. Empty when the file cannot be
    // read.
    UsageRecords loadAppLaunchDataToUpdate(const std::string& launchDataPath,
                                           const std::vector<std::string>* only = nullptr);
    // Replaces the record under appDefinitionId in the launch-data file, when it holds one. Where
    // that record is no longer change.before, the change is made on it instead and the record so
    // written is returned, for the caller's table.
    std::optional<UsageRecord> saveAppsData(const std::string& launchDataPath,
                                            const std::string& appDefinitionId,
                                            const UsageRecord& record, const RecordChange& change);
    // The same, replacing the file's record whole whatever it holds now: for a caller that is
    // the only writer.
    void saveAppsData(const std::string& launchDataPath, const std::string& appDefinitionId,
                      const UsageRecord& record) {
        (void)save(launchDataPath, appDefinitionId, record, nullptr);
    }
    // The management system's records merged into the launch-data file (made when missing), or
    // the record under id removed, in one read-modify-write under the folder lock. Whether the
    // metered list changed, or why nothing was written.
    Result<bool> importRecords(const std::string& launchDataPath, const plist::Dict& given);
    Result<bool> removeRecord(const std::string& launchDataPath, const std::string& id);
    // Sets AddedTime (a string) in the post-data file to now, keeping its other keys; atomic.
    void updateAddedTime(const std::string& postDataPath, std::int64_t now);
    // Removes the five usage keys from every record of the launch-data file, writes it back. With
    // the records a report was built from, a record that changed since keeps what the report did
    // not include, and one the report did not see keeps its figures.
    void resetSoftwareMeteringRules(const std::string& launchDataPath,
                                    const plist::Dict* reported = nullptr) {
        reset(launchDataPath, reported, nullptr);
    }
    // The same with the document the report was built from, given up: while the file still
    // holds it, the reset changes that document instead of a copy.
    void resetSoftwareMeteringRules(const std::string& launchDataPath,
                                    DocumentCache::Shared reported) {
        const plist::Dict* records = reported ? plist::asDict(*reported) : nullptr;
        reset(launchDataPath, records, &reported);
    }
    // The app definition id of an application name, read afresh from the rule mapping file.
    std::optional<std::string> getAppDefinitionId(const std::string& ruleMappingPath,
                                                  const std::string& name);

  private:
    void reset(const std::string& launchDataPath, const plist::Dict* reported,
               DocumentCache::Shared* reportedDocument);
    std::optional<UsageRecord> save(const std::string& launchDataPath,
                                    const std::string& appDefinitionId, const UsageRecord& record,
                                    const RecordChange* change);
    std::optional<plist::Dict> readDict(const std::string& path);
    const plist::Dict* viewDict(const std::string& path, DocumentCache::Shared& holder);
    // The value written in place, through the sidecar; the fingerprint of what was written.
    Status rewrite(const std::string& path, const plist::Value& value, bool& exact,
                   std::optional<DocumentCache::Fingerprint>& fingerprint);
    // What the file at path holds now, hashed as it is read and not kept, when a document of it
    // is remembered and may be what it holds.
    std::optional<DocumentCache::Fingerprint> rememberedFingerprint(const std::string& path);
    // Completes or drops the rewrite that the sidecar of path tells of; the bytes the file holds
    // afterwards when they could not be written back.
    std::optional<std::string> recover(const std::string& path);

    // The metering folder locked against our other processes for one read-modify-write (not
    // reentrant across processes, so held once however deep the calls nest).
    class Locked {
      public:
        Locked(MeteringFiles& files, const std::string& path);
        ~Locked();
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

      private:
        MeteringFiles& files_;
    };

    FileSystem& files_;
    LogSink& log_;
    LogSink& printed_;
    DocumentCache documents_;
    std::unique_ptr<FileSystem::Lock> lock_;
    int lockDepth_ = 0;
};

}  // namespace tallyvane::store
