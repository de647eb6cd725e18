// The method registry (names, numbers, parameter counts) and the dispatch of
// CallAsFunc, as the host sees them. Nothing here sets the C library's locale:
// Russian names and texts must come out whole under the "C" locale.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "tests/host_harness.h"

using namespace harness;

namespace {

struct MethodRow {
    long number;
    const char* en;
    const char* ru;
    long params;
};

// The registry as the host's configuration spells it.
const MethodRow METHODS[] = {
    {0, "GetInterfaceRevision", "ПолучитьРевизиюИнтерфейса", 0},
    {1, "GetDescription", "ПолучитьОписание", 1},
    {2, "GetLastError", "ПолучитьОшибку", 1},
    {3, "GetAdditionalActions", "ПолучитьДополнительныеДействия", 1},
    {4, "DoAdditionalAction", "ВыполнитьДополнительноеДействие", 1},
    {5, "UploadTable", "ВыгрузитьТаблицу", 3},
    {6, "DownloadTable", "ЗагрузитьТаблицу", 2},
    {7, "DownloadTableEx", "ЗагрузитьТаблицуДоп", 3},
    {8, "GetVersion", "ПолучитьВерсию", 0},
    {9, "ClearTable", "ОчиститьТаблицу", 1},
    {10, "EquipmentParameters", "ПараметрыОборудования", 2},
    {11, "ConnectEquipment", "ПодключитьОборудование", 3},
    {12, "DisconnectEquipment", "ОтключитьОборудование", 1},
    {13, "EquipmentTest", "ТестированиеОборудования", 4},
    {14, "EquipmentAutoSetup", "АвтонастройкаОборудования", 5},
    {15, "SetApplicationInformation", "УстановитьИнформациюПриложения", 1},
    {16, "GetLocalizationPattern", "ПолучитьШаблонЛокализации", 1},
    {17, "SetLocalization", "УстановитьЛокализацию", 2},
};
constexpr long METHOD_COUNT = 18;

const long OUT_OF_RANGE[] = {18, 19, -1, LONG_MAX, LONG_MIN};

// Nothing listens on this address: a connection attempt is refused at once.
const char DEAD_ADDRESS[] = "127.0.0.61";

const char APP_SETTINGS[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<ApplicationSettings ApplicationName=\"Склад\" ApplicationVersion=\"8.3.24\"/>";

tVariant patterned()
{
    tVariant v;
    memset(&v, 0x5A, sizeof v);
    return v;
}


// Blocks that the component took from the memory manager and neither handed
// to the host (in the result or a parameter) nor gave back: leaks.
size_t strayBlocks(RecordingMemory& memory, const tVariant& result, const std::vector<Param>& params)
{
    std::set<const void*> handed;
    auto note = [&](const tVariant& v) {
        if (v.vt == VTYPE_PWSTR && v.pwstrVal != nullptr && memory.blockSize(v.pwstrVal) != 0)
            handed.insert(v.pwstrVal);
    };
    note(result);
    for (const Param& p : params)
        note(p.var);
    return memory.liveBlocks() - handed.size();
}

// GetLastError's code, and its text; the text's block is given back, so that
// the memory manager shows only what the method under test left.
int32_t errorCode(Component& c, std::string* text = nullptr)
{
    std::vector<Param> params{Param::empty()};
    CallResult r = c.call(2, params);
    if (text != nullptr)
        *text = Component::textOf(params[0]);
    if (params[0].var.vt == VTYPE_PWSTR)
        c.memory().FreeMemory(reinterpret_cast<void**>(&params[0].var.pwstrVal));
    return r.value.vt == VTYPE_I4 ? r.value.lVal : INT32_MIN;
}

// A component whose error code is 3 (its connection test to DEAD_ADDRESS
// failed) and whose link points at DEAD_ADDRESS, so that exchanges fail at
// once with code 2. Code 3 is set by no method except a connection test, so an
// unchanged code is told apart from one that a method sets.
constexpr int32_t PRESET_CODE = 3;
void preset(Component& c)
{
    std::vector<Param> params{Param::empty(), Param::empty(),
                              Param::str(connectionParameters(DEAD_ADDRESS))};
    c.call(11, params);
    c.memory().FreeMemory(reinterpret_cast<void**>(&params[0].var.pwstrVal));
    ASSERT_EQ(errorCode(c), PRESET_CODE);
    ASSERT_EQ(c.memory().liveBlocks(), 0u);
}

// Parameters with which each method runs as far as it can without a terminal.
std::vector<Param> usualParams(long method)
{
    std::vector<Param> p;
    for (long i = 0; i < METHODS[method].params; ++i)
        p.push_back(Param::empty());
    switch (method) {
    case 4: p[0] = Param::str("Action"); break;
    case 5: p[1] = Param::str("<Table/>"); p[2] = Param::str("first"); break;
    case 7: p[2] = Param::str("Default"); break;
    case 11: p[2] = Param::str(connectionParameters(DEAD_ADDRESS)); break;
    case 13: p[1] = Param::str(connectionParameters(DEAD_ADDRESS)); break;
    case 15: p[0] = Param::str(APP_SETTINGS); break;
    case 17: p[0] = Param::str("ru"); p[1] = Param::str("<Pattern/>"); break;
    default: break;
    }
    return p;
}

// The parameters that each method reads as input strings.
bool isInput(long method, size_t param)
{
    switch (method) {
    case 5: return param == 1 || param == 2;
    case 7: return param == 2;
    case 11: return param == 2;
    case 13: return param == 1;
    case 15: return param == 0;
    default: return false;
    }
}

bool sameResult(const tVariant& a, const tVariant& b)
{
    if (a.vt != b.vt)
        return false;
    switch (a.vt) {
    case VTYPE_BOOL: return a.bVal == b.bVal;
    case VTYPE_I4: return a.lVal == b.lVal;
    case VTYPE_PWSTR:
        return a.wstrLen == b.wstrLen && memcmp(a.pwstrVal, b.pwstrVal, a.wstrLen * 2) == 0;
    default: return false;
    }
}

std::string describe(const tVariant& v)
{
    switch (v.vt) {
    case VTYPE_BOOL: return v.bVal ? "bool true" : "bool false";
    case VTYPE_I4: return "I4 " + std::to_string(v.lVal);
    case VTYPE_PWSTR: return "string \"" + toUtf8(v.pwstrVal, v.wstrLen) + "\"";
    default: return "vt " + std::to_string(v.vt);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The registry

TEST(Registry, CountsEighteenMethods)
{
    Component c;
    EXPECT_EQ(c.object()->GetNMethods(), METHOD_COUNT);
}

TEST(Registry, FindsEveryMethodByBothNames)
{
    Component c;
    for (const MethodRow& m : METHODS) {
        EXPECT_EQ(c.find(m.en), m.number) << m.en;
        EXPECT_EQ(c.find(m.ru), m.number) << m.ru;
    }
    EXPECT_EQ(c.memory().requests(), 0u);
}

TEST(Registry, FindsOnlyExactNames)
{
    Component c;
    const char* const misses[] = {
        "",
        "getversion",
        "GETVERSION",
        "Getversion",
        "GetVersion ",
        " GetVersion",
        "GetVersion\t",
        "Get Version",
        "GetVersio",
        "GetVersions",
        "DownloadTableE",
        "DownloadTableExx",
        "DownloadTableEx ",
        "получитьверсию",
        "ПОЛУЧИТЬВЕРСИЮ",
        "ПолучитьВерсию ",
        "ЗагрузитьТаблицуДо",
        "ЗагрузитьТаблицуДопп",
        "GetVersion\xF0\x9F\x98\x80",  // a name followed by a character beyond U+FFFF
        "ПолучитьВерсию/GetVersion",
    };
    for (const char* name : misses)
        EXPECT_EQ(c.find(name), -1) << "\"" << name << "\"";
    EXPECT_EQ(c.find(std::string(5000, 'G')), -1);
    EXPECT_EQ(c.find("GetVersion" + std::string(100, ' ')), -1);
    EXPECT_EQ(c.memory().requests(), 0u);
}

TEST(Registry, FindMethodWithoutAUsableName)
{
    Component c;
    EXPECT_EQ(c.object()->FindMethod(nullptr), -1);

    HostString high = fromUtf8("GetVersion");
    high.push_back(0xD800);
    HostString low = fromUtf8("GetVersion");
    low.push_back(0xDC00);
    HostString leading = fromUtf8("GetVersion");
    leading.insert(leading.begin(), 0xDBFF);
    for (const HostString& name : {high, low, leading})
        EXPECT_EQ(c.object()->FindMethod(reinterpret_cast<const WCHAR_T*>(name.c_str())), -1)
            << toUtf8(name.data(), name.size());
}

TEST(Registry, NamesByAlias)
{
    Component c;
    for (const MethodRow& m : METHODS) {
        for (long alias : {0L, 1L, 2L, -1L, LONG_MAX}) {
            SCOPED_TRACE(std::string(m.en) + " alias " + std::to_string(alias));
            const std::string want = alias == 0 ? m.en : m.ru;
            const size_t requests = c.memory().requests();
            const WCHAR_T* name = c.object()->GetMethodName(m.number, alias);
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(toUtf8(name), want);
            // One block from the host's manager, holding exactly the name and
            // its terminator; the host owns it.
            const size_t units = fromUtf8(want).size();
            EXPECT_EQ(c.memory().requests(), requests + 1);
            EXPECT_EQ(c.memory().blockSize(name), (units + 1) * 2);
            EXPECT_EQ(name[units], 0);
        }
    }
}

TEST(Registry, ParameterCountsAndReturnValues)
{
    Component c;
    for (const MethodRow& m : METHODS) {
        EXPECT_EQ(c.object()->GetNParams(m.number), m.params) << m.en;
        EXPECT_TRUE(c.object()->HasRetVal(m.number)) << m.en;
    }
}

TEST(Registry, NoParameterHasADefault)
{
    Component c;
    for (long method = -1; method <= METHOD_COUNT; ++method) {
        for (long param = -1; param < 6; ++param) {
            tVariant value = patterned();
            const tVariant before = value;
            EXPECT_FALSE(c.object()->GetParamDefValue(method, param, &value));
            EXPECT_TRUE(sameBytes(value, before)) << method << "/" << param;
        }
    }
}

TEST(Registry, NumbersOutOfRange)
{
    Component c;
    for (long number : OUT_OF_RANGE) {
        SCOPED_TRACE(number);
        EXPECT_EQ(c.object()->GetMethodName(number, 0), nullptr);
        EXPECT_EQ(c.object()->GetMethodName(number, 1), nullptr);
        EXPECT_EQ(c.object()->GetNParams(number), 0);
        EXPECT_TRUE(c.object()->HasRetVal(number));
    }
    EXPECT_EQ(c.memory().requests(), 0u);
}

TEST(Registry, MethodNameWithoutMemory)
{
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "no memory manager" : "memory manager refuses");
        Component c;
        if (mode == 0)
            c.object()->setMemManager(nullptr);
        else
            c.memory().refuseAll(true);
        EXPECT_EQ(c.object()->GetMethodName(8, 0), nullptr);
        EXPECT_EQ(c.object()->GetMethodName(8, 1), nullptr);
        EXPECT_EQ(c.memory().liveBlocks(), 0u);
        EXPECT_EQ(c.find("GetVersion"), 8) << "finding needs no memory";
    }
}

// ---------------------------------------------------------------------------
// CallAsFunc: dispatch and the result conventions

TEST(Dispatch, NumbersOutOfRange)
{
    Component c;
    std::vector<Param> none{Param::empty()};
    c.call("DoAdditionalAction", none);
    ASSERT_EQ(c.lastError(), 1);

    for (long number : OUT_OF_RANGE) {
        SCOPED_TRACE(number);
        std::vector<Param> params{Param::str("x"), Param::i4(7), Param::empty()};
        const std::vector<tVariant> before = varsOf(params);
        CallResult r = c.call(number, params);
        EXPECT_TRUE(r.returned);
        EXPECT_TRUE(r.failed());
        for (size_t i = 0; i < params.size(); ++i)
            EXPECT_TRUE(sameBytes(params[i].var, before[i])) << i;
        std::string text;
        EXPECT_EQ(c.lastError(&text), 1);
        EXPECT_EQ(text, "Не поддерживается");
    }
}

// Every method once, on an object whose error code is PRESET_CODE: its result
// and the code that GetLastError reports afterwards.
TEST(Dispatch, ResultAndErrorCodeOfEveryMethod)
{
    struct Row {
        long method;
        const char* result;  // as describe() spells it
        int32_t code;        // the code afterwards
    };
    const Row rows[] = {
        {0, "I4 4003", PRESET_CODE},
        {1, "bool true", PRESET_CODE},
        {2, "I4 3", PRESET_CODE},
        {3, "bool true", PRESET_CODE},
        {4, "bool false", 1},
        {5, "bool false", 2},  // the exchanges cannot connect
        {6, "bool false", 2},
        {7, "bool false", 2},
        {8, "string \"4.2.4\"", PRESET_CODE},
        {9, "bool false", 2},
        {10, "bool true", PRESET_CODE},
        {11, "bool false", 3},  // its connection test fails
        {12, "bool true", PRESET_CODE},
        {13, "bool false", 3},
        {14, "bool false", 1},
        {15, "bool true", PRESET_CODE},
        {16, "bool false", 1},
        {17, "bool false", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(METHODS[row.method].en);
        Component c;
        preset(c);
        std::vector<Param> params = usualParams(row.method);
        CallResult r = c.call(row.method, params);
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(describe(r.value), row.result);
        EXPECT_EQ(c.lastError(), row.code);
        // The names reach the same method.
        std::vector<Param> again = usualParams(row.method);
        EXPECT_EQ(describe(c.call(METHODS[row.method].ru, again).value), row.result);
    }
}

TEST(Dispatch, ErrorTextsOfTheCodesReachedWithoutATerminal)
{
    struct Row {
        const char* what;
        long method;
        std::vector<Param> params;
        int32_t code;
        const char* text;
    };
    const Row rows[] = {
        {"new object", 8, {}, 0, "Нет ошибок"},
        {"unsupported", 16, {Param::empty()}, 1, "Не поддерживается"},
        {"no connection", 9, {Param::empty()}, 2, "Нет соединения"},
        {"connection test",
         11,
         {Param::empty(), Param::empty(), Param::str(connectionParameters(DEAD_ADDRESS))},
         3,
         "Сетевая ошибка"},
        {"unreadable document",
         11,
         {Param::empty(), Param::empty(), Param::str("not a document")},
         7,
         "Ошибка чтения XML-документа"},
        {"empty address",
         11,
         {Param::empty(), Param::empty(), Param::str(connectionParameters(""))},
         8,
         "Параметр адреса не указан"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Component c;
        if (row.code == 2) {
            std::vector<Param> p{Param::empty(), Param::empty(),
                                 Param::str(connectionParameters(DEAD_ADDRESS))};
            c.call(11, p);
        }
        std::vector<Param> params = row.params;
        c.call(row.method, params);
        // Reading the code does not clear it.
        for (int reading = 0; reading < 2; ++reading) {
            std::vector<Param> text{Param::i4(99)};
            CallResult r = c.call(2, text);
            ASSERT_EQ(r.value.vt, VTYPE_I4);
            ASSERT_EQ(text[0].var.vt, VTYPE_PWSTR);
            EXPECT_EQ(r.value.lVal, row.code);
            EXPECT_EQ(Component::textOf(text[0]), row.text);
            EXPECT_EQ(text[0].var.pwstrVal[text[0].var.wstrLen], 0);
        }
    }
}

TEST(Methods, GetInterfaceRevision)
{
    Component c;
    CallResult r = c.call("GetInterfaceRevision");
    EXPECT_TRUE(r.returned);
    ASSERT_EQ(r.value.vt, VTYPE_I4);
    EXPECT_EQ(r.value.lVal, 4003);
    EXPECT_EQ(c.memory().requests(), 0u);
}

TEST(Methods, GetLastErrorOfANewObject)
{
    Component c;
    std::vector<Param> params{Param::empty()};
    CallResult r = c.call("GetLastError", params);
    ASSERT_EQ(r.value.vt, VTYPE_I4);
    EXPECT_EQ(r.value.lVal, 0);
    ASSERT_EQ(params[0].var.vt, VTYPE_PWSTR);
    EXPECT_EQ(Component::textOf(params[0]), "Нет ошибок");
    EXPECT_EQ(params[0].var.wstrLen, 10u);
    ASSERT_EQ(c.memory().requests(), 1u);
    EXPECT_EQ(c.memory().requestSizes()[0], 22u);
    EXPECT_EQ(c.memory().blockSize(params[0].var.pwstrVal), 22u);
}

TEST(Methods, UnsupportedMethodsLeaveTheirParameters)
{
    for (long method : {4L, 16L, 17L}) {
        SCOPED_TRACE(METHODS[method].en);
        Component c;
        std::vector<Param> params{Param::str("ru"), Param::i4(5)};
        params.resize(METHODS[method].params, Param::empty());
        const std::vector<tVariant> before = varsOf(params);
        CallResult r = c.call(method, params);
        EXPECT_TRUE(r.returned);
        EXPECT_TRUE(r.failed());
        for (size_t i = 0; i < params.size(); ++i)
            EXPECT_TRUE(sameBytes(params[i].var, before[i])) << i;
        EXPECT_EQ(c.memory().requests(), 0u);
        for (int reading = 0; reading < 2; ++reading) {
            std::string text;
            EXPECT_EQ(c.lastError(&text), 1);
            EXPECT_EQ(text, "Не поддерживается");
        }
    }
}

TEST(Methods, GetVersion)
{
    Component c;
    CallResult r = c.call("GetVersion");
    EXPECT_TRUE(r.returned);
    ASSERT_EQ(r.value.vt, VTYPE_PWSTR);
    EXPECT_EQ(r.value.wstrLen, 5u);
    EXPECT_EQ(r.text(), "4.2.4");
    EXPECT_EQ(r.value.pwstrVal[5], 0);
    ASSERT_EQ(c.memory().requests(), 1u);
    EXPECT_EQ(c.memory().requestSizes()[0], 12u);
    EXPECT_EQ(c.memory().blockSize(r.value.pwstrVal), 12u);
    EXPECT_EQ(c.lastError(), 0);
}

// ---------------------------------------------------------------------------
// Calls that the host gets wrong, and failures without a code of their own

TEST(Dispatch, ShortOrMissingParameterArray)
{
    for (const MethodRow& m : METHODS) {
        SCOPED_TRACE(m.en);
        Component c;
        preset(c);
        if (m.params == 0) {
            // A method without parameters needs no array.
            tVariant result = patterned();
            EXPECT_TRUE(c.object()->CallAsFunc(m.number, &result, nullptr, 0));
            EXPECT_NE(result.vt, VTYPE_BOOL);
            continue;
        }
        tVariant result = patterned();
        EXPECT_TRUE(c.object()->CallAsFunc(m.number, &result, nullptr, m.params));
        EXPECT_EQ(describe(result), "bool false");

        for (long size : {m.params - 1, 0L, -1L, LONG_MIN}) {
            // The array the host passed, followed by variants that are not its.
            std::vector<Param> array = usualParams(m.number);
            array.push_back(Param::str(APP_SETTINGS));
            array.push_back(Param::str(connectionParameters(DEAD_ADDRESS)));
            std::vector<tVariant> vars;
            for (const Param& p : array)
                vars.push_back(p.var);
            const std::vector<tVariant> before = vars;
            result = patterned();
            EXPECT_TRUE(c.object()->CallAsFunc(m.number, &result, vars.data(), size));
            EXPECT_EQ(describe(result), "bool false") << "size " << size;
            for (size_t i = 0; i < vars.size(); ++i)
                EXPECT_TRUE(sameBytes(vars[i], before[i])) << "size " << size << ", element " << i;
        }
        EXPECT_EQ(errorCode(c), PRESET_CODE);
        EXPECT_EQ(c.memory().liveBlocks(), 0u);
    }
}

TEST(Dispatch, InputStringsOfNoText)
{
    // A null host string and an empty variant read as the empty string.
    for (const MethodRow& m : METHODS) {
        for (size_t i = 0; i < static_cast<size_t>(m.params); ++i) {
            if (!isInput(m.number, i))
                continue;
            SCOPED_TRACE(std::string(m.en) + " parameter " + std::to_string(i));
            std::string outcome[3];
            int32_t code[3];
            int k = 0;
            for (const Param& empty : {Param::str(""), Param::nullString(), Param::empty()}) {
                Component c;
                preset(c);
                std::vector<Param> params = usualParams(m.number);
                params[i] = empty;
                outcome[k] = describe(c.call(m.number, params).value);
                code[k++] = c.lastError();
            }
            EXPECT_EQ(outcome[1], outcome[0]);
            EXPECT_EQ(outcome[2], outcome[0]);
            EXPECT_EQ(code[1], code[0]);
            EXPECT_EQ(code[2], code[0]);
        }
    }
}

// Every method with every variant type in every parameter: an input parameter
// that is not a string fails the call and keeps the code; every other
// parameter may hold anything, the method runs as usual.
TEST(Dispatch, EveryVariantTypeInEveryParameter)
{
    const TYPEVAR types[] = {
        VTYPE_EMPTY,  VTYPE_NULL,  VTYPE_I2,      VTYPE_I4,       VTYPE_R4,     VTYPE_R8,
        VTYPE_DATE,   VTYPE_TM,    VTYPE_PSTR,    VTYPE_INTERFACE, VTYPE_ERROR, VTYPE_BOOL,
        VTYPE_VARIANT, VTYPE_I1,   VTYPE_UI1,     VTYPE_UI2,      VTYPE_UI4,    VTYPE_I8,
        VTYPE_UI8,    VTYPE_INT,   VTYPE_UINT,    VTYPE_HRESULT,  VTYPE_PWSTR,  VTYPE_BLOB,
        VTYPE_CLSID,  VTYPE_STR_BLOB, VTYPE_VECTOR | VTYPE_PWSTR, VTYPE_ARRAY | VTYPE_PWSTR,
        VTYPE_BYREF | VTYPE_PWSTR, VTYPE_RESERVED, VTYPE_ILLEGAL, 0x7777,
    };
    for (const MethodRow& m : METHODS) {
        // What the method does with the usual parameters.
        Component reference;
        preset(reference);
        std::vector<Param> usual = usualParams(m.number);
        const CallResult expected = reference.call(m.number, usual);
        const int32_t expectedCode = reference.lastError();

        for (size_t i = 0; i < static_cast<size_t>(m.params); ++i) {
            for (TYPEVAR type : types) {
                SCOPED_TRACE(std::string(m.en) + " parameter " + std::to_string(i) + " vt " +
                             std::to_string(type));
                Component c;
                preset(c);
                std::vector<Param> params = usualParams(m.number);
                // The value still points at the usual text, so a method that
                // took it for a string would run as usual and show.
                params[i].var.vt = type;
                CallResult r = c.call(m.number, params);
                EXPECT_TRUE(r.returned);
                const int32_t code = errorCode(c);
                const bool refused = type != VTYPE_PWSTR && type != VTYPE_EMPTY && isInput(m.number, i);
                if (refused) {
                    EXPECT_EQ(describe(r.value), "bool false");
                    EXPECT_EQ(code, PRESET_CODE);
                } else if (!(type == VTYPE_EMPTY && isInput(m.number, i))) {
                    EXPECT_TRUE(sameResult(r.value, expected.value))
                        << describe(r.value) << " instead of " << describe(expected.value);
                    EXPECT_EQ(code, expectedCode);
                }
                EXPECT_EQ(strayBlocks(c.memory(), r.value, params), 0u);
            }
        }
    }
}

// Every method with the memory manager refusing each of its requests in turn,
// then all of them: the call fails with the code unchanged, or has the usual
// outcome; never a crash, and no block is left that the host did not get.
TEST(Dispatch, RefusedAllocations)
{
    for (const MethodRow& m : METHODS) {
        Component reference;
        preset(reference);
        std::vector<Param> usual = usualParams(m.number);
        const size_t before = reference.memory().requests();
        const CallResult expected = reference.call(m.number, usual);
        const size_t requests = reference.memory().requests() - before;
        const int32_t expectedCode = reference.lastError();

        for (size_t k = 1; k <= requests + 1; ++k) {
            SCOPED_TRACE(std::string(m.en) + (k <= requests ? " refusing request " + std::to_string(k)
                                                            : std::string(" refusing all")));
            Component c;
            preset(c);
            std::vector<Param> params = usualParams(m.number);
            if (k <= requests)
                c.memory().refuseRequest(k);
            else
                c.memory().refuseAll(true);
            CallResult r = c.call(m.number, params);
            c.memory().refuseAll(false);
            c.memory().refuseRequest(0);
            EXPECT_TRUE(r.returned);
            const int32_t code = errorCode(c);
            const bool failedQuietly = describe(r.value) == "bool false" && code == PRESET_CODE;
            const bool usualOutcome = sameResult(r.value, expected.value) && code == expectedCode;
            EXPECT_TRUE(failedQuietly || usualOutcome)
                << describe(r.value) << ", code " << code << "; usual: " << describe(expected.value)
                << ", code " << expectedCode;
            EXPECT_EQ(strayBlocks(c.memory(), r.value, params), 0u);
        }
    }
}

TEST(Dispatch, UnconvertibleInputFailsQuietly)
{
    // A document with an unpaired surrogate cannot be converted.
    for (const MethodRow& m : METHODS) {
        for (size_t i = 0; i < static_cast<size_t>(m.params); ++i) {
            if (!isInput(m.number, i))
                continue;
            SCOPED_TRACE(std::string(m.en) + " parameter " + std::to_string(i));
            Component c;
            preset(c);
            std::vector<Param> params = usualParams(m.number);
            HostString units = params[i].storage;
            units.push_back(0xD800);
            params[i] = Param::units(units);
            CallResult r = c.call(m.number, params);
            EXPECT_TRUE(r.returned);
            EXPECT_EQ(describe(r.value), "bool false");
            EXPECT_EQ(errorCode(c), PRESET_CODE);
            EXPECT_EQ(strayBlocks(c.memory(), r.value, params), 0u);
        }
    }
}

TEST(Dispatch, StringsWithoutAMemoryManager)
{
    // Every method that hands a string over fails quietly; nothing is written.
    for (const MethodRow& m : METHODS) {
        SCOPED_TRACE(m.en);
        Component c;
        preset(c);
        c.object()->setMemManager(nullptr);
        std::vector<Param> params = usualParams(m.number);
        CallResult r = c.call(m.number, params);
        EXPECT_TRUE(r.returned);
        EXPECT_NE(r.value.vt, VTYPE_PWSTR);
        for (const Param& p : params) {
            if (p.var.vt == VTYPE_PWSTR) {
                EXPECT_EQ(p.var.pwstrVal, p.storage.data()) << "a parameter got a string";
            }
        }
        c.object()->setMemManager(&c.memory());
        EXPECT_EQ(c.memory().liveBlocks(), 0u);
    }
}
