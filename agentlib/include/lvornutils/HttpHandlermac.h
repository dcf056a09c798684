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
    // may not stand in a URL are percent-encoded here (escapes already present are kept).
    // Returns 0 for an HTTP 2xx answer, the status for any other answer (redirects are not
    // followed), and -1 when no complete answer came (no ServerURL, refused, time-out: 10 s to
    // connect, 60 s in all, TLS failure). Certificates are verified. Thread-safe.
    int VornSendData(std::string_view path, const std::vector<std::uint8_t>& body) const {
        return VornSendData(
            path, std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    }
    // The same for a body held as text, sent from where it stands.
    int VornSendData(std::string_view path, std::string_view body) const;

  private:
    explicit HttpHandlermac(std::optional<std::string> serverURL);
    std::optional<std::string> serverURL_;
};
