#include "method_registry.h"

#include "utf_codec.h"

const char* const methods_names_en[pLast] = {
    "GetInterfaceRevision",
    "GetDescription",
    "GetLastError",
    "GetAdditionalActions",
    "DoAdditionalAction",
    "UploadTable",
    "DownloadTable",
    "DownloadTableEx",
    "GetVersion",
    "ClearTable",
    "EquipmentParameters",
    "ConnectEquipment",
    "DisconnectEquipment",
    "EquipmentTest",
    "EquipmentAutoSetup",
    "SetApplicationInformation",
    "GetLocalizationPattern",
    "SetLocalization",
};

const char* const methods_names_ru[pLast] = {
    "ПолучитьРевизиюИнтерфейса",
    "ПолучитьОписание",
    "ПолучитьОшибку",
    "ПолучитьДополнительныеДействия",
    "ВыполнитьДополнительноеДействие",
    "ВыгрузитьТаблицу",
    "ЗагрузитьТаблицу",
    "ЗагрузитьТаблицуДоп",
    "ПолучитьВерсию",
    "ОчиститьТаблицу",
    "ПараметрыОборудования",
    "ПодключитьОборудование",
    "ОтключитьОборудование",
    "ТестированиеОборудования",
    "АвтонастройкаОборудования",
    "УстановитьИнформациюПриложения",
    "ПолучитьШаблонЛокализации",
    "УстановитьЛокализацию",
};

const long lMethodParams[pLast] = {0, 1, 1, 1, 1, 3, 2, 3, 0, 1, 2, 3, 1, 4, 5, 1, 1, 2};

namespace {

// The longest name is far below this; names are decoded into a stack buffer.
constexpr size_t kMaxNameUnits = 64;

struct WideName {
    WCHAR_T units[kMaxNameUnits];
    size_t length;
};

// The table names as host strings, decoded once at load time, so a lookup is
// a comparison of units and never converts or allocates.
struct NameTable {
    WideName en[pLast];
    WideName ru[pLast];

    NameTable()
    {
        for (int i = 0; i < pLast; ++i) {
            decode(methods_names_en[i], &en[i]);
            decode(methods_names_ru[i], &ru[i]);
        }
    }

    static void decode(const char* name, WideName* out)
    {
        size_t bytes = 0;
        while (name[bytes] != '\0')
            ++bytes;
        out->length = utf::writeUtf16(name, bytes, out->units);
    }
};

const NameTable& nameTable()
{
    static const NameTable table;
    return table;
}

bool sameName(const WCHAR_T* name, size_t length, const WideName& entry)
{
    if (length != entry.length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != entry.units[i])
            return false;
    }
    return true;
}

}  // namespace

long findMethodNumber(const WCHAR_T* name)
{
    if (name == nullptr)
        return -1;
    // Stop counting past the longest possible name: such a name matches none.
    size_t length = 0;
    while (name[length] != 0 && length <= kMaxNameUnits)
        ++length;
    const NameTable& table = nameTable();
    for (long i = 0; i < pLast; ++i) {
        if (sameName(name, length, table.en[i]) || sameName(name, length, table.ru[i]))
            return i;
    }
    return -1;
}
