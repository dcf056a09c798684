// The management server's answer to a report, as any server (or anything listening at its
// address) could send it, through the agent library's transport.
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "lvornutils/HttpHandlermac.h"

namespace {

// A server on 127.0.0.1 that answers each connection with the bytes it is given, then closes.
struct Answerer {
    int listener = -1;
    int port = 0;
    Answerer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            abort();
        port = ntohs(address.sin_port);
    }
    void answerOnce(std::string_view answer) const {
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        char request[65536];
        (void)recv(connection, request, sizeof request, 0);  // the request, whatever it holds
        (void)send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(connection);
    }
};

const Answerer& answerer() {
    static const Answerer server = [] {
        Answerer made;
        const std::string settings =
            "<plist version=\"1.0\"><dict><key>ServerURL</key><string>"
            "http://127.0.0.1:" +
            std::to_string(made.port) + "</string></dict></plist>";
        fuzz::diskFile(reinterpret_cast<const std::uint8_t*>(settings.data()), settings.size(),
                       "config/agent.plist");
        VornUtilMac().initializeVornGlobal();
        return made;
    }();
    return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::scratch();
    const Answerer& server = answerer();
    const std::string_view answer(reinterpret_cast<const char*>(data), size);
    std::thread serve([&] { server.answerOnce(answer); });
    const std::vector<std::uint8_t> body{'<', '/', '>'};
    (void)HttpHandlermac::initWithGlobals().VornSendData("/invswmetering?computer=fuzz", body);
    serve.join();
    return 0;
}
