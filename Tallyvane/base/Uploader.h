#pragma once
// Where a usage report goes: the management server through the agent's HTTP transport in
// production, a server of the tests' own on 127.0.0.1 in tests.
#include <string_view>

namespace tallyvane {

class Uploader {
  public:
    virtual ~Uploader() = default;
    // Posts document to path on the server: 0 when the server accepted it, else the failure's
    // code. Never raises.
    virtual int send(std::string_view path, std::string_view document) = 0;
};

}  // namespace tallyvane
