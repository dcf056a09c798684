#pragma once
#include <string>
#include <string_view>

namespace tallyvane {

// The application name of a bundle file name: every ".app" removed, case-sensitively, in
// canonical form.
std::string applicationName(std::string_view fileName);

}  // namespace tallyvane
