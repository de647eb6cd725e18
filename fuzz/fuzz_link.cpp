// The terminal's side of an exchange: the fuzz input is what the terminal
// sends back, over a real loopback connection to the real link. The outcome
// is checked against a small model of the protocol, so a reply that is read
// wrongly, not just one that crashes, is a finding. No socket may be left open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "net_client.h"

namespace {

const char kAddress[] = "127.0.0.250";

// What the link must make of a reply: the result code and the payload.
int model(uint8_t command, const std::vector<uint8_t>& r, std::vector<uint8_t>* payload)
{
    size_t at = 0;
    for (;;) {
        if (r.size() - at < 5)
            return 3;
        const uint8_t kind = r[at];
        const uint32_t length = (uint32_t(r[at + 1]) << 24) | (uint32_t(r[at + 2]) << 16) |
                                (uint32_t(r[at + 3]) << 8) | r[at + 4];
        at += 5;
        if (kind == REPLY_ERROR) {
            if (r.size() - at < 4)
                return 3;
            const uint32_t e = (uint32_t(r[at]) << 24) | (uint32_t(r[at + 1]) << 16) |
                               (uint32_t(r[at + 2]) << 8) | r[at + 3];
            return static_cast<int32_t>(e + 4u);
        }
        if (kind == REPLY_WAIT)
            continue;
        if (kind != command || r.size() - at < length)
            return 3;
        payload->assign(r.begin() + static_cast<long>(at), r.begin() + static_cast<long>(at + length));
        return 0;
    }
}

// A terminal that answers the next connection with the bytes it is given,
// then closes its side.
class Terminal {
public:
    Terminal()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(TERMINAL_PORT);
        inet_pton(AF_INET, kAddress, &addr.sin_addr);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 8) != 0)
            abort();
        thread_ = std::thread([this] { serve(); });
        thread_.detach();
    }

    void answerNext(std::vector<uint8_t> reply)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = std::move(reply);
        ready_ = true;
        cv_.notify_all();
    }

    void waitServed()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !ready_; });
    }

private:
    void serve()
    {
        for (;;) {
            std::vector<uint8_t> reply;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return ready_; });
                reply = reply_;
            }
            const int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0) {
                size_t off = 0;
                while (off < reply.size()) {
                    const ssize_t n = send(conn, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    off += static_cast<size_t>(n);
                }
                shutdown(conn, SHUT_WR);
                char sink[4096];
                while (recv(conn, sink, sizeof sink, 0) > 0) {
                }
                close(conn);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ready_ = false;
            cv_.notify_all();
        }
    }

    int listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<uint8_t> reply_;
    bool ready_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Terminal* terminal = new Terminal();
    if (size == 0 || size > 100000)
        return 0;
    // The first byte is the command sent, so answers both fit and do not.
    const uint8_t command = data[0];
    const std::vector<uint8_t> reply(data + 1, data + size);

    NetClient client;
    NetClient::Limits limits;
    limits.replyIdleMs = 2000;
    client.setLimits(limits);
    client.open(kAddress);
    // open() made a connection that the terminal serves as an empty reply.
    terminal->answerNext({});
    terminal->waitServed();

    terminal->answerNext(reply);
    const int result = client.sendCommand(command, nullptr, 0);
    terminal->waitServed();

    std::vector<uint8_t> expected;
    const int want = model(command, reply, &expected);
    if (result != want || client.isConnected())
        abort();
    if (result == 0 && (client.getReplySize() != expected.size() ||
                        (expected.size() && memcmp(client.getReply(), expected.data(), expected.size()) != 0)))
        abort();
    return 0;
}
