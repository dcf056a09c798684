// The console user file as the watcher reads it every three seconds.
#include "FuzzSupport.h"
#include "PeriodicChecker.h"
#include "lvornutils/Proplisthandler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::diskFile(data, size, "consoleuser.plist");
    Proplisthandler file;
    file.InitwithFile(path);
    auto text = [&](const char* key) -> std::optional<std::string> {
        auto object = file.GetValueForKey(key);
        return object ? object->stringValue() : std::nullopt;
    };
    std::optional<std::string> remembered = std::string();
    (void)tallyvane::decideConsoleAction(text("CurrentConsoleUser"), text("logType"), remembered);
    return 0;
}
