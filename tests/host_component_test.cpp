// The library's exports and the component's host-facing operations.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/host_harness.h"

using namespace harness;

namespace {

const WCHAR_T* wide(const HostString& s) { return reinterpret_cast<const WCHAR_T*>(s.c_str()); }

// A variant filled with a pattern, to show whether an operation touched it.
tVariant patterned()
{
    tVariant v;
    memset(&v, 0x5A, sizeof v);
    return v;
}

bool untouched(const tVariant& v)
{
    const tVariant pattern = patterned();
    return memcmp(&v, &pattern, sizeof v) == 0;
}

// A connection parameters document for ConnectEquipment (parameter 2).
CallResult connect(Component& c, const std::string& document)
{
    std::vector<Param> params{Param::empty(), Param::empty(), Param::str(document)};
    return c.call("ConnectEquipment", params);
}

// The address that the settings form shows, taken out of its DefaultValue.
std::string shownAddress(Component& c)
{
    std::vector<Param> params{Param::empty(), Param::empty()};
    c.call("EquipmentParameters", params);
    const std::string form = Component::textOf(params[1]);
    const std::string key = "DefaultValue=\"";
    const size_t from = form.find(key);
    const size_t to = form.find('"', from + key.size());
    if (from == std::string::npos || to == std::string::npos)
        return "<no DefaultValue>";
    return form.substr(from + key.size(), to - from - key.size());
}

// An object created straight through the exports, without the harness.
struct RawObject {
    IComponentBase* object = nullptr;
    ~RawObject()
    {
        if (object != nullptr)
            Library::get().DestroyObject(&object);
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Exported functions

TEST(Exports, ClassNamesStayValid)
{
    Library& lib = Library::get();
    const WCHAR_T* first = lib.GetClassNames();
    const WCHAR_T* second = lib.GetClassNames();
    EXPECT_EQ(toUtf8(first), "Tavrolink");
    EXPECT_EQ(toUtf8(second), "Tavrolink");
}

TEST(Exports, GetClassObjectCreatesForAnyName)
{
    Library& lib = Library::get();
    const HostString names[] = {fromUtf8(""), fromUtf8("Tavrolink"), fromUtf8("tavrolink"),
                                fromUtf8("SomethingElse"), fromUtf8("Драйвер")};
    std::vector<RawObject> objects(sizeof names / sizeof names[0] + 1);
    for (size_t i = 0; i < objects.size(); ++i) {
        const WCHAR_T* name = i < objects.size() - 1 ? wide(names[i]) : nullptr;
        SCOPED_TRACE(i < objects.size() - 1 ? toUtf8(name) : "<null name>");
        const long made = lib.GetClassObject(name, &objects[i].object);
        ASSERT_NE(objects[i].object, nullptr);
#if defined(_WIN32)
        // long has 32 bits on Windows: the low half of the object's address.
        static_assert(sizeof(long) == 4, "long is 32 bits on Windows");
        EXPECT_EQ(static_cast<uint32_t>(made),
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(objects[i].object)));
#else
        EXPECT_EQ(made, static_cast<long>(reinterpret_cast<intptr_t>(objects[i].object)));
#endif
        EXPECT_EQ(objects[i].object->GetInfo(), 4204);
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(objects[i].object, objects[j].object) << "each call makes a new object";
    }
}

TEST(Exports, GetClassObjectLeavesAnOccupiedSlot)
{
    Library& lib = Library::get();
    const HostString name = fromUtf8("Tavrolink");
    RawObject raw;
    ASSERT_NE(lib.GetClassObject(wide(name), &raw.object), 0);
    IComponentBase* const first = raw.object;
    RecordingMemory memory;
    first->setMemManager(&memory);

    EXPECT_EQ(lib.GetClassObject(wide(name), &raw.object), 0);
    EXPECT_EQ(raw.object, first);
    // The object in the slot is the same, working object.
    WCHAR_T* registered = nullptr;
    EXPECT_TRUE(raw.object->RegisterExtensionAs(&registered));
    EXPECT_EQ(toUtf8(registered), "Tavrolink");
}

TEST(Exports, DestroyObjectTwice)
{
    Library& lib = Library::get();
    IComponentBase* object = nullptr;
    ASSERT_NE(lib.GetClassObject(nullptr, &object), 0);
    EXPECT_EQ(lib.DestroyObject(&object), 0);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(lib.DestroyObject(&object), -1);
    EXPECT_EQ(object, nullptr);
}

TEST(Exports, ObjectsAreIndependent)
{
    Component a, b;
    std::vector<Param> none{Param::empty()};
    a.call("DoAdditionalAction", none);
    EXPECT_EQ(a.lastError(), 1);
    EXPECT_EQ(b.lastError(), 0);

    ASSERT_FALSE(connect(a, connectionParameters("127.0.0.61")).ok());
    EXPECT_EQ(shownAddress(a), "127.0.0.61");
    EXPECT_EQ(shownAddress(b), "");
}

TEST(Exports, SetPlatformCapabilitiesAlwaysAnswersOne)
{
    Library& lib = Library::get();
    for (int given : {-1, 0, 1, 2, 42}) {
        SCOPED_TRACE(given);
        EXPECT_EQ(lib.SetPlatformCapabilities(static_cast<AppCapabilities>(given)),
                  eAppCapabilities1);
    }
}

// ---------------------------------------------------------------------------
// Operations without equipment logic

TEST(Component, InitAndGetInfo)
{
    Component c;
    EXPECT_TRUE(c.object()->Init(nullptr));
    EXPECT_EQ(c.object()->GetInfo(), 4204);
}

TEST(Component, HasNoProperties)
{
    Component c;
    IComponentBase* o = c.object();
    EXPECT_EQ(o->GetNProps(), 0);

    const HostString names[] = {fromUtf8("Address"), fromUtf8(""), fromUtf8("Адрес")};
    for (const HostString& name : names)
        EXPECT_EQ(o->FindProp(wide(name)), -1) << toUtf8(wide(name));
    EXPECT_EQ(o->FindProp(nullptr), -1);

    for (long number : {0L, 1L, -1L, 18L}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(o->GetPropName(number, 0), nullptr);
        EXPECT_EQ(o->GetPropName(number, 1), nullptr);
        tVariant value = patterned();
        EXPECT_FALSE(o->GetPropVal(number, &value));
        EXPECT_TRUE(untouched(value));
        EXPECT_FALSE(o->SetPropVal(number, &value));
        EXPECT_TRUE(untouched(value));
        EXPECT_FALSE(o->IsPropReadable(number));
        EXPECT_FALSE(o->IsPropWritable(number));
    }
    EXPECT_EQ(c.memory().requests(), 0u);
    EXPECT_EQ(c.lastError(), 0);
}

TEST(Component, RegisterExtensionAsHandsOverOneBlock)
{
    Component c;
    WCHAR_T* name = nullptr;
    ASSERT_TRUE(c.object()->RegisterExtensionAs(&name));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(toUtf8(name), "Tavrolink");
    ASSERT_EQ(c.memory().requests(), 1u);
    EXPECT_EQ(c.memory().requestSizes()[0], 20u);
    // The host owns the block now: it is live and is exactly the string.
    EXPECT_EQ(c.memory().blockSize(name), 20u);
    void* block = name;
    c.memory().FreeMemory(&block);
    EXPECT_EQ(c.memory().liveBlocks(), 0u);
}

TEST(Component, RegisterExtensionAsWithoutMemory)
{
    // A null memory manager, one that refuses, and one that refuses everything.
    for (int mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        Component c;
        if (mode == 0)
            c.object()->setMemManager(nullptr);
        else if (mode == 1)
            c.memory().refuseRequest(1);
        else
            c.memory().refuseAll(true);
        WCHAR_T sentinel[] = {'x', 0};
        WCHAR_T* name = sentinel;
        EXPECT_FALSE(c.object()->RegisterExtensionAs(&name));
        EXPECT_EQ(name, sentinel);
        EXPECT_EQ(c.memory().requests(), mode == 0 ? 0u : 1u);
        EXPECT_EQ(c.memory().liveBlocks(), 0u);
    }
}

TEST(Component, SecondMemoryManagerReplacesTheFirst)
{
    Component c;
    RecordingMemory other;
    EXPECT_TRUE(c.object()->setMemManager(&other));
    WCHAR_T* name = nullptr;
    ASSERT_TRUE(c.object()->RegisterExtensionAs(&name));
    EXPECT_EQ(c.memory().requests(), 0u);
    EXPECT_EQ(other.requests(), 1u);
    EXPECT_EQ(other.blockSize(name), 20u);
}

TEST(Component, DoneKeepsStateAndTheObjectUsable)
{
    Component c;
    ASSERT_FALSE(connect(c, connectionParameters("127.0.0.61")).ok());
    ASSERT_EQ(c.lastError(), 3);

    c.object()->Done();
    c.object()->Done();
    std::string text;
    EXPECT_EQ(c.lastError(&text), 3);
    EXPECT_EQ(text, "Сетевая ошибка");
    EXPECT_EQ(shownAddress(c), "127.0.0.61");
    EXPECT_EQ(c.call("GetVersion").text(), "4.2.4");

    // A later exchange makes its own connection attempt.
    std::vector<Param> params{Param::empty()};
    EXPECT_TRUE(c.call("ClearTable", params).failed());
    EXPECT_EQ(c.lastError(), 2);
}

TEST(Component, DoneOnANewObject)
{
    Component c;
    c.object()->Done();
    EXPECT_EQ(c.lastError(), 0);
    EXPECT_EQ(shownAddress(c), "");
}

// The only test that touches the C library's locale; it puts "C" back.
// On Linux the environment names the locale (LC_ALL here). The Windows C
// library reads no environment: its default locale is the user's, the one
// that setlocale(LC_ALL, "") chooses.
TEST(Component, SetLocaleTakesTheLocaleFromTheEnvironment)
{
#if defined(_WIN32)
    const char* userDefault = setlocale(LC_ALL, "");
    ASSERT_NE(userDefault, nullptr);
    const std::string expected = userDefault;
    setlocale(LC_ALL, "C");
    ASSERT_NE(expected, "C") << "the user's locale cannot be told from C";
#else
    const char* previous = getenv("LC_ALL");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("LC_ALL", "C.UTF-8", 1);
    const std::string expected = "C.UTF-8";
#endif

    Component c;
    const HostString loc = fromUtf8("ru_RU");
    c.object()->SetLocale(nullptr);
    const char* now = setlocale(LC_ALL, nullptr);
    const std::string afterNull = now != nullptr ? now : "";
    setlocale(LC_ALL, "C");
    c.object()->SetLocale(wide(loc));
    now = setlocale(LC_ALL, nullptr);
    const std::string afterName = now != nullptr ? now : "";

    setlocale(LC_ALL, "C");
#if !defined(_WIN32)
    if (previous != nullptr)
        setenv("LC_ALL", saved.c_str(), 1);
    else
        unsetenv("LC_ALL");
#endif

    EXPECT_EQ(afterNull, expected);
    EXPECT_EQ(afterName, expected) << "the argument is not read";
    EXPECT_EQ(c.memory().requests(), 0u);
    EXPECT_EQ(c.lastError(), 0);
}

// ---------------------------------------------------------------------------
// CallAsProc: the method runs, its result is dropped

TEST(CallAsProc, GetVersionLeavesNoBlock)
{
    Component c;
    EXPECT_TRUE(c.object()->CallAsProc(8, nullptr, 0));
    EXPECT_EQ(c.memory().requests(), 1u);
    EXPECT_EQ(c.memory().liveBlocks(), 0u) << "the dropped string was given back";
}

TEST(CallAsProc, GetVersionWithoutMemoryManager)
{
    Component c;
    c.object()->setMemManager(nullptr);
    EXPECT_TRUE(c.object()->CallAsProc(8, nullptr, 0));
    c.object()->setMemManager(&c.memory());
    EXPECT_EQ(c.memory().requests(), 0u);
    EXPECT_EQ(c.lastError(), 0);
}

TEST(CallAsProc, OutOfRangeNumbersStillReturnTrue)
{
    Component c;
    for (long number : {18L, -1L}) {
        tVariant param = patterned();
        EXPECT_TRUE(c.object()->CallAsProc(number, &param, 1)) << number;
        EXPECT_TRUE(untouched(param));
    }
    EXPECT_EQ(c.lastError(), 0);
}

TEST(CallAsProc, HasTheMethodsEffects)
{
    Component c;
    // State: the unsupported method sets its code.
    std::vector<Param> one{Param::str("action")};
    EXPECT_TRUE(c.object()->CallAsProc(4, &one[0].var, 1));
    EXPECT_EQ(c.lastError(), 1);

    // Parameters: GetLastError still writes its text; that block is the host's.
    tVariant text;
    memset(&text, 0, sizeof text);
    const size_t before = c.memory().liveBlocks();
    EXPECT_TRUE(c.object()->CallAsProc(2, &text, 1));
    ASSERT_EQ(text.vt, VTYPE_PWSTR);
    EXPECT_EQ(toUtf8(text.pwstrVal, text.wstrLen), "Не поддерживается");
    EXPECT_EQ(c.memory().liveBlocks(), before + 1);
    EXPECT_EQ(c.memory().blockSize(text.pwstrVal), (text.wstrLen + 1) * 2u);
}
