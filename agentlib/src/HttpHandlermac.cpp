// The transport to the management server: one HTTP POST through libcurl.
#include "lvornutils/HttpHandlermac.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <pthread.h>
#include <csignal>
#include <memory>
#include <mutex>

#include "lvornutils/GlobVars.h"

namespace {

constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTotalTimeoutSeconds = 60;

// libcurl and the TLS libraries behind it are loaded on the first send only: monitor mode never
// sends, and mapping them would more than double its resident memory.
struct CurlApi {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
};

template <typename F>
bool resolve(void* library, const char* name, F& function) {
    function = reinterpret_cast<F>(dlsym(library, name));
    return function != nullptr;
}

// The loaded and initialised library, or null when it cannot be had.
const CurlApi* curlApi() {
    static std::once_flag once;
    static CurlApi api;
    static bool loaded = false;
    std::call_once(once, [] {
        void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library) return;
        loaded = resolve(library, "curl_global_init", api.global_init) &&
                 resolve(library, "curl_easy_init", api.easy_init) &&
                 resolve(library, "curl_easy_setopt", api.easy_setopt) &&
                 resolve(library, "curl_easy_perform", api.easy_perform) &&
                 resolve(library, "curl_easy_getinfo", api.easy_getinfo) &&
                 resolve(library, "curl_easy_cleanup", api.easy_cleanup) &&
                 resolve(library, "curl_slist_append", api.slist_append) &&
                 resolve(library, "curl_slist_free_all", api.slist_free_all) &&
                 api.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    return loaded ? &api : nullptr;
}

struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { curlApi()->easy_cleanup(handle); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const noexcept { curlApi()->slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool isReserved(unsigned char c) {
    switch (c) {
        case ':':
        case '/':
        case '?':
        case '#':
        case '[':
        case ']':
        case '@':  // gen-delims
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':  // sub-delims
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

// Percent-encodes the bytes that may not stand in a URL: everything outside RFC 3986's
// unreserved and reserved sets, and a '%' that does not begin an escape ("%XX"). Escapes already
// present are kept. In the request path, '#', '[' and ']' are encoded too: a fragment is never sent
// and brackets belong only in an IPv6 host.
void appendEncoded(std::string& out, std::string_view text, bool requestPath) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        bool keep = isUnreserved(c) || isReserved(c);
        if (requestPath && (c == '#' || c == '[' || c == ']')) keep = false;
        if (c == '%') keep = i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2]);
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHexDigits[c >> 4]);
            out.push_back(kHexDigits[c & 0x0F]);
        }
    }
}

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// Keeps SIGPIPE from ending the process while this thread talks to the server (with
// CURLOPT_NOSIGNAL libcurl does not guard the TLS library's writes itself): the signal is blocked
// in this thread, and one that arrived meanwhile is taken off before the mask is restored.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_) == 0;
        sigset_t pending;
        sigemptyset(&pending);
        pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (!blocked_) return;
        sigset_t pending;
        sigemptyset(&pending);
        if (!pendingBefore_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            struct timespec noWait {};
            sigtimedwait(&pipeOnly_, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool blocked_ = false;
    bool pendingBefore_ = false;
};

}  // namespace

HttpHandlermac::HttpHandlermac(std::optional<std::string> serverURL)
    : serverURL_(std::move(serverURL)) {}

HttpHandlermac HttpHandlermac::initWithGlobals() {
    return HttpHandlermac(gv_globvars != nullptr ? gv_globvars->serverURL() : std::nullopt);
}

int HttpHandlermac::VornSendData(std::string_view path, std::string_view body) const {
    if (!serverURL_ || serverURL_->empty()) return -1;
    const CurlApi* curl = curlApi();
    if (!curl) return -1;

    std::string_view base = *serverURL_;
    // "https://host/" + "/invswmetering?..." would give "//invswmetering".
    if (!path.empty() && path.front() == '/' && base.back() == '/') base.remove_suffix(1);
    std::string url;
    url.reserve(base.size() + path.size() * 3);
    appendEncoded(url, base, false);
    appendEncoded(url, path, true);

    EasyPtr easy(curl->easy_init());
    if (!easy) return -1;
    SlistPtr headers;
    for (const char* header : {"Content-Type: text/xml; charset=utf-8", "Expect:"}) {
        curl_slist* extended = curl->slist_append(headers.get(), header);
        if (extended == nullptr) return -1;
        headers.release();
        headers.reset(extended);
    }

    static const char kEmpty[] = "";
    CURL* h = easy.get();
    bool ok = curl->easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && curl->easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
#else
    ok =
        ok && curl->easy_setopt(h, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS) == CURLE_OK;
#endif
    ok = ok && curl->easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(body.size())) == CURLE_OK;
    ok = ok &&
         curl->easy_setopt(h, CURLOPT_POSTFIELDS, body.empty() ? kEmpty : body.data()) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_USERAGENT, "tallyvane") == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_TIMEOUT, kTotalTimeoutSeconds) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl->easy_setopt(h, CURLOPT_WRITEFUNCTION, &discardBody) == CURLE_OK;
    if (!ok) return -1;

    CURLcode result;
    {
        SigpipeGuard guard;
        result = curl->easy_perform(h);
    }
    // Any transport failure counts as no answer, even after a status line: only a complete
    // exchange may tell the caller that the server took the data.
    if (result != CURLE_OK) return -1;
    long status = 0;
    if (curl->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status <= 0)
        return -1;
    if (status >= 200 && status <= 299) return 0;
    return static_cast<int>(status);
}
