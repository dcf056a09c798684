// The parent check: is the parent process the genuine management agent?
#include "lvornutils/ProcessInfo.h"

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "lvornutils/GlobVars.h"

namespace {

std::optional<std::string> resolved(const std::string& path) {
    struct FreeDeleter {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, FreeDeleter> real(::realpath(path.c_str(), nullptr));
    if (!real) return std::nullopt;
    return std::string(real.get());
}

}  // namespace

bool ProcessInfo::CheckIfTrueParent() {
    if (gv_globvars == nullptr) return false;
    const auto& trusted = gv_globvars->trustedParentPaths();
    if (trusted.empty()) return false;  // no setting: fail closed

    // The parent's executable, resolved. A parent that cannot be looked at (gone, another user's,
    // its executable deleted) is not trusted.
    const auto parent = resolved("/proc/" + std::to_string(::getppid()) + "/exe");
    if (!parent) return false;

    for (const auto& path : trusted) {
        const auto candidate = resolved(path);
        if ((candidate ? *candidate : path) == *parent) return true;
    }
    return false;
}
