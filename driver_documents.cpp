// The XML documents that describe the driver, and the readers of the host's
// documents (connection parameters, application settings).
#include <pugixml.hpp>

#include "DeviceDriver.h"
#include "host_boundary.h"
#include "myUtils.h"
#include "utf_codec.h"

const char equipmentType[] = "ТерминалСбораДанных";

namespace {

const char DRIVER_DESCRIPTION[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DriverDescription Name=\"Велитор: Терминалы сбора "
    "данных\" Description=\"Велитор: Терминалы сбора данных\" "
    "EquipmentType=\"ТерминалСбораДанных\"  IntegrationComponent=\"false\" "
    "MainDriverInstalled=\"true\" DriverVersion=\"4.2.4\" IntegrationComponentVersion=\"4.2.4\" "
    "LocalizationSupported=\"false\" AutoSetup=\"false\" LogIsEnabled=\"%s\" LogPath=\"\"/>";

const char ADDITIONAL_ACTIONS[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><Actions></Actions>";

const char SETTINGS_FORM[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Settings><Page Caption=\"Параметры\"><Group "
    "Caption=\"Параметры подключения\"><Parameter Name=\"Address\" Caption=\"Адрес устройства\" "
    "TypeValue=\"String\" DefaultValue=\"%s\"/></Group></Page></Settings>";

// The text as an XML attribute value in double quotes. Markup characters are
// escaped, and so are tabs and line ends, which a parser would otherwise turn
// into blanks. A plain address comes out unchanged.
std::string escapeAttribute(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c; break;
        }
    }
    return out;
}

}  // namespace

std::string DeviceDriver::settingsForm() const
{
    return str_format(SETTINGS_FORM, escapeAttribute(_address).c_str());
}

bool DeviceDriver::readDocument(const tVariant& param, std::string* xml, bool* usable)
{
    // A document beyond any sensible size is refused before it is converted.
    *usable = !(param.vt == VTYPE_PWSTR && param.pwstrVal != nullptr &&
                utf::hostLength(param.pwstrVal) > MAX_DOCUMENT_UNITS);
    if (!*usable)
        return true;
    return host::readString(param, xml);
}

bool DeviceDriver::getDescription(MethodCall& call)
{
    return putString(&call.params[0], str_format(DRIVER_DESCRIPTION, _logEnabled ? "true" : "false"));
}

bool DeviceDriver::getAdditionalActions(MethodCall& call)
{
    return putString(&call.params[0], ADDITIONAL_ACTIONS);
}

bool DeviceDriver::equipmentParameters(MethodCall& call)
{
    return putString(&call.params[1], settingsForm());
}

// Automatic set-up is not supported; the method says so through its result,
// although it fills in the equipment type and the settings form.
bool DeviceDriver::equipmentAutoSetup(MethodCall& call)
{
    if (!putString(&call.params[0], equipmentType) || !putString(&call.params[2], settingsForm()))
        return false;
    fail(call, ERR_NOT_SUPPORTED);
    return true;
}

bool DeviceDriver::setApplicationInformation(MethodCall& call)
{
    std::string xml;
    bool usable;
    if (!readDocument(call.params[0], &xml, &usable))
        return false;
    if (!usable || !pugiXmlAppSettingsSingleNodeXPath(xml, "ApplicationName", &_appName)) {
        _appName.clear();
        fail(call, ERR_XML_READ);
        return true;
    }
    if (!pugiXmlAppSettingsSingleNodeXPath(xml, "ApplicationVersion", &_appVersion)) {
        _appVersion.clear();
        fail(call, ERR_XML_READ);
    }
    return true;
}

int DeviceDriver::pugiXmlParamSingleNodeXPath(std::string xml, std::string name, std::string tag,
                                              std::string* dest)
{
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str()))
        return 0;
    // Only the direct children of the document element "Parameters" count.
    for (pugi::xml_node parameter : doc.child("Parameters").children("Parameter")) {
        if (name == parameter.attribute("Name").value()) {
            *dest = parameter.attribute(tag.c_str()).value();
            return 1;
        }
    }
    return 0;
}

int DeviceDriver::pugiXmlAppSettingsSingleNodeXPath(std::string xml, std::string tag,
                                                    std::string* dest)
{
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str()))
        return 0;
    pugi::xpath_node selected = doc.select_node("/ApplicationSettings");
    if (!selected)
        return 0;
    pugi::xml_attribute attribute = selected.node().attribute(tag.c_str());
    if (!attribute)
        return 0;
    *dest = attribute.value();
    return 1;
}
