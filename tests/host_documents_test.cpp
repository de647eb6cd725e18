// The documents that the driver hands to the host (description, additional
// actions, settings form) and those it takes from the host (application
// settings, connection parameters), as the host sees them.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/host_harness.h"

using namespace harness;

namespace {

// The documents, spelled out here byte for byte.
const char DESCRIPTION[] =
    R"doc(<?xml version="1.0" encoding="UTF-8"?><DriverDescription Name="Велитор: Терминалы сбора данных" Description="Велитор: Терминалы сбора данных" EquipmentType="ТерминалСбораДанных"  IntegrationComponent="false" MainDriverInstalled="true" DriverVersion="4.2.4" IntegrationComponentVersion="4.2.4" LocalizationSupported="false" AutoSetup="false" LogIsEnabled="false" LogPath=""/>)doc";

const char ACTIONS[] = R"doc(<?xml version="1.0" encoding="UTF-8" ?><Actions></Actions>)doc";

const char FORM_HEAD[] =
    R"doc(<?xml version="1.0" encoding="UTF-8"?><Settings><Page Caption="Параметры"><Group Caption="Параметры подключения"><Parameter Name="Address" Caption="Адрес устройства" TypeValue="String" DefaultValue=")doc";
const char FORM_TAIL[] = R"doc("/></Group></Page></Settings>)doc";

std::string form(const std::string& defaultValue) { return FORM_HEAD + defaultValue + FORM_TAIL; }

const char EQUIPMENT_TYPE[] = "ТерминалСбораДанных";

// Nothing listens on these addresses: a connection attempt is refused at once.
const char DEAD_ADDRESS[] = "127.0.0.61";
const char DEAD_ADDRESS_2[] = "127.0.0.62";


// A parameter the way the host passes a document: a host string.
Param document(const HostString& units) { return Param::units(units); }

CallResult connect(Component& c, const Param& doc)
{
    std::vector<Param> params{Param::empty(), Param::empty(), doc};
    return c.call("ConnectEquipment", params);
}
CallResult connect(Component& c, const std::string& doc) { return connect(c, Param::str(doc)); }

CallResult setApplicationInformation(Component& c, const Param& doc)
{
    std::vector<Param> params{doc};
    return c.call("SetApplicationInformation", params);
}

// The settings form as EquipmentParameters hands it over.
std::string settingsForm(Component& c)
{
    std::vector<Param> params{Param::empty(), Param::empty()};
    CallResult r = c.call("EquipmentParameters", params);
    EXPECT_TRUE(r.ok());
    return Component::textOf(params[1]);
}

// The DefaultValue attribute of the form, or a marker when the form is not
// the expected one around it.
std::string shownAddress(Component& c)
{
    const std::string text = settingsForm(c);
    const std::string head = FORM_HEAD, tail = FORM_TAIL;
    if (text.size() < head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return "<not the settings form: " + text.substr(0, 200) + ">";
    return text.substr(head.size(), text.size() - head.size() - tail.size());
}

HostString padded(const std::string& head, size_t totalUnits, const std::string& tail = "")
{
    HostString units = fromUtf8(head);
    const HostString end = fromUtf8(tail);
    units.append(totalUnits - units.size() - end.size(), ' ');
    units += end;
    return units;
}

HostString nested(const std::string& open, const std::string& inner, size_t depth,
                  const std::string& close, bool closed = true)
{
    std::string text = open;
    text.reserve(open.size() + depth * 7 + inner.size() + close.size());
    for (size_t i = 0; i < depth; ++i)
        text += "<a>";
    text += inner;
    if (closed) {
        for (size_t i = 0; i < depth; ++i)
            text += "</a>";
        text += close;
    }
    return fromUtf8(text);
}

// Entity definitions that would grow to gigabytes if they were expanded.
std::string laughs()
{
    std::string dtd = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            dtd += i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";";
        dtd += "\">";
    }
    return dtd + "]>";
}

const char EXTERNAL[] = "<!DOCTYPE p [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>";

constexpr size_t DOCUMENT_LIMIT_UNITS = size_t(4) << 20;

}  // namespace

// ---------------------------------------------------------------------------
// Documents handed to the host

TEST(Documents, ConstantDocumentsOnANewObject)
{
    struct Row {
        const char* method;
        size_t params;
        size_t written;
        std::string text;
    };
    const Row rows[] = {
        {"GetDescription", 1, 0, DESCRIPTION},
        {"GetAdditionalActions", 1, 0, ACTIONS},
        {"EquipmentParameters", 2, 1, form("")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        Component c;
        std::vector<Param> unsupported{Param::empty()};
        c.call("DoAdditionalAction", unsupported);  // code 1, which must stay

        std::vector<Param> params{Param::str("device"), Param::i4(17)};
        params.resize(row.params, Param::empty());
        const std::vector<tVariant> before = varsOf(params);
        const size_t requests = c.memory().requests();
        CallResult r = c.call(row.method, params);
        EXPECT_TRUE(r.returned);
        EXPECT_TRUE(r.ok());

        const tVariant& out = params[row.written].var;
        ASSERT_EQ(out.vt, VTYPE_PWSTR);
        EXPECT_EQ(Component::textOf(params[row.written]), row.text);
        const size_t units = fromUtf8(row.text).size();
        EXPECT_EQ(out.wstrLen, units);
        EXPECT_EQ(out.pwstrVal[units], 0);
        ASSERT_EQ(c.memory().requests(), requests + 1);
        EXPECT_EQ(c.memory().blockSize(out.pwstrVal), (units + 1) * 2);
        for (size_t i = 0; i < params.size(); ++i) {
            if (i != row.written) {
                EXPECT_TRUE(sameBytes(params[i].var, before[i])) << "parameter " << i;
            }
        }
        EXPECT_EQ(c.lastError(), 1);
    }
}

TEST(Documents, EquipmentAutoSetupFillsInAndFails)
{
    Component c;
    ASSERT_FALSE(connect(c, connectionParameters(DEAD_ADDRESS)).ok());
    ASSERT_EQ(c.lastError(), 3);

    std::vector<Param> params{Param::i4(1), Param::str("keep"), Param::empty(),
                              Param::nullString(), Param::str("")};
    const std::vector<tVariant> before = varsOf(params);
    CallResult r = c.call("EquipmentAutoSetup", params);
    EXPECT_TRUE(r.returned);
    EXPECT_TRUE(r.failed());
    std::string text;
    EXPECT_EQ(c.lastError(&text), 1);
    EXPECT_EQ(text, "Не поддерживается");

    EXPECT_EQ(Component::textOf(params[0]), EQUIPMENT_TYPE);
    EXPECT_EQ(params[0].var.wstrLen, 19u);
    EXPECT_EQ(Component::textOf(params[2]), form(DEAD_ADDRESS));
    for (size_t i : {1u, 3u, 4u})
        EXPECT_TRUE(sameBytes(params[i].var, before[i])) << "parameter " << i;
}

// The form shows the address held at the time of the call: none at first,
// the one the last connection parameters gave, none again after a document
// that could not be read.
TEST(Documents, DefaultValueFollowsTheAddress)
{
    struct Step {
        const char* what;
        Param document;
        const char* shown;
    };
    HostString unconvertible = fromUtf8(connectionParameters(DEAD_ADDRESS));
    unconvertible.insert(unconvertible.begin() + 10, 0xDC00);
    const Step steps[] = {
        {"address", Param::str(connectionParameters(DEAD_ADDRESS)), DEAD_ADDRESS},
        {"not XML", Param::str("Address=127.0.0.61"), ""},
        {"address again", Param::str(connectionParameters(DEAD_ADDRESS_2)), DEAD_ADDRESS_2},
        {"no Address parameter",
         Param::str("<Parameters><Parameter Name=\"Port\" Value=\"9004\"/></Parameters>"), ""},
        {"address again", Param::str(connectionParameters(DEAD_ADDRESS)), DEAD_ADDRESS},
        {"another document element",
         Param::str("<Settings><Parameter Name=\"Address\" Value=\"10.0.0.7\"/></Settings>"), ""},
        {"address again", Param::str(connectionParameters(DEAD_ADDRESS)), DEAD_ADDRESS},
        {"empty document", Param::empty(), ""},
        {"address again", Param::str(connectionParameters(DEAD_ADDRESS_2)), DEAD_ADDRESS_2},
        {"empty address", Param::str(connectionParameters("")), ""},
        {"address again", Param::str(connectionParameters(DEAD_ADDRESS)), DEAD_ADDRESS},
        // A document that cannot be converted fails the call and changes nothing.
        {"unconvertible document", Param::units(unconvertible), DEAD_ADDRESS},
    };
    Component c;
    EXPECT_EQ(shownAddress(c), "");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        connect(c, step.document);
        EXPECT_EQ(settingsForm(c), form(step.shown));
        std::vector<Param> autoSetup(5, Param::empty());
        c.call("EquipmentAutoSetup", autoSetup);
        EXPECT_EQ(Component::textOf(autoSetup[2]), form(step.shown));
    }

    // The connection test reads the address the same way.
    std::vector<Param> test{Param::empty(), Param::str(connectionParameters("127.0.0.63")),
                            Param::empty(), Param::empty()};
    c.call("EquipmentTest", test);
    EXPECT_EQ(shownAddress(c), "127.0.0.63");
}

TEST(Documents, DefaultValueIsEscaped)
{
    struct Row {
        const char* value;   // as written in the connection parameters
        const char* read;    // the address it stands for
        const char* shown;   // as the form's DefaultValue
    };
    const Row rows[] = {
        {"127.0.0.61", "127.0.0.61", "127.0.0.61"},
        {"a&amp;b", "a&b", "a&amp;b"},
        {"&lt;host&gt;", "<host>", "&lt;host&gt;"},
        {"&quot;q&quot;", "\"q\"", "&quot;q&quot;"},
        {"a&#9;b&#10;c&#13;d", "a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},
        {"&amp;amp;", "&amp;", "&amp;amp;"},
        {"it's", "it's", "it's"},
        {"терминал-1", "терминал-1", "терминал-1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        Component c;
        std::vector<Param> params{Param::empty(), Param::empty(),
                                  Param::str(connectionParameters(row.value))};
        c.call("ConnectEquipment", params);
        EXPECT_EQ(Component::textOf(params[0]), row.read) << "the device identifier is not escaped";
        EXPECT_EQ(shownAddress(c), row.shown);
    }
}

TEST(Documents, FormHoldsALongAddressWhole)
{
    std::string address;
    while (address.size() < 20000)
        address += "192.168.100.200.";
    address.resize(20000);
    Component c;
    connect(c, connectionParameters(address));

    std::vector<Param> params{Param::empty(), Param::empty()};
    const size_t requests = c.memory().requests();
    ASSERT_TRUE(c.call("EquipmentParameters", params).ok());
    const std::string expected = form(address);
    EXPECT_EQ(Component::textOf(params[1]), expected);
    const size_t units = fromUtf8(expected).size();
    EXPECT_EQ(params[1].var.wstrLen, units);
    EXPECT_EQ(c.memory().requestSizes()[requests], (units + 1) * 2);

    std::vector<Param> autoSetup(5, Param::empty());
    c.call("EquipmentAutoSetup", autoSetup);
    EXPECT_EQ(Component::textOf(autoSetup[2]), expected);
}

// ---------------------------------------------------------------------------
// Application settings

TEST(Documents, SetApplicationInformation)
{
    struct Row {
        const char* what;
        Param document;
        bool ok;
    };
    const Row rows[] = {
        {"both attributes",
         Param::str("<?xml version=\"1.0\" encoding=\"UTF-8\"?><ApplicationSettings "
                    "ApplicationName=\"Склад\" ApplicationVersion=\"8.3.24\"/>"),
         true},
        {"attributes in the other order",
         Param::str("<ApplicationSettings ApplicationVersion=\"1\" ApplicationName=\"A\"/>"), true},
        {"empty name", Param::str("<ApplicationSettings ApplicationName=\"\" ApplicationVersion=\"1\"/>"),
         true},
        {"empty version", Param::str("<ApplicationSettings ApplicationName=\"A\" ApplicationVersion=\"\"/>"),
         true},
        {"children and other attributes",
         Param::str("<ApplicationSettings Other=\"x\" ApplicationName=\"A\" ApplicationVersion=\"1\">"
                    "<ApplicationSettings/></ApplicationSettings>"),
         true},
        {"version missing", Param::str("<ApplicationSettings ApplicationName=\"A\"/>"), false},
        {"name missing", Param::str("<ApplicationSettings ApplicationVersion=\"1\"/>"), false},
        {"attribute names differ in case",
         Param::str("<ApplicationSettings applicationName=\"A\" applicationVersion=\"1\"/>"), false},
        {"attributes on a child",
         Param::str("<ApplicationSettings><Application ApplicationName=\"A\" "
                    "ApplicationVersion=\"1\"/></ApplicationSettings>"),
         false},
        {"another document element",
         Param::str("<Settings ApplicationName=\"A\" ApplicationVersion=\"1\"/>"), false},
        {"element name differs in case",
         Param::str("<applicationSettings ApplicationName=\"A\" ApplicationVersion=\"1\"/>"), false},
        {"nested one level down",
         Param::str("<Root><ApplicationSettings ApplicationName=\"A\" ApplicationVersion=\"1\"/></Root>"),
         false},
        {"not closed", Param::str("<ApplicationSettings ApplicationName=\"A\" ApplicationVersion=\"1\">"),
         false},
        {"text", Param::str("ApplicationName=A"), false},
        {"empty text", Param::str(""), false},
        {"null host string", Param::nullString(), false},
        {"empty variant", Param::empty(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Component c;
        std::vector<Param> unsupported{Param::empty()};
        c.call("DoAdditionalAction", unsupported);  // code 1

        std::vector<Param> params{row.document};
        const std::vector<tVariant> before = varsOf(params);
        CallResult r = c.call("SetApplicationInformation", params);
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(r.ok(), row.ok);
        EXPECT_EQ(r.failed(), !row.ok);
        std::string text;
        EXPECT_EQ(c.lastError(&text), row.ok ? 1 : 7);
        EXPECT_EQ(text, row.ok ? "Не поддерживается" : "Ошибка чтения XML-документа");
        EXPECT_TRUE(sameBytes(params[0].var, before[0])) << "the document is not written";
        EXPECT_EQ(c.memory().requests(), 1u) << "the GetLastError text only";
    }
}

TEST(Documents, ApplicationSettingsThatCannotBeConverted)
{
    Component c;
    HostString units = fromUtf8("<ApplicationSettings ApplicationName=\"A\" ApplicationVersion=\"1\"/>");
    units.insert(units.begin() + 38, 0xD83D);  // a high surrogate without its pair
    EXPECT_TRUE(setApplicationInformation(c, Param::units(units)).failed());
    EXPECT_EQ(c.lastError(), 0);
}

// ---------------------------------------------------------------------------
// Hostile documents from the host: read or refused, never a crash

TEST(HostileDocuments, ApplicationSettings)
{
    const std::string settings = "<ApplicationSettings ApplicationName=\"A\" ApplicationVersion=\"1\"";
    struct Row {
        const char* what;
        HostString units;
        bool mayRead;  // true: read (success) or refused; false: refused
    };
    const Row rows[] = {
        {"beyond the size limit", padded(settings + "/>", DOCUMENT_LIMIT_UNITS + 1), false},
        {"far beyond the size limit", padded(settings + "/>", 3 * DOCUMENT_LIMIT_UNITS), false},
        {"large within the limit", padded(settings + "/>", DOCUMENT_LIMIT_UNITS / 4), true},
        {"deeply nested", nested(settings + ">", "", 100000, "</ApplicationSettings>"), true},
        {"deeply nested, never closed", nested(settings + ">", "", 100000, "", false), false},
        {"deeply nested other elements", nested("", "", 100000, ""), false},
        {"markup soup", fromUtf8("<<<>>>&&&;;<!--<![CDATA[<?<!"), false},
        {"binary", HostString{0x0001, 0x0002, 0xFFFE, 0xFFFF, 0x0007, 0x007F}, false},
        {"billion laughs", fromUtf8(laughs() + settings + " Extra=\"&lol9;\"/>"), true},
        {"laughs in the name",
         fromUtf8(laughs() + "<ApplicationSettings ApplicationName=\"&lol9;\" ApplicationVersion=\"1\"/>"),
         true},
        {"external entity",
         fromUtf8(std::string(EXTERNAL) +
                  "<ApplicationSettings ApplicationName=\"&xxe;\" ApplicationVersion=\"1\"/>"),
         true},
        {"unterminated DTD", fromUtf8("<!DOCTYPE a [<!ENTITY a \"" + std::string(10000, 'x')), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Component c;
        std::vector<Param> unsupported{Param::empty()};
        c.call("DoAdditionalAction", unsupported);  // code 1

        CallResult r = setApplicationInformation(c, document(row.units));
        EXPECT_TRUE(r.returned);
        const int32_t code = c.lastError();
        if (r.ok()) {
            EXPECT_TRUE(row.mayRead) << "a document that is not usable was taken";
            EXPECT_EQ(code, 1);
        } else {
            EXPECT_TRUE(r.failed());
            EXPECT_EQ(code, 7);
        }
    }
}

TEST(HostileDocuments, ConnectionParameters)
{
    const std::string head = "<Parameters><Parameter Name=\"Address\" Value=\"";
    const std::string address = "127.0.0.64";
    struct Row {
        const char* what;
        HostString units;
        std::vector<std::string> shown;  // what the form may show afterwards
    };
    const Row rows[] = {
        {"beyond the size limit",
         padded(connectionParameters(address), DOCUMENT_LIMIT_UNITS + 1), {""}},
        {"large within the limit",
         padded(connectionParameters(address), DOCUMENT_LIMIT_UNITS / 4), {address}},
        {"deeply nested after the address",
         nested(head + address + "\"/>", "", 100000, "</Parameters>"), {address}},
        {"deeply nested around the address",
         nested("<Parameters>", "<Parameter Name=\"Address\" Value=\"" + address + "\"/>", 100000,
                "</Parameters>"),
         {""}},
        {"deeply nested, never closed", nested(head + address + "\"/>", "", 100000, "", false), {""}},
        {"markup soup", fromUtf8("<<<>>>&&&;;<!--<![CDATA[<?<!"), {""}},
        {"binary", HostString{0x0001, 0x0002, 0xFFFE, 0xFFFF, 0x0007, 0x007F}, {""}},
        {"billion laughs", fromUtf8(laughs() + head + "&lol9;\"/></Parameters>"), {"", "&amp;lol9;"}},
        {"external entity", fromUtf8(std::string(EXTERNAL) + head + "&xxe;\"/></Parameters>"),
         {"", "&amp;xxe;"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Component c;
        connect(c, connectionParameters(DEAD_ADDRESS));  // an address to lose

        CallResult r = connect(c, document(row.units));
        EXPECT_TRUE(r.returned);
        EXPECT_TRUE(r.failed());
        const int32_t code = c.lastError();
        const std::string shown = shownAddress(c);
        bool allowed = false;
        for (const std::string& s : row.shown)
            allowed = allowed || shown == s;
        EXPECT_TRUE(allowed) << "the form shows \"" << shown.substr(0, 200) << "\"";
        // Refused: code 7. Read: the connection test to the address fails.
        EXPECT_EQ(code, shown.empty() ? 7 : 3);
    }
}
