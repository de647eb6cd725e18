// The library's exports and the component's host-facing operations.
#include <gtest/gtest.h>

#include "tests/host_harness.h"

using namespace harness;

TEST(Exports, ClassNamesStayValid)
{
    Library& lib = Library::get();
    const WCHAR_T* first = lib.GetClassNames();
    const WCHAR_T* second = lib.GetClassNames();
    EXPECT_EQ(toUtf8(first), "Tavrolink");
    EXPECT_EQ(toUtf8(second), "Tavrolink");
}
