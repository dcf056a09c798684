#pragma once
#include <string_view>

class CBrindleWrapper {
  public:
    // Reads <agent directory>/config/<name> when present. Returns true when it was read.
    bool loadVornDataDictionary(std::string_view name);
};
