// The terminal link (NetClient) against the emulated terminal: what goes on
// the wire, how each kind of answer ends an exchange, the time limits, and
// that no socket outlives a call.
//
// Every test that listens has a loopback address of its own (127.0.0.2 to
// 127.0.0.35), so test processes can run side by side.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net_client.h"
#include "tests/open_sockets.h"
#include "tests/terminal_fixture.h"
#include "terminal_emulator.h"

namespace {

namespace emu = tavrolink::emu;
using emu::Reply;
using emu::TerminalEmulator;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Only reached when something is broken.
constexpr auto kPatience = 5s;

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes replyOf(const NetClient& client)
{
    return Bytes(client.getReply(), client.getReply() + client.getReplySize());
}

// The link's own sockets.
size_t clientSockets() { return testing_sockets::clientSockets(TERMINAL_PORT); }

// After any call of the link: no socket held, none left in the process.
#define EXPECT_LINK_CLOSED(client)                \
    do {                                          \
        EXPECT_FALSE((client).isConnected());     \
        EXPECT_EQ(clientSockets(), 0u);           \
    } while (0)

NetClient::Limits limits(int idleMs, int exchangeMs)
{
    NetClient::Limits l;
    l.replyIdleMs = idleMs;
    l.exchangeLimitMs = exchangeMs;
    return l;
}

// For a client whose connection attempts will be refused. Linux reports a
// refused attempt as writable at once, so a link that ignored the pending
// error would report a connection. Windows reports it only among the
// exceptions of the readiness wait: a link that missed it would sit out its
// connect timeout and then fail all the same. There the timeout is set far
// beyond the program's time limit, so that only a refusal seen at once lets
// the test end.
void refusalsMustShowAtOnce(NetClient& client)
{
#if defined(_WIN32)
    NetClient::Limits l = client.limits();
    l.connectTimeoutMs = 60 * 60 * 1000;
    client.setLimits(l);
#else
    (void)client;
#endif
}

// Terminals are started on demand and stopped before the descriptor count of
// the whole process is compared with the one before the test.
class LinkTest : public TerminalsFixture {};

// ---------------------------------------------------------------------------
// How the terminal's answer ends an exchange

struct ReplyCase {
    const char* name;
    const char* address;
    uint8_t command;
    Bytes payload;  // sent with the command
    Reply reply;    // what the terminal does once it has the frame
    int idleMs;
    int exchangeMs;
    int expected;  // sendCommand's result
    Bytes answer;  // the payload kept after a result of 0
    bool frameArrives;
};

std::vector<ReplyCase> replyCases()
{
    const Bytes six{1, 2, 3, 4, 5, 6};
    const Bytes ten{10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const Bytes request = emu::toBytes("Default");
    const Bytes slowPayload(200, 0x42);
    return {
        {"WaitsThenAnEmptyAnswer", "127.0.0.2", CMD_TEST, {},
         Reply::waits(3, Reply::answer({})), 5000, 10000, EXCHANGE_OK, {}, true},
        // Each wait is well within the idle limit, all of them together are not.
        {"WaitsLongerThanTheIdleLimitInAll", "127.0.0.3", CMD_DOWNLOAD, request,
         Reply::waits(6, Reply::answer(six), 100ms), 300, 10000, EXCHANGE_OK, six, true},
        {"DeviceError1", "127.0.0.4", CMD_CLEAR, {}, Reply::error(1), 5000, 10000, 5, {}, true},
        {"DeviceError7", "127.0.0.5", CMD_CLEAR, {}, Reply::error(7), 5000, 10000, 11, {}, true},
        // 0xFFFFFFFF + 4 in 32 bits.
        {"DeviceErrorWrapsAround", "127.0.0.6", CMD_CLEAR, {}, Reply::error(0xFFFFFFFFu), 5000,
         10000, 3, {}, true},
        {"DeviceErrorCutShort", "127.0.0.7", CMD_CLEAR, {},
         Reply::raw({REPLY_ERROR, 0, 0, 0, 4, 0, 0}), 5000, 10000, EXCHANGE_NETWORK, {}, true},
        {"AnswerUnderTheNextCommandByte", "127.0.0.8", CMD_TEST, {},
         Reply::wrongCommand(0x21, {1, 2}), 5000, 10000, EXCHANGE_NETWORK, {}, true},
        {"WholeTableAnsweredAsMiddlePackage", "127.0.0.9", 0x13, emu::toBytes("a;1"),
         Reply::wrongCommand(0x10), 5000, 10000, EXCHANGE_NETWORK, {}, true},
        {"AnswerInPieces", "127.0.0.10", CMD_DOWNLOAD, request,
         Reply::pieces(six, {4, 2}, 20ms), 5000, 10000, EXCHANGE_OK, six, true},
        {"AnswerCutShort", "127.0.0.11", CMD_DOWNLOAD, request, Reply::partial(6, {1, 2, 3}), 5000,
         10000, EXCHANGE_NETWORK, {}, true},
        {"AcceptedAndClosed", "127.0.0.12", CMD_TEST, {}, Reply::acceptClose(), 5000, 10000,
         EXCHANGE_NETWORK, {}, false},
        // The terminal goes away while a table too big for the socket buffers
        // is on its way: a failed send (and no SIGPIPE).
        {"ClosedWhileATableIsSent", "127.0.0.31", 0x13, Bytes(16 << 20, 0x5A), Reply::acceptClose(),
         5000, 10000, EXCHANGE_NETWORK, {}, false},
        {"Silence", "127.0.0.13", CMD_TEST, {}, Reply::silence(), 200, 10000, EXCHANGE_NETWORK, {},
         true},
        {"FourGigabytesDeclaredThenClosed", "127.0.0.14", CMD_DOWNLOAD, request,
         Reply::raw(emu::encodeHeader(CMD_DOWNLOAD, 0xFFFFFFFFu)), 5000, 10000, EXCHANGE_NETWORK,
         {}, true},
        {"ResetMidPayload", "127.0.0.15", CMD_DOWNLOAD, request,
         Reply::partial(100, ten).followedBy(Reply::reset()), 5000, 10000, EXCHANGE_NETWORK, {},
         true},
        {"EndlessWaits", "127.0.0.16", CMD_TEST, {}, Reply::waitForever(50ms), 1000, 400,
         EXCHANGE_NETWORK, {}, true},
        // Bytes keep coming within the idle limit, but the whole answer would
        // take seconds.
        {"TrickleBeyondTheExchangeLimit", "127.0.0.17", CMD_DOWNLOAD, request,
         Reply::raw(emu::encodeHeader(CMD_DOWNLOAD, 200)).followedBy(Reply::trickle(slowPayload, 20ms)),
         1000, 400, EXCHANGE_NETWORK, {}, true},
        // The header too arrives byte by byte.
        {"TrickledAnswer", "127.0.0.18", CMD_DOWNLOAD, request,
         Reply::trickle(concat(emu::encodeHeader(CMD_DOWNLOAD, 4), {'A', 0, 'B', 0}), 20ms), 1000,
         10000, EXCHANGE_OK, {'A', 0, 'B', 0}, true},
        {"HeaderCutShort", "127.0.0.19", CMD_TEST, {}, Reply::raw({CMD_TEST, 0, 0}), 5000, 10000,
         EXCHANGE_NETWORK, {}, true},
        {"WaitThenClosed", "127.0.0.20", CMD_TEST, {}, Reply::waits(2, Reply::raw({})), 5000, 10000,
         EXCHANGE_NETWORK, {}, true},
    };
}

void PrintTo(const ReplyCase& row, std::ostream* os) { *os << row.name; }

class LinkReplies : public LinkTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(LinkReplies, EndTheExchange)
{
    const ReplyCase& row = GetParam();
    // The address is given before the terminal is up (the refused test
    // connection keeps it), so that the terminal's first connection is the
    // exchange: a scripted close-on-accept takes the next connection,
    // whatever it is.
    NetClient client;
    client.setLimits(limits(row.idleMs, row.exchangeMs));
    refusalsMustShowAtOnce(client);
    client.open(row.address);
    TerminalEmulator& terminal = startTerminal(row.address);
    terminal.script(row.reply);

    EXPECT_EQ(client.sendCommand(row.command, row.payload.data(), row.payload.size()), row.expected);
    EXPECT_LINK_CLOSED(client);
    if (row.expected == EXCHANGE_OK) {
        EXPECT_EQ(replyOf(client), row.answer);
    }

    EXPECT_EQ(terminal.pendingReplies(), 0u);
    const std::vector<emu::Frame> frames = terminal.frames();
    if (row.frameArrives) {
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].command, row.command);
        EXPECT_EQ(frames[0].payload, row.payload);
    } else {
        EXPECT_TRUE(frames.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, LinkReplies, ::testing::ValuesIn(replyCases()),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Frames, addresses, and the reply buffer

TEST_F(LinkTest, FramesArriveWhole)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.21");
    Bytes table(20000);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<uint8_t>(i * 7 % 251);

    NetClient client;
    ASSERT_TRUE(client.open("127.0.0.21"));
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_OK);
    EXPECT_LINK_CLOSED(client);
    EXPECT_EQ(client.sendCommand(0x11, table.data(), table.size()), EXCHANGE_OK);
    EXPECT_LINK_CLOSED(client);

    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, 0x20);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_EQ(frames[1].command, 0x11);
    EXPECT_EQ(frames[1].payload, table);
    EXPECT_EQ(terminal.table(), table);
    EXPECT_EQ(terminal.truncatedFrames(), 0u);
}

// Nothing listens there: the attempt is refused, which is a failed
// connection, not one that fails later, and fails at once.
TEST_F(LinkTest, RefusedConnectionIsNoConnection)
{
    NetClient client;
    refusalsMustShowAtOnce(client);
    EXPECT_FALSE(client.open("127.0.0.22"));
    EXPECT_LINK_CLOSED(client);
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_NO_CONNECTION);
    EXPECT_LINK_CLOSED(client);
    EXPECT_EQ(client.getReplySize(), 0u);
}

TEST_F(LinkTest, FailedOpenKeepsItsAddressForLaterExchanges)
{
    NetClient client;
    refusalsMustShowAtOnce(client);
    EXPECT_FALSE(client.open("127.0.0.23"));

    TerminalEmulator& terminal = startTerminal("127.0.0.23");
    EXPECT_EQ(client.sendCommand(CMD_CLEAR, nullptr, 0), EXCHANGE_OK);
    EXPECT_LINK_CLOSED(client);
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, CMD_CLEAR);
}

TEST_F(LinkTest, FailedOpenReplacesTheAddress)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.24");
    NetClient client;
    refusalsMustShowAtOnce(client);
    EXPECT_TRUE(client.open("127.0.0.24"));
    EXPECT_TRUE(terminal.waitForConnections(1, kPatience));

    EXPECT_FALSE(client.open("127.0.0.25"));
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_NO_CONNECTION);
    EXPECT_LINK_CLOSED(client);

    // Back to the terminal: it has seen the first test connection and these
    // two, nothing in between.
    EXPECT_TRUE(client.open("127.0.0.24"));
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_OK);
    EXPECT_EQ(terminal.connections(), 3u);
    EXPECT_EQ(terminal.frames().size(), 1u);
}

TEST_F(LinkTest, ReplyHoldsOnlyTheLastExchangesPayload)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.26");
    terminal.script(Reply::answer(emu::toBytes("ABCDEF")));
    terminal.script(Reply::answer(emu::toBytes("xy")));
    terminal.script(Reply::error(2));
    terminal.script(Reply::answer(emu::toBytes("ABCDEF")));
    terminal.script(Reply::answer({}));

    NetClient client;
    ASSERT_TRUE(client.open("127.0.0.26"));
    const Bytes request = emu::toBytes("Default");
    const auto download = [&] { return client.sendCommand(CMD_DOWNLOAD, request.data(), request.size()); };

    EXPECT_EQ(download(), EXCHANGE_OK);
    EXPECT_EQ(replyOf(client), emu::toBytes("ABCDEF"));
    EXPECT_EQ(download(), EXCHANGE_OK);
    EXPECT_EQ(replyOf(client), emu::toBytes("xy"));
    EXPECT_EQ(download(), 6);
    EXPECT_EQ(client.getReplySize(), 0u);
    EXPECT_EQ(download(), EXCHANGE_OK);
    EXPECT_EQ(download(), EXCHANGE_OK);
    EXPECT_EQ(client.getReplySize(), 0u);
    EXPECT_LINK_CLOSED(client);
}

// Refused before any connection is made. The size is checked first, so the
// pointer is never read.
TEST_F(LinkTest, PayloadsOfTwoGigabytesAreRefusedUnsent)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.28");
    NetClient client;
    ASSERT_TRUE(client.open("127.0.0.28"));
    ASSERT_TRUE(terminal.waitForConnections(1, kPatience));

    const uint8_t byte = 0;
    for (size_t size : {size_t{0x80000000u}, size_t{0xFFFFFFFFu}, SIZE_MAX}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(client.sendCommand(0x11, &byte, size), EXCHANGE_NETWORK);
        EXPECT_LINK_CLOSED(client);
    }
    // The exchange after them is the terminal's second connection.
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_OK);
    EXPECT_EQ(terminal.connections(), 2u);
    EXPECT_EQ(terminal.frames().size(), 1u);
}

// The readiness wait takes a socket numbered above the 1023 that a select
// descriptor set can hold. Linux only: a Windows descriptor set is a list of
// sockets, whatever their values.
#if !defined(_WIN32)
TEST_F(LinkTest, SocketsNumberedAbove1023)
{
    constexpr int kFillTo = 1100;
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_cur < kFillTo + 100) {
        rlimit raised = saved;
        raised.rlim_cur = std::min<rlim_t>(saved.rlim_max, 4096);
        if (raised.rlim_cur < kFillTo + 100 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot have " << kFillTo + 100 << " descriptors open";
    }
    struct Restore {
        rlimit limit;
        std::vector<int> fds;
        ~Restore()
        {
            for (int fd : fds)
                close(fd);
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    } restore{saved, {}};

    // The terminal's own descriptors stay low.
    TerminalEmulator& terminal = startTerminal("127.0.0.29");
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        restore.fds.push_back(fd);
        if (fd >= kFillTo)
            break;
    }
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GT(probe, 1023);
    close(probe);

    terminal.script(Reply::answer({7, 0}));
    NetClient client;
    EXPECT_TRUE(client.open("127.0.0.29"));
    EXPECT_EQ(client.sendCommand(CMD_DOWNLOAD, "Default", 7), EXCHANGE_OK);
    EXPECT_EQ(replyOf(client), (Bytes{7, 0}));
    EXPECT_LINK_CLOSED(client);
}
#endif

// Text that is not numbers-and-dots IPv4 is never tried, not even the
// address it starts with.
TEST_F(LinkTest, AddressesThatAreNotNumbersAndDotsAreNeverTried)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.30");
    NetClient fresh;
    EXPECT_EQ(fresh.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_NO_CONNECTION);
    EXPECT_LINK_CLOSED(fresh);

    NetClient client;
    for (const char* text : {"", "localhost", "127.0.0.30 ", " 127.0.0.30", "127.0.0.30\n",
                             "127.0.0.30x", "127.0.0.30.1", "127.0.0.30:9004"}) {
        SCOPED_TRACE(std::string("\"") + text + "\"");
        EXPECT_FALSE(client.open(text));
        EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_NO_CONNECTION);
        EXPECT_LINK_CLOSED(client);
    }
    EXPECT_TRUE(client.open("127.0.0.30"));
    EXPECT_EQ(client.sendCommand(CMD_TEST, nullptr, 0), EXCHANGE_OK);
    EXPECT_EQ(terminal.connections(), 2u);
}

// ---------------------------------------------------------------------------
// Address text

TEST(AddressText, Parses)
{
    struct Row {
        const char* text;
        bool accepted;
        uint32_t host;  // in host byte order, when accepted
    };
    const Row rows[] = {
        {"127.0.0.1", true, 0x7F000001},
        {"192.168.10.200", true, 0xC0A80AC8},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        // The short forms: the last part fills the bytes that are left.
        {"127.1", true, 0x7F000001},
        {"10.1.515", true, 0x0A010203},
        {"10.65535", true, 0x0A00FFFF},
        {"2130706433", true, 0x7F000001},
        {"4294967295", true, 0xFFFFFFFF},
        // Octal after a leading 0, hexadecimal after 0x.
        {"0x7f.0.0.1", true, 0x7F000001},
        {"0X7F.0.0.0x1", true, 0x7F000001},
        {"0177.0.0.1", true, 0x7F000001},
        {"00.0.0.010", true, 0x00000008},
        {"0xff.0xFF.0xfF.0xFf", true, 0xFFFFFFFF},

        {"", false, 0},
        {"localhost", false, 0},
        {"1.2.3.4.5", false, 0},
        {"256.1.1.1", false, 0},
        {"1.2.3.256", false, 0},
        {"1.256.65535", false, 0},
        {"1.2.65536", false, 0},
        {"1.16777216", false, 0},
        {"4294967296", false, 0},
        {"1.2.3.4 ", false, 0},
        {" 1.2.3.4", false, 0},
        {"1.2.3.4\n", false, 0},
        {"1.2.3.4x", false, 0},
        {"1..2.3", false, 0},
        {".1.2.3", false, 0},
        {"1.2.3.", false, 0},
        {".", false, 0},
        {"0x", false, 0},
        {"0x.0.0.1", false, 0},
        {"08.0.0.1", false, 0},
        {"0xg.0.0.1", false, 0},
        {"-1.2.3.4", false, 0},
        {"+1.2.3.4", false, 0},
        {"1.2.3.-4", false, 0},
        {"0x100000000", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("\"") + row.text + "\"");
        uint32_t address = 0xDEADBEEF;
        EXPECT_EQ(NetClient::parseAddress(row.text, &address), row.accepted);
        if (row.accepted) {
            EXPECT_EQ(ntohl(address), row.host);
        }
    }
    // Text with a zero byte inside is not an address either.
    uint32_t address;
    EXPECT_FALSE(NetClient::parseAddress(std::string("1.2.3.4\0", 8), &address));
    EXPECT_FALSE(NetClient::parseAddress(std::string("1.2\0.3.4", 8), &address));
}

}  // namespace
