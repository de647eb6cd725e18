// The methods that talk to the terminal, as the host calls them, with the
// emulated terminal on the other end: what they read and write, what reaches
// the terminal, and that no socket is left open after any call.
//
// Every test that uses the network has loopback addresses of its own
// (127.0.0.70 to 127.0.0.119), so test processes can run side by side.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>


#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tests/open_sockets.h"
#include "tests/terminal_fixture.h"
#include "terminal_emulator.h"

using namespace harness;

namespace {

namespace emu = tavrolink::emu;
using emu::Reply;
using emu::TerminalEmulator;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kTerminalPort = 9004;

const char TEST_PASSED[] = "Тест успешно пройден.";
const char TEST_FAILED[] = "Тест не пройден.";

// The driver's own sockets: every one not on the terminal's port.
size_t driverSockets() { return testing_sockets::clientSockets(kTerminalPort); }

// A parameter that no method should touch, and the check that none did.
Param marker() { return Param::i4(0x2468ACE); }

bool untouched(const Param& p)
{
    const Param m = marker();
    return memcmp(&p.var, &m.var, sizeof p.var) == 0;
}

std::string document(const std::string& address) { return connectionParameters(address); }

// One component object and the terminals it talks to. Every call goes
// through call(), which checks that no socket is left behind; at the end the
// terminals are stopped and the process holds as many descriptors as before.
class ExchangeFixture : public TerminalsFixture {
protected:
    CallResult call(const std::string& method, std::vector<Param>& params)
    {
        const CallResult r = c.call(method, params);
        EXPECT_TRUE(r.returned) << method;
        EXPECT_EQ(r.value.vt, VTYPE_BOOL) << method;
        EXPECT_EQ(driverSockets(), 0u) << method << " left a socket open";
        return r;
    }

    CallResult connect(const std::string& parameters, std::vector<Param>* out = nullptr)
    {
        std::vector<Param> params{marker(), marker(), Param::str(parameters)};
        const CallResult r = call("ConnectEquipment", params);
        if (out != nullptr)
            *out = params;
        return r;
    }

    CallResult upload(const Param& data, const std::string& status)
    {
        std::vector<Param> params{marker(), data, Param::str(status)};
        return call("UploadTable", params);
    }

    CallResult clearTable()
    {
        std::vector<Param> params{marker()};
        return call("ClearTable", params);
    }

    int32_t lastError(std::string* text = nullptr) { return c.lastError(text); }

    Component c;

private:
};

// ---------------------------------------------------------------------------
// ConnectEquipment and the address of the link

using ExchangeConnect = ExchangeFixture;

TEST_F(ExchangeConnect, MakesAConnectionAndSendsNothing)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.71");
    std::vector<Param> params;
    EXPECT_TRUE(connect(document("127.0.0.71"), &params).ok());
    std::string text;
    EXPECT_EQ(lastError(&text), 0);
    EXPECT_EQ(text, "Нет ошибок");
    EXPECT_EQ(Component::textOf(params[0]), "127.0.0.71");
    EXPECT_TRUE(untouched(params[1]));

    // The clear is the second connection, and the first frame.
    EXPECT_TRUE(clearTable().ok());
    EXPECT_EQ(terminal.connections(), 2u);
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, 0x40);
    EXPECT_TRUE(frames[0].payload.empty());
}

// Nothing listens at first; the address stays with the link, and the next
// exchange tries it again.
TEST_F(ExchangeConnect, RefusedConnectionThenTheSameAddressAgain)
{
    std::vector<Param> params;
    EXPECT_TRUE(connect(document("127.0.0.72"), &params).failed());
    std::string text;
    EXPECT_EQ(lastError(&text), 3);
    EXPECT_EQ(text, "Сетевая ошибка");
    EXPECT_EQ(Component::textOf(params[0]), "127.0.0.72");

    EXPECT_TRUE(clearTable().failed());
    EXPECT_EQ(lastError(&text), 2);
    EXPECT_EQ(text, "Нет соединения");

    TerminalEmulator& terminal = startTerminal("127.0.0.72");
    EXPECT_TRUE(clearTable().ok());
    EXPECT_EQ(lastError(), 0);
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, 0x40);
}

TEST_F(ExchangeConnect, ExchangesBeforeAnyAddressReachNothing)
{
    EXPECT_TRUE(clearTable().failed());
    EXPECT_EQ(lastError(), 2);
    std::vector<Param> params{marker(), marker()};
    EXPECT_TRUE(call("DownloadTable", params).failed());
    EXPECT_EQ(lastError(), 2);
    EXPECT_TRUE(untouched(params[1]));
}

// Connection parameters that give no address: ConnectEquipment and
// EquipmentTest fail without any connection, and the link keeps the address
// it had.
TEST_F(ExchangeConnect, ParametersWithoutAnAddress)
{
    struct Row {
        const char* what;
        std::string parameters;
        int32_t code;
        const char* text;
    };
    const Row rows[] = {
        {"not XML", "Address=127.0.0.70", 7, "Ошибка чтения XML-документа"},
        {"no Address parameter",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Parameters>"
         "<Parameter Name=\"Port\" Value=\"9004\"/></Parameters>",
         7, "Ошибка чтения XML-документа"},
        {"empty Value", document(""), 8, "Параметр адреса не указан"},
        {"no Value",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Parameters>"
         "<Parameter Name=\"Address\"/></Parameters>",
         8, "Параметр адреса не указан"},
    };

    TerminalEmulator& terminal = startTerminal("127.0.0.70");
    ASSERT_TRUE(connect(document("127.0.0.70")).ok());
    ASSERT_TRUE(terminal.waitForConnections(1, std::chrono::seconds(5)));

    size_t clears = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Param> params;
        EXPECT_TRUE(connect(row.parameters, &params).failed());
        std::string text;
        EXPECT_EQ(lastError(&text), row.code);
        EXPECT_EQ(text, row.text);
        if (row.code == 7) {
            EXPECT_TRUE(untouched(params[0]));
        } else {
            // The identifier is written before the address is found empty.
            ASSERT_EQ(params[0].var.vt, VTYPE_PWSTR);
            EXPECT_EQ(params[0].var.wstrLen, 0u);
            EXPECT_EQ(params[0].var.pwstrVal[0], 0);
        }
        EXPECT_TRUE(untouched(params[1]));

        std::vector<Param> test{marker(), Param::str(row.parameters), marker(), marker()};
        EXPECT_TRUE(call("EquipmentTest", test).failed());
        EXPECT_EQ(lastError(), row.code);
        EXPECT_EQ(Component::textOf(test[2]), row.text);
        EXPECT_TRUE(untouched(test[0]));
        EXPECT_TRUE(untouched(test[3]));

        // The link still has the terminal's address.
        EXPECT_TRUE(clearTable().ok());
        ++clears;
    }
    EXPECT_EQ(terminal.connections(), 1 + clears);
    EXPECT_EQ(terminal.frames().size(), clears);
}

// ---------------------------------------------------------------------------
// UploadTable

// One step of an upload session: a package, or a ConnectEquipment in
// between (with the terminal's address, or with parameters that give none).
struct UploadStep {
    enum Kind { Package, Connect, ConnectWithoutAddress, ConnectUnreadable } kind;
    const char* status;
    const char* data;
    uint8_t command;  // of the package's frame
    int32_t code;     // after the package
    std::optional<Reply> reply = std::nullopt;  // the terminal's, if not its usual one
};

struct UploadCase {
    const char* name;
    const char* address;
    std::vector<UploadStep> steps;
};

void PrintTo(const UploadCase& row, std::ostream* os) { *os << row.name; }

UploadStep package(const char* status, const char* data, uint8_t command, int32_t code = 0,
                   std::optional<Reply> reply = std::nullopt)
{
    return {UploadStep::Package, status, data, command, code, std::move(reply)};
}

const UploadStep CONNECT{UploadStep::Connect, "", "", 0, 0};
const UploadStep CONNECT_WITHOUT_ADDRESS{UploadStep::ConnectWithoutAddress, "", "", 0, 0};
const UploadStep CONNECT_UNREADABLE{UploadStep::ConnectUnreadable, "", "", 0, 0};

// The terminal answers a middle or last package without a first one with its
// error 1 (code 5).
std::vector<UploadCase> uploadCases()
{
    return {
        {"FirstMiddleLast", "127.0.0.73",
         {CONNECT, package("first", "a;1\n", 0x11), package("", "b;2\n", 0x10),
          package("middle", "c;3\n", 0x10), package("last", "d;4\n", 0x12)}},
        {"LoneLastAfterConnect", "127.0.0.74", {CONNECT, package("last", "a;1\n", 0x13)}},
        {"SecondUploadWithoutConnect", "127.0.0.75",
         {CONNECT, package("first", "a", 0x11), package("last", "b", 0x12),
          package("last", "c", 0x12, 5)}},
        {"StatusIsCaseSensitive", "127.0.0.76",
         {CONNECT, package("First", "a", 0x10, 5), package("LAST", "b", 0x10, 5),
          package("first ", "c", 0x10, 5), package("last", "d", 0x13)}},
        {"ConnectStartsAfresh", "127.0.0.77",
         {CONNECT, package("first", "a", 0x11), CONNECT, package("last", "b", 0x13)}},
        {"ConnectWithoutAnAddressKeepsTheUpload", "127.0.0.78",
         {CONNECT, package("first", "a", 0x11), CONNECT_WITHOUT_ADDRESS, CONNECT_UNREADABLE,
          package("last", "b", 0x12)}},
        {"FailedFirstStillStartsTheUpload", "127.0.0.79",
         {CONNECT, package("first", "a", 0x11, 5, Reply::error(1)),
          package("last", "b", 0x12, 5)}},
    };
}

class UploadPackages : public ExchangeFixture, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadPackages, CommandBytes)
{
    const UploadCase& row = GetParam();
    TerminalEmulator& terminal = startTerminal(row.address);
    std::vector<const UploadStep*> packages;
    for (const UploadStep& step : row.steps) {
        switch (step.kind) {
        case UploadStep::Connect:
            ASSERT_TRUE(connect(document(row.address)).ok());
            break;
        case UploadStep::ConnectWithoutAddress:
            ASSERT_TRUE(connect(document("")).failed());
            ASSERT_EQ(lastError(), 8);
            break;
        case UploadStep::ConnectUnreadable:
            ASSERT_TRUE(connect("<Parameters>").failed());
            ASSERT_EQ(lastError(), 7);
            break;
        case UploadStep::Package: {
            SCOPED_TRACE(std::string("package \"") + step.data + "\", status \"" + step.status + "\"");
            if (step.reply)
                terminal.script(*step.reply);
            const CallResult r = upload(Param::str(step.data), step.status);
            EXPECT_EQ(r.ok(), step.code == 0);
            EXPECT_EQ(lastError(), step.code);
            packages.push_back(&step);
            break;
        }
        }
    }

    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), packages.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].command, packages[i]->command);
        EXPECT_EQ(frames[i].text(), packages[i]->data);
    }
}

INSTANTIATE_TEST_SUITE_P(Exchange, UploadPackages, ::testing::ValuesIn(uploadCases()),
                         [](const ::testing::TestParamInfo<UploadCase>& info) {
                             return std::string(info.param.name);
                         });

using ExchangeUploadData = ExchangeFixture;

TEST_F(ExchangeUploadData, NoDataIsAnEmptyPackage)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.80");
    ASSERT_TRUE(connect(document("127.0.0.80")).ok());
    for (const Param& data : {Param::str(""), Param::empty()}) {
        EXPECT_TRUE(upload(data, "last").ok());
        EXPECT_EQ(lastError(), 0);
    }
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 2u);
    for (const emu::Frame& frame : frames) {
        EXPECT_EQ(frame.command, 0x13);
        EXPECT_TRUE(frame.payload.empty());
    }
}

TEST_F(ExchangeUploadData, TextArrivesAsUtf8)
{
    const std::string table = "Код;Наименование;Кол-во\n4600000000017;Яблоко 🍎;3\n";
    TerminalEmulator& terminal = startTerminal("127.0.0.81");
    ASSERT_TRUE(connect(document("127.0.0.81")).ok());
    EXPECT_TRUE(upload(Param::str(table), "last").ok());
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, 0x13);
    EXPECT_EQ(frames[0].payload, Bytes(table.begin(), table.end()));
    EXPECT_TRUE(terminal.tableComplete());
}

// ---------------------------------------------------------------------------
// DownloadTable and DownloadTableEx

using ExchangeDownload = ExchangeFixture;

TEST_F(ExchangeDownload, HandsOverTheCollectedData)
{
    const std::string collected = "Склад;5\n🍎;12\n";
    TerminalEmulator& terminal = startTerminal("127.0.0.82");
    ASSERT_TRUE(terminal.setCollectedDataFromUtf8(collected));
    ASSERT_TRUE(connect(document("127.0.0.82")).ok());

    std::vector<Param> params{marker(), marker()};
    EXPECT_TRUE(call("DownloadTable", params).ok());
    EXPECT_EQ(lastError(), 0);
    EXPECT_EQ(Component::textOf(params[1]), collected);
    const size_t units = fromUtf8(collected).size();
    ASSERT_EQ(params[1].var.vt, VTYPE_PWSTR);
    EXPECT_EQ(params[1].var.wstrLen, units);
    EXPECT_EQ(c.memory().blockSize(params[1].var.pwstrVal), (units + 1) * 2);
    EXPECT_EQ(params[1].var.pwstrVal[units], 0);
    EXPECT_TRUE(untouched(params[0]));

    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, 0x80);
    EXPECT_EQ(frames[0].payload, emu::toBytes("Default"));
}

TEST_F(ExchangeDownload, ExSendsTheHostsRequest)
{
    struct Row {
        const char* what;
        Param request;
        std::string sent;
    };
    const Row rows[] = {
        {"text", Param::str("Остатки;Склад №2"), "Остатки;Склад №2"},
        {"empty text", Param::str(""), ""},
        {"empty variant", Param::empty(), ""},
    };
    TerminalEmulator& terminal = startTerminal("127.0.0.83");
    ASSERT_TRUE(terminal.setCollectedDataFromUtf8("x"));
    ASSERT_TRUE(connect(document("127.0.0.83")).ok());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Param> params{marker(), marker(), row.request};
        EXPECT_TRUE(call("DownloadTableEx", params).ok());
        EXPECT_EQ(Component::textOf(params[1]), "x");
    }
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        EXPECT_EQ(frames[i].command, 0x80);
        EXPECT_EQ(frames[i].text(), rows[i].sent);
    }
}

TEST_F(ExchangeDownload, EmptyAnswerLeavesTheTableParameter)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.84");
    ASSERT_TRUE(connect(document("127.0.0.84")).ok());
    terminal.script(Reply::answer({}));
    std::vector<Param> params{marker(), marker()};
    const size_t requests = c.memory().requests();
    EXPECT_TRUE(call("DownloadTable", params).ok());
    EXPECT_EQ(c.memory().requests(), requests) << "memory asked for with nothing to hand over";
    EXPECT_EQ(lastError(), 0);
    EXPECT_TRUE(untouched(params[1]));
}

// A last odd byte is dropped; the host string is zero-terminated.
TEST_F(ExchangeDownload, OddPayload)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.85");
    ASSERT_TRUE(connect(document("127.0.0.85")).ok());
    terminal.script(Reply::answer({'O', 0, 'K', 0, '!'}));
    std::vector<Param> params{marker(), marker()};
    EXPECT_TRUE(call("DownloadTable", params).ok());
    ASSERT_EQ(params[1].var.vt, VTYPE_PWSTR);
    EXPECT_EQ(params[1].var.wstrLen, 2u);
    EXPECT_EQ(c.memory().blockSize(params[1].var.pwstrVal), 6u);
    EXPECT_EQ(params[1].var.pwstrVal[0], 'O');
    EXPECT_EQ(params[1].var.pwstrVal[1], 'K');
    EXPECT_EQ(params[1].var.pwstrVal[2], 0);
}

TEST_F(ExchangeDownload, TerminalErrors)
{
    struct Row {
        uint32_t terminalError;
        int32_t code;
        const char* text;
    };
    const Row rows[] = {
        {0, 4, "Нет документов для выгрузки"},
        {1, 5, "Ошибка протокола"},
        {2, 6, "Не выбран текущий документ на устройстве"},
        {7, 11, "Ошибка терминала 7"},
    };
    TerminalEmulator& terminal = startTerminal("127.0.0.86");
    ASSERT_TRUE(connect(document("127.0.0.86")).ok());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.terminalError);
        terminal.script(Reply::error(row.terminalError));
        std::vector<Param> params{marker(), marker()};
        EXPECT_TRUE(call("DownloadTable", params).failed());
        std::string text;
        EXPECT_EQ(lastError(&text), row.code);
        EXPECT_EQ(text, row.text);
        EXPECT_TRUE(untouched(params[1]));
    }
    EXPECT_EQ(terminal.frames().size(), 4u);
}

TEST_F(ExchangeDownload, RefusedMemoryLeavesTheTableParameter)
{
    TerminalEmulator& terminal = startTerminal("127.0.0.87");
    ASSERT_TRUE(connect(document("127.0.0.87")).ok());
    terminal.script(Reply::answer({'O', 0, 'K', 0, '!'}));
    const size_t requests = c.memory().requests();
    const size_t blocks = c.memory().liveBlocks();
    c.memory().refuseRequest(1);
    std::vector<Param> params{marker(), marker()};
    EXPECT_TRUE(call("DownloadTable", params).failed());
    EXPECT_TRUE(untouched(params[1]));
    ASSERT_EQ(c.memory().requests(), requests + 1);
    EXPECT_EQ(c.memory().requestSizes().back(), 6u);
    EXPECT_EQ(c.memory().liveBlocks(), blocks);
}

// ---------------------------------------------------------------------------
// EquipmentTest

struct TestCase {
    const char* name;
    const char* address;
    bool terminalRuns;
    std::optional<Reply> reply;  // the terminal's answer to the test, if not the usual one
    bool passed;
    int32_t code;
    size_t connections;  // the terminal's
};

void PrintTo(const TestCase& row, std::ostream* os) { *os << row.name; }

std::vector<TestCase> testCases()
{
    return {
        // A connection test, then the test frame.
        {"Passes", "127.0.0.88", true, std::nullopt, true, 0, 2},
        // The connection test fails: no test frame is even tried (it would
        // fail as no connection, 2).
        {"NothingListens", "127.0.0.89", false, std::nullopt, false, 3, 0},
        {"TerminalError1", "127.0.0.90", true, Reply::error(1), false, 5, 2},
    };
}

class EquipmentTestOutcome : public ExchangeFixture,
                             public ::testing::WithParamInterface<TestCase> {};

TEST_P(EquipmentTestOutcome, Of)
{
    const TestCase& row = GetParam();
    TerminalEmulator* terminal = row.terminalRuns ? &startTerminal(row.address) : nullptr;
    if (terminal != nullptr && row.reply)
        terminal->script(*row.reply);

    std::vector<Param> params{marker(), Param::str(document(row.address)), marker(), marker()};
    const CallResult r = call("EquipmentTest", params);
    EXPECT_EQ(r.ok(), row.passed);
    EXPECT_EQ(lastError(), row.code);
    EXPECT_EQ(Component::textOf(params[2]), row.passed ? TEST_PASSED : TEST_FAILED);
    EXPECT_TRUE(untouched(params[0]));
    EXPECT_TRUE(untouched(params[3]));

    if (terminal != nullptr) {
        EXPECT_EQ(terminal->connections(), row.connections);
        const std::vector<emu::Frame> frames = terminal->frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].command, 0x20);
        EXPECT_TRUE(frames[0].payload.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Exchange, EquipmentTestOutcome, ::testing::ValuesIn(testCases()),
                         [](const ::testing::TestParamInfo<TestCase>& info) {
                             return std::string(info.param.name);
                         });

using ExchangeTestedAddress = ExchangeFixture;

// The tested address replaces the connected one for later exchanges.
TEST_F(ExchangeTestedAddress, IsUsedByLaterExchanges)
{
    TerminalEmulator& connected = startTerminal("127.0.0.91");
    TerminalEmulator& tested = startTerminal("127.0.0.92");
    ASSERT_TRUE(connect(document("127.0.0.91")).ok());
    std::vector<Param> params{marker(), Param::str(document("127.0.0.92")), marker(), marker()};
    EXPECT_TRUE(call("EquipmentTest", params).ok());
    EXPECT_TRUE(clearTable().ok());

    EXPECT_TRUE(connected.frames().empty());
    const std::vector<emu::Frame> frames = tested.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, 0x20);
    EXPECT_EQ(frames[1].command, 0x40);
}

// ---------------------------------------------------------------------------
// DisconnectEquipment

using ExchangeDisconnect = ExchangeFixture;

// Always true; the last error, the link's address and the upload under way
// all stay.
TEST_F(ExchangeDisconnect, ChangesNothing)
{
    std::vector<Param> params{marker()};
    EXPECT_TRUE(call("DisconnectEquipment", params).ok());
    EXPECT_EQ(lastError(), 0);

    TerminalEmulator& terminal = startTerminal("127.0.0.93");
    ASSERT_TRUE(connect(document("127.0.0.93")).ok());
    EXPECT_TRUE(upload(Param::str("a"), "first").ok());
    terminal.script(Reply::error(1));
    EXPECT_TRUE(clearTable().failed());
    ASSERT_EQ(lastError(), 5);

    EXPECT_TRUE(call("DisconnectEquipment", params).ok());
    EXPECT_TRUE(untouched(params[0]));
    std::string text;
    EXPECT_EQ(lastError(&text), 5);
    EXPECT_EQ(text, "Ошибка протокола");

    EXPECT_TRUE(upload(Param::str("b"), "last").ok());
    const std::vector<emu::Frame> frames = terminal.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2].command, 0x12);
    EXPECT_EQ(terminal.table(), emu::toBytes("ab"));
}

}  // namespace
