#include <sys/prctl.h>

#include "platform/linux/LinuxPlatform.h"

namespace tallyvane::linux_platform {

bool forbidTracing() {
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace tallyvane::linux_platform
