#pragma once
#include <string>

class FileUtils {
  public:
    // True when something exists at path (lstat: a dangling symbolic link counts).
    bool isFileExist(const std::string& path) const;
    // Creates the directory and its missing parents. permissions is written as the digits of
    // the octal mode (777 means rwxrwxrwx), given exactly (without the process umask) to each
    // directory this call creates; existing ones keep theirs. True when path is a directory
    // afterwards; false for a digit above 7 or a value outside 0..7777. A mode that lets others
    // write (777) also gets the sticky bit (01777, as /tmp), so that no other local user can
    // remove or rename the files in the folder.
    bool createDirectoryAtPath(const std::string& path, int permissions) const;
};
