#pragma once
#include <string>

class FileUtils {
public:
    // True when something exists at path.
    bool isFileExist(const std::string& path) const;
    // Creates the directory and its missing parents. permissions is written as the digits of
    // the octal mode (777 means rwxrwxrwx), applied without the process umask.
    bool createDirectoryAtPath(const std::string& path, int permissions) const;
};
