// How the link hands a frame to the socket: this program defines its own
// send(), which takes the place of the C library's for everything linked
// into it, records each call made on a socket connected to the terminal
// port, and passes it on to the real one.
//
// The terminal emulator writes with send() too; its sockets are connected to
// the link's ephemeral port, so they are not recorded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "net_client.h"
#include "terminal_emulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SendCall {
    Bytes bytes;
    int flags;
};

std::mutex recordedMutex;
std::vector<SendCall> recorded;  // every send call on the link's socket, in order

bool connectedToTerminal(int fd)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
           peer.sin_family == AF_INET && ntohs(peer.sin_port) == TERMINAL_PORT;
}

std::vector<SendCall> takeRecorded()
{
    std::lock_guard<std::mutex> lock(recordedMutex);
    std::vector<SendCall> calls;
    calls.swap(recorded);
    return calls;
}

}  // namespace

extern "C" ssize_t send(int fd, const void* buf, size_t n, int flags)
{
    typedef ssize_t (*SendFn)(int, const void*, size_t, int);
    static const SendFn real = reinterpret_cast<SendFn>(dlsym(RTLD_NEXT, "send"));
    if (connectedToTerminal(fd)) {
        const uint8_t* p = static_cast<const uint8_t*>(buf);
        std::lock_guard<std::mutex> lock(recordedMutex);
        recorded.push_back({Bytes(p, p + n), flags});
    }
    return real(fd, buf, n, flags);
}

namespace {

struct PiecesCase {
    const char* name;
    const char* address;
    uint8_t command;
    size_t payloadSize;
    Bytes header;               // the first call: the whole header
    std::vector<size_t> sizes;  // every call, the header's included
};

void PrintTo(const PiecesCase& row, std::ostream* os) { *os << row.name; }

const PiecesCase PIECES_CASES[] = {
    {"NoPayload", "127.0.0.36", 0x20, 0, {0x20, 0x00, 0x00, 0x00, 0x00}, {5}},
    {"OnePiece", "127.0.0.37", 0x11, 8192, {0x11, 0x00, 0x00, 0x20, 0x00}, {5, 8192}},
    {"TwentyThousandBytes", "127.0.0.38", 0x11, 20000, {0x11, 0x00, 0x00, 0x4E, 0x20},
     {5, 8192, 8192, 3616}},
    {"OneByteOver", "127.0.0.39", 0x13, 8193, {0x13, 0x00, 0x00, 0x20, 0x01}, {5, 8192, 1}},
};

class SendPieces : public ::testing::TestWithParam<PiecesCase> {};

TEST_P(SendPieces, HeaderThenPiecesOf8192)
{
    const PiecesCase& row = GetParam();
    tavrolink::emu::TerminalEmulator terminal(row.address);
    ASSERT_TRUE(terminal.start()) << terminal.lastError();
    Bytes payload(row.payloadSize);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 % 253);

    NetClient client;
    ASSERT_TRUE(client.open(row.address));
    takeRecorded();
    EXPECT_EQ(client.sendCommand(row.command, payload.data(), payload.size()), EXCHANGE_OK);
    const std::vector<SendCall> calls = takeRecorded();

    std::vector<size_t> sizes;
    for (const SendCall& call : calls) {
        sizes.push_back(call.bytes.size());
        // A terminal gone away must fail the send, not raise SIGPIPE.
        EXPECT_TRUE(call.flags & MSG_NOSIGNAL);
    }
    EXPECT_EQ(sizes, row.sizes);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].bytes, row.header);
    Bytes sent;
    for (size_t i = 1; i < calls.size(); ++i)
        sent.insert(sent.end(), calls[i].bytes.begin(), calls[i].bytes.end());
    EXPECT_EQ(sent, payload);
}

INSTANTIATE_TEST_SUITE_P(Frames, SendPieces, ::testing::ValuesIn(PIECES_CASES),
                         [](const ::testing::TestParamInfo<PiecesCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
