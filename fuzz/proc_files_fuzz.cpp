// The /proc files the workspace reads (a process's stat and status, loadavg), as a kernel that
// changed its format, or a hostile tree, could present them.
#include "FuzzSupport.h"
#include "platform/linux/ProcFs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)tallyvane::linux_platform::parseStat(text);
    static const std::string root = fuzz::scratch() + "/proc";
    fuzz::diskFile(data, size, "proc/1/stat");
    fuzz::diskFile(data, size, "proc/1/status");
    fuzz::diskFile(data, size, "proc/loadavg");
    const tallyvane::linux_platform::ProcFs proc(root);
    (void)proc.stat(1);
    (void)proc.realUid(1);
    (void)proc.lastStartedPid();
    return 0;
}
