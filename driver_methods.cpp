// The methods that need neither the terminal nor an XML document, and the
// error texts.
#include "DeviceDriver.h"
#include "host_boundary.h"
#include "myUtils.h"

const char DRIVER_VERSION[] = "4.2.4";

const char* const ERRORS[9] = {
    "Нет ошибок",
    "Не поддерживается",
    "Нет соединения",
    "Сетевая ошибка",
    "Нет документов для выгрузки",
    "Ошибка протокола",
    "Не выбран текущий документ на устройстве",
    "Ошибка чтения XML-документа",
    "Параметр адреса не указан",
};

std::string errorText(int32_t code)
{
    if (code >= 0 && code < static_cast<int32_t>(sizeof ERRORS / sizeof ERRORS[0]))
        return ERRORS[code];
    // Any other code came from a terminal's error answer as its number + 4.
    const uint32_t terminalError = static_cast<uint32_t>(code) - EXCHANGE_DEVICE_ERROR_BASE;
    return str_format("Ошибка терминала %lu", static_cast<unsigned long>(terminalError));
}

bool DeviceDriver::getInterfaceRevision(MethodCall& call)
{
    host::setInt(call.result, VERSION_INT);
    return true;
}

bool DeviceDriver::getLastError(MethodCall& call)
{
    host::setInt(call.result, _errCode);
    return putString(&call.params[0], errorText(_errCode));
}

// DoAdditionalAction, GetLocalizationPattern and SetLocalization: the driver
// offers no additional actions and no localisation. Parameters stay as passed.
bool DeviceDriver::notSupported(MethodCall& call)
{
    fail(call, ERR_NOT_SUPPORTED);
    return true;
}

bool DeviceDriver::getVersion(MethodCall& call)
{
    return putString(call.result, DRIVER_VERSION);
}
