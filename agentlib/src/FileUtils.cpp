#include "lvornutils/FileUtils.h"

#include <sys/stat.h>

#include "Internal.h"

bool FileUtils::isFileExist(const std::string& path) const {
    if (path.empty()) return false;
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;  // anything at the path, a dangling link included
}

bool FileUtils::createDirectoryAtPath(const std::string& path, int permissions) const {
    // The decimal digits of permissions are the octal digits of the mode: 777 -> 0777.
    if (permissions < 0 || permissions > 7777) return false;
    unsigned mode = 0;
    unsigned shift = 0;
    for (int rest = permissions; rest != 0; rest /= 10, shift += 3) {
        const int digit = rest % 10;
        if (digit > 7) return false;
        mode |= static_cast<unsigned>(digit) << shift;
    }
    // A folder any user may write to gets the sticky bit, as /tmp has it: others may add files
    // but cannot remove or rename ours.
    if (mode & 0002) mode |= 01000;
    return lvornutils::detail::makeDirectories(path, mode);
}
