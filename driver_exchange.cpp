// The methods that involve the terminal. Each exchange is one call of the
// link: one connection, one command frame, one answer.
#include <string.h>

#include <climits>

#include "DeviceDriver.h"
#include "host_boundary.h"

const char testSuccess[] = "Тест успешно пройден.";
const char testFail[] = "Тест не пройден.";

namespace {
const char DEFAULT_REQUEST[] = "Default";
}

// Reads the terminal's address from a connection parameters document into
// _address. Returns ERR_NONE, ERR_XML_READ (unreadable document or no
// "Address" parameter; _address emptied) or -1 for a parameter that is not a
// string at all (a failure without a code of its own).
int DeviceDriver::readAddress(const tVariant& param)
{
    std::string xml;
    bool usable;
    if (!readDocument(param, &xml, &usable))
        return -1;
    if (!usable || !pugiXmlParamSingleNodeXPath(xml, "Address", "Value", &_address)) {
        _address.clear();
        return ERR_XML_READ;
    }
    return ERR_NONE;
}

bool DeviceDriver::connectEquipment(MethodCall& call)
{
    const int read = readAddress(call.params[2]);
    if (read < 0)
        return false;
    if (read != ERR_NONE) {
        fail(call, read);
        return true;
    }
    // The device identifier is written before the empty-address check, so an
    // empty address reaches the host as an empty string.
    if (!putString(&call.params[0], _address))
        return false;
    if (_address.empty()) {
        fail(call, ERR_NO_ADDRESS);
        return true;
    }
    _sState = 0;
    return reportExchange(call, _client.open(_address) ? ERR_NONE : ERR_NETWORK);
}

bool DeviceDriver::equipmentTest(MethodCall& call)
{
    tVariant& description = call.params[2];
    const int read = readAddress(call.params[1]);
    if (read < 0)
        return false;
    int32_t code = read;
    if (code == ERR_NONE && _address.empty())
        code = ERR_NO_ADDRESS;
    if (code != ERR_NONE) {
        fail(call, code);
        return putString(&description, errorText(code));
    }

    _errCode = ERR_NETWORK;
    bool passed = _client.open(_address);
    if (passed) {
        _errCode = _client.sendCommand(CMD_TEST, nullptr, 0);
        passed = _errCode == ERR_NONE;
    }
    host::setBool(call.result, passed);
    _client.close();
    return putString(&description, passed ? testSuccess : testFail);
}

bool DeviceDriver::disconnectEquipment(MethodCall&)
{
    _client.close();
    return true;
}

bool DeviceDriver::uploadTable(MethodCall& call)
{
    std::string data, status;
    if (!host::readString(call.params[1], &data) || !host::readString(call.params[2], &status))
        return false;

    uint8_t command = CMD_UPLOAD;
    if (status == "first") {
        _sState = 1;
        command |= UPLOAD_FIRST;
    } else if (status == "last") {
        command |= _sState == 0 ? (UPLOAD_FIRST | UPLOAD_LAST) : UPLOAD_LAST;
    }
    return reportExchange(call, _client.sendCommand(command, data.data(), data.size()));
}

// DownloadTable and DownloadTableEx: the second sends the host's request
// instead of "Default".
bool DeviceDriver::downloadTable(MethodCall& call)
{
    std::string request(DEFAULT_REQUEST);
    if (call.number == pDownloadTableEx && !host::readString(call.params[2], &request))
        return false;

    reportExchange(call, _client.sendCommand(CMD_DOWNLOAD, request.data(), request.size()));
    const size_t n = _client.getReplySize();
    if (_errCode != ERR_NONE || n == 0)
        return true;

    // The payload is UTF-16LE as the terminal sent it. It goes to the host as a
    // zero-terminated host string of n / 2 units; a last odd byte is dropped.
    const size_t units = n / 2;
    const size_t bytes = (units + 1) * sizeof(WCHAR_T);
    void* memory = nullptr;
    if (iMemory == nullptr || bytes > ULONG_MAX || units > UINT32_MAX ||
        !iMemory->AllocMemory(&memory, static_cast<unsigned long>(bytes)) || memory == nullptr)
        return false;
    memcpy(memory, _client.getReply(), units * sizeof(WCHAR_T));
    static_cast<WCHAR_T*>(memory)[units] = 0;

    tVariant& table = call.params[1];
    table.vt = VTYPE_PWSTR;
    table.pwstrVal = static_cast<WCHAR_T*>(memory);
    table.wstrLen = static_cast<uint32_t>(units);
    return true;
}

bool DeviceDriver::clearTable(MethodCall& call)
{
    return reportExchange(call, _client.sendCommand(CMD_CLEAR, nullptr, 0));
}
