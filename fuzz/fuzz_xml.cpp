// The readers of the host's XML documents on arbitrary text, the way
// ConnectEquipment and SetApplicationInformation use them.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "DeviceDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static DeviceDriver* driver = new DeviceDriver();
    const std::string xml(reinterpret_cast<const char*>(data), size);

    std::string address = "unchanged";
    const int found = driver->pugiXmlParamSingleNodeXPath(xml, "Address", "Value", &address);
    if (!found && address != "unchanged")
        abort();  // the destination changes only on success

    std::string name = "unchanged";
    const int read = driver->pugiXmlAppSettingsSingleNodeXPath(xml, "ApplicationName", &name);
    if (!read && name != "unchanged")
        abort();
    return 0;
}
