#include "support/ScratchAgent.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace tallyvane::test {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = std::string(old);
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::ScopedEnv(ScopedEnv&& other) noexcept
    : name_(std::move(other.name_)), previous_(std::move(other.previous_)), active_(other.active_) {
    other.active_ = false;
}

ScopedEnv::~ScopedEnv() {
    if (!active_) return;
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

std::string ScratchAgent::serialize(const Settings& settings, Format format) {
    std::unique_ptr<void, void (*)(plist_t)> root(plist_new_dict(), &plist_free);
    for (const auto& [key, value] : settings) {
        if (const auto* text = std::get_if<std::string>(&value)) {
            plist_dict_set_item(root.get(), key.c_str(), plist_new_string(text->c_str()));
        } else {
            plist_t array = plist_new_array();
            for (const auto& item : std::get<std::vector<std::string>>(value)) {
                plist_array_append_item(array, plist_new_string(item.c_str()));
            }
            plist_dict_set_item(root.get(), key.c_str(), array);
        }
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    std::string result;
    if (format == Format::Xml) {
        plist_to_xml(root.get(), &bytes, &length);
        if (bytes != nullptr) result.assign(bytes, length);
        plist_to_xml_free(bytes);
    } else {
        plist_to_bin(root.get(), &bytes, &length);
        if (bytes != nullptr) result.assign(bytes, length);
        plist_to_bin_free(bytes);
    }
    if (result.empty()) throw std::runtime_error("libplist could not serialize the settings");
    return result;
}

ScratchAgent::ScratchAgent(const Settings& settings, Format format) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tallyvane-agent-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    root_ = pattern;
    std::filesystem::create_directories(configDir());
    std::filesystem::create_directories(dataDir());
    writeSettings(settings, format);
}

ScratchAgent::~ScratchAgent() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void ScratchAgent::writeSettings(const Settings& settings, Format format) const {
    writeConfigFile("agent.plist", serialize(settings, format));
}

void ScratchAgent::writeConfigFile(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories(configDir());
    std::ofstream out(configDir() / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + (configDir() / name).string());
}

void ScratchAgent::removeSettings() const {
    std::error_code ignored;
    std::filesystem::remove(settingsFile(), ignored);
}

std::string ScratchAgent::logText(const std::string& name) const {
    std::ifstream in(logsDir() / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace tallyvane::test
