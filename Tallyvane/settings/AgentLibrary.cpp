// The adapter over the agent library's log, start-up, parent check and property-list reader.
#include "settings/AgentLibrary.h"

#include <new>

#include "lvornutils/CBrindleWrapper.h"
#include "lvornutils/HttpHandlermac.h"
#include "lvornutils/Log.h"
#include "lvornutils/ProcessInfo.h"
#include "lvornutils/Proplisthandler.h"
#include "lvornutils/VornUtilMac.h"

namespace tallyvane {
namespace {

class VornLogSink final : public LogSink {
  protected:
    void record(std::string_view message, std::string_view more) override {
        VornLog(message, more);
    }
};

class VornPrinter final : public LogSink {
  protected:
    void record(std::string_view message, std::string_view more) override {
        if (more.empty()) return VornPrint(message);
        std::string line;
        line.reserve(message.size() + more.size());
        VornPrint(line.append(message).append(more));
    }
};

class VornUploader final : public Uploader {
  public:
    int send(std::string_view path, std::string_view document) override {
        return HttpHandlermac::initWithGlobals().VornSendData(path, document);
    }
};

}  // namespace

Uploader& agentLibraryUploader() {
    static VornUploader uploader;
    return uploader;
}

LogSink& agentLibraryLog() {
    // Never destroyed: a thread may still log while the process exits.
    alignas(VornLogSink) static unsigned char storage[sizeof(VornLogSink)];
    static LogSink* const sink = ::new (storage) VornLogSink();
    return *sink;
}

LogSink& agentLibraryPrinter() {
    static VornPrinter printer;
    return printer;
}

void logFromSignal(const char* message, std::size_t length) noexcept {
    VornLogFromSignal(message, length);
}

void printFromSignal(const char* line, std::size_t length) noexcept {
    VornPrintFromSignal(line, length);
}

void loadAgentLibrarySettings() {
    VornUtilMac().initializeVornGlobal();
}

void startAgentLibrary() {
    VornUtilMac util;
    util.initializeVornGlobal();
    util.initializeAgentParams();
    util.startLoggingTo("AppMonitor.log", true);

    CBrindleWrapper brindle;
    brindle.loadVornDataDictionary("data-dictionary.xml");
    brindle.loadVornDataDictionary("data-dictionary-onpremise.xml");
    brindle.loadVornDataDictionary("data-dictionary-framework.xml");
}

bool startedByTrustedParent() {
    return ProcessInfo::CheckIfTrueParent();
}

ConsoleUserPlist readConsoleUserPlist(const std::string& path) {
    Proplisthandler file;
    file.InitwithFile(path);
    auto stringFor = [&](std::string_view key) -> std::optional<std::string> {
        auto object = file.GetValueForKey(key);
        return object ? object->stringValue() : std::nullopt;
    };
    return {stringFor("logType"), stringFor("CurrentConsoleUser")};
}

}  // namespace tallyvane
