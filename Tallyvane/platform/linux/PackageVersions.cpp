#include "platform/linux/PackageVersions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/linux/TextLines.h"

namespace tallyvane::linux_platform {
namespace {

constexpr std::size_t kStatusLimit = 64 << 20;
constexpr std::size_t kSmallLimit = 1 << 20;

}  // namespace

std::optional<std::string> installedVersion(std::string_view status, std::string_view package) {
    const auto colon = package.find(':');
    const std::string_view name = package.substr(0, colon);
    const std::string_view arch =
        colon == std::string_view::npos ? std::string_view{} : package.substr(colon + 1);
    std::optional<std::string> found;
    std::string_view stanzaName, stanzaArch, stanzaStatus, stanzaVersion;
    const auto finish = [&] {
        if (stanzaName == name && (arch.empty() || stanzaArch == arch) &&
            stanzaStatus.ends_with(" installed") && !stanzaVersion.empty())
            found = oneLine(stanzaVersion);
        stanzaName = stanzaArch = stanzaStatus = stanzaVersion = {};
        return !found;
    };
    eachLine(status, [&](std::string_view line) {
        if (trimmed(line).empty()) return finish();
        const auto field = [&](std::string_view key) -> std::optional<std::string_view> {
            if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ':')
                return std::nullopt;
            return trimmed(line.substr(key.size() + 1));
        };
        if (auto v = field("Package")) stanzaName = *v;
        if (auto v = field("Architecture")) stanzaArch = *v;
        if (auto v = field("Status")) stanzaStatus = *v;
        if (auto v = field("Version")) stanzaVersion = *v;
        return true;
    });
    if (!found) finish();
    return found;
}

std::optional<std::string> snapYamlVersion(std::string_view yaml) {
    std::optional<std::string> found;
    eachLine(yaml, [&](std::string_view line) {
        if (!line.starts_with("version:")) return true;
        std::string_view value = trimmed(line.substr(8));
        if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        found = oneLine(value);
        return false;
    });
    return found;
}

std::optional<std::string> metainfoVersion(std::string_view xml) {
    const auto release = xml.find("<release ");
    if (release == std::string_view::npos) return std::nullopt;
    const auto end = xml.find('>', release);
    const std::string_view element = xml.substr(release, end - release);
    for (const char quote : {'"', '\''}) {
        const std::string key = std::string("version=") + quote;
        const auto at = element.find(key);
        if (at == std::string_view::npos) continue;
        const auto value = element.substr(at + key.size());
        const auto close = value.find(quote);
        if (close == std::string_view::npos) return std::nullopt;
        return oneLine(value.substr(0, close));
    }
    return std::nullopt;
}

std::optional<std::string> PackageVersions::versionOf(const RunningApplication& application) {
    const std::int32_t pid = application.processIdentifier;
    auto running = application.executableURL;
    if (!running && pid > 0) running = procFs_.exe(static_cast<pid_t>(pid));
    if (!running) return std::nullopt;
    // An executable replaced by an upgrade while it runs: its package still names it.
    const std::string exe = withoutDeleted(std::move(*running));

    // Each source, with what tells that its answer may have changed.
    std::string key = exe, stamp;
    std::function<std::optional<std::string>()> lookUp;
    if (auto sandbox = pid > 0 ? procFs_.flatpakSandbox(static_cast<pid_t>(pid)) : std::nullopt) {
        key = "flatpak:" + sandbox->id;
        stamp = sandbox->commit;
        lookUp = [this, root = procFs_.rootOf(static_cast<pid_t>(pid)), id = sandbox->id] {
            return flatpakVersion(root, id);
        };
    } else if (exe.starts_with("/snap/")) {
        lookUp = [this, &exe] { return snapVersion(exe); };  // the path holds the revision
    } else {
        stamp = dpkg_.stamp();
        lookUp = [this, &exe] { return debianVersion(exe); };
    }
    if (auto it = known_.find(key); it != known_.end() && it->second.stamp == stamp)
        return it->second.version;
    auto version = lookUp();
    known_.insert_or_assign(key, Known{stamp, version});
    return version;
}

std::optional<std::string> PackageVersions::flatpakVersion(const std::string& root,
                                                           const std::string& id) {
    for (const char* file :
         {"/app/share/metainfo/%.metainfo.xml", "/app/share/metainfo/%.appdata.xml",
          "/app/share/appdata/%.appdata.xml"}) {
        std::string path = root + file;
        path.replace(path.find('%'), 1, id);
        if (const auto xml = readRegularFile(path, kSmallLimit))
            if (auto version = metainfoVersion(*xml)) return version;
    }
    return std::nullopt;
}

std::optional<std::string> PackageVersions::snapVersion(const std::string& exe) {
    // /snap/NAME/REVISION/...: the snap's own description of itself.
    const auto name = exe.find('/', 6);
    const auto revision = name == std::string::npos ? name : exe.find('/', name + 1);
    if (revision == std::string::npos) return std::nullopt;
    const auto yaml =
        readRegularFile(roots_.system + exe.substr(0, revision) + "/meta/snap.yaml", kSmallLimit);
    return yaml ? snapYamlVersion(*yaml) : std::nullopt;
}

std::optional<std::string> PackageVersions::debianVersion(const std::string& exe) {
    const auto package = dpkg_.owner(exe);
    if (!package) return std::nullopt;
    const auto status = readRegularFile(roots_.system + "/var/lib/dpkg/status", kStatusLimit);
    return status ? installedVersion(*status, *package) : std::nullopt;
}

}  // namespace tallyvane::linux_platform
