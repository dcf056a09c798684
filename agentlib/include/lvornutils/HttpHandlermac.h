#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The transport to the management server.
class HttpHandlermac {
public:
    // Takes the server settings from gv_globvars.
    static HttpHandlermac initWithGlobals();

    // POSTs body to ServerURL + path with Content-Type text/xml; charset=utf-8. Characters that
    // may not stand in a URL are percent-encoded here. Returns 0 for an HTTP 2xx answer, the
    // status for any other answer, and -1 when no answer came.
    int VornSendData(std::string_view path, const std::vector<std::uint8_t>& body) const;

private:
    explicit HttpHandlermac(std::optional<std::string> serverURL);
    std::optional<std::string> serverURL_;
};
