// The readers that take single values out of the host's XML documents.
#include <gtest/gtest.h>

#include <string>

#include "DeviceDriver.h"

namespace {

const char KEPT[] = "kept";

struct ParamCase {
    const char* what;
    std::string xml;
    const char* name;
    const char* tag;
    int taken;
    std::string value;  // *dest afterwards
};

std::ostream& operator<<(std::ostream& os, const ParamCase& c) { return os << c.what; }

class ParamReader : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ParamReader, TakesTheValueOfTheFirstMatchingParameter)
{
    const ParamCase& c = GetParam();
    DeviceDriver d;
    std::string dest = KEPT;
    EXPECT_EQ(d.pugiXmlParamSingleNodeXPath(c.xml, c.name, c.tag, &dest), c.taken);
    EXPECT_EQ(dest, c.value);
}

const std::string DECLARATION = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParamReader,
    ::testing::Values(
        ParamCase{"plain", "<Parameters><Parameter Name=\"Address\" Value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 1, "10.0.0.7"},
        ParamCase{"with a declaration and blanks",
                  DECLARATION + "\n<Parameters>\n  <Parameter Name=\"Address\" Value=\"10.0.0.7\"/>\n</Parameters>\n",
                  "Address", "Value", 1, "10.0.0.7"},
        ParamCase{"first of two matching",
                  "<Parameters><Parameter Name=\"Address\" Value=\"first\"/>"
                  "<Parameter Name=\"Address\" Value=\"second\"/></Parameters>",
                  "Address", "Value", 1, "first"},
        ParamCase{"after other parameters",
                  "<Parameters><Parameter Name=\"Port\" Value=\"9004\"/><Parameter Value=\"none\"/>"
                  "<Other Name=\"Address\" Value=\"other\"/>"
                  "<Parameter Name=\"Address\" Value=\"10.0.0.8\"/></Parameters>",
                  "Address", "Value", 1, "10.0.0.8"},
        ParamCase{"another name and attribute",
                  "<Parameters><Parameter Name=\"Address\" Value=\"a\" Port=\"1\"/>"
                  "<Parameter Name=\"Port\" Value=\"9004\" Extra=\"x\"/></Parameters>",
                  "Port", "Extra", 1, "x"},
        ParamCase{"name differs in case",
                  "<Parameters><Parameter Name=\"address\" Value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"name with a trailing blank",
                  "<Parameters><Parameter Name=\"Address \" Value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"attribute name differs in case",
                  "<Parameters><Parameter name=\"Address\" Value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"element names differ in case",
                  "<Parameters><parameter Name=\"Address\" Value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"missing Value", "<Parameters><Parameter Name=\"Address\"/></Parameters>",
                  "Address", "Value", 1, ""},
        ParamCase{"Value in other case only",
                  "<Parameters><Parameter Name=\"Address\" value=\"10.0.0.7\"/></Parameters>",
                  "Address", "Value", 1, ""},
        ParamCase{"empty Value", "<Parameters><Parameter Name=\"Address\" Value=\"\"/></Parameters>",
                  "Address", "Value", 1, ""},
        ParamCase{"nested deeper",
                  "<Parameters><Group><Parameter Name=\"Address\" Value=\"10.0.0.7\"/></Group></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"child of the matching parameter",
                  "<Parameters><Parameter Name=\"Port\"><Parameter Name=\"Address\" Value=\"x\"/>"
                  "</Parameter></Parameters>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"other document element",
                  "<Settings><Parameter Name=\"Address\" Value=\"10.0.0.7\"/></Settings>", "Address",
                  "Value", 0, KEPT},
        ParamCase{"Parameters one level down",
                  "<Root><Parameters><Parameter Name=\"Address\" Value=\"10.0.0.7\"/></Parameters></Root>",
                  "Address", "Value", 0, KEPT},
        ParamCase{"empty Parameters", "<Parameters/>", "Address", "Value", 0, KEPT},
        ParamCase{"not XML", "Address=10.0.0.7", "Address", "Value", 0, KEPT},
        ParamCase{"not closed",
                  "<Parameters><Parameter Name=\"Address\" Value=\"10.0.0.7\"/>", "Address", "Value", 0,
                  KEPT},
        ParamCase{"empty text", "", "Address", "Value", 0, KEPT},
        ParamCase{"references expanded",
                  "<Parameters><Parameter Name=\"A&amp;B\" Value=\"&lt;a&gt;&#9;&#x41;&quot;\"/></Parameters>",
                  "A&B", "Value", 1, "<a>\tA\""},
        ParamCase{"whitespace in a value becomes blanks",
                  "<Parameters><Parameter Name=\"Address\" Value=\"a\tb\nc\"/></Parameters>", "Address",
                  "Value", 1, "a b c"},
        ParamCase{"Russian text",
                  "<Parameters><Parameter Name=\"Адрес\" Value=\"терминал\"/></Parameters>", "Адрес",
                  "Value", 1, "терминал"}));

struct AppCase {
    const char* what;
    std::string xml;
    const char* tag;
    int taken;
    std::string value;
};

std::ostream& operator<<(std::ostream& os, const AppCase& c) { return os << c.what; }

class AppSettingsReader : public ::testing::TestWithParam<AppCase> {};

TEST_P(AppSettingsReader, TakesAnAttributeOfTheDocumentElement)
{
    const AppCase& c = GetParam();
    DeviceDriver d;
    std::string dest = KEPT;
    EXPECT_EQ(d.pugiXmlAppSettingsSingleNodeXPath(c.xml, c.tag, &dest), c.taken);
    EXPECT_EQ(dest, c.value);
}

const std::string SETTINGS =
    "<ApplicationSettings ApplicationName=\"Склад\" ApplicationVersion=\"8.3.24\"/>";

INSTANTIATE_TEST_SUITE_P(
    Cases, AppSettingsReader,
    ::testing::Values(
        AppCase{"name", SETTINGS, "ApplicationName", 1, "Склад"},
        AppCase{"version", SETTINGS, "ApplicationVersion", 1, "8.3.24"},
        AppCase{"with a declaration and a comment",
                DECLARATION + "<!-- settings -->" + SETTINGS, "ApplicationVersion", 1, "8.3.24"},
        AppCase{"missing attribute", "<ApplicationSettings ApplicationName=\"A\"/>",
                "ApplicationVersion", 0, KEPT},
        AppCase{"attribute differs in case", "<ApplicationSettings applicationname=\"A\"/>",
                "ApplicationName", 0, KEPT},
        AppCase{"empty attribute", "<ApplicationSettings ApplicationName=\"\"/>", "ApplicationName",
                1, ""},
        AppCase{"attribute on a child only",
                "<ApplicationSettings><ApplicationSettings ApplicationName=\"A\"/></ApplicationSettings>",
                "ApplicationName", 0, KEPT},
        AppCase{"other document element", "<Settings ApplicationName=\"A\"/>", "ApplicationName", 0,
                KEPT},
        AppCase{"element differs in case", "<applicationSettings ApplicationName=\"A\"/>",
                "ApplicationName", 0, KEPT},
        AppCase{"one level down", "<Root>" + SETTINGS + "</Root>", "ApplicationName", 0, KEPT},
        AppCase{"not XML", "ApplicationName=A", "ApplicationName", 0, KEPT},
        AppCase{"not closed", "<ApplicationSettings ApplicationName=\"A\">", "ApplicationName", 0,
                KEPT},
        AppCase{"empty text", "", "ApplicationName", 0, KEPT},
        AppCase{"references expanded",
                "<ApplicationSettings ApplicationName=\"R&amp;D &#x421;\"/>", "ApplicationName", 1,
                "R&D С"}));

}  // namespace
