#pragma once
#include <string>
#include <string_view>

namespace tallyvane {

// The application name of a bundle file name: every ".app" removed, case-sensitively.
std::string applicationName(std::string_view fileName);

}  // namespace tallyvane
