// The typed accessors: numbers and their bounds, choices, and arrays of values and names.
#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;
using cgitest::strings;

namespace {

class Typed : public CgiTest {
protected:
    void query(const std::string& q)
    {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", q}}), cgiParseSuccess);
    }
};

}  // namespace

TEST_F(Typed, NumbersAndTheirBounds)
{
    struct Case {
        const char* value;  // nullptr: field absent
        int integer;
        cgiFormResultType intResult;
        int bounded;  // bounds 0..10, default 3
        cgiFormResultType boundedResult;
    };
    const Case cases[] = {
        {"42", 42, cgiFormSuccess, 10, cgiFormConstrained},
        {"-5", -5, cgiFormSuccess, 0, cgiFormConstrained},
        {"  5", 5, cgiFormSuccess, 5, cgiFormSuccess},
        {"12abc", 12, cgiFormSuccess, 10, cgiFormConstrained},
        {"-", 0, cgiFormSuccess, 0, cgiFormSuccess},
        {"10", 10, cgiFormSuccess, 10, cgiFormSuccess},
        {"+9", 9, cgiFormSuccess, 9, cgiFormSuccess},
        {"x1", 3, cgiFormBadType, 3, cgiFormBadType},
        {"   ", 3, cgiFormBadType, 3, cgiFormBadType},
        {"", 3, cgiFormEmpty, 3, cgiFormEmpty},
        {".5", 3, cgiFormBadType, 3, cgiFormBadType},
        {"99999999999", 2147483647, cgiFormSuccess, 10, cgiFormConstrained},
        {nullptr, 3, cgiFormNotFound, 3, cgiFormNotFound},
    };
    for (const Case& c : cases) {
        query(c.value ? std::string("n=") + c.value : "other=1");
        int v = -1;
        EXPECT_EQ(cgiFormInteger("n", &v, 3), c.intResult) << c.value;
        EXPECT_EQ(v, c.integer) << c.value;
        EXPECT_EQ(cgiFormIntegerBounded("n", &v, 0, 10, 3), c.boundedResult) << c.value;
        EXPECT_EQ(v, c.bounded) << c.value;
    }
    query("");
    int v = -1;
    EXPECT_EQ(cgiFormIntegerBounded("n", &v, 5, 9, 3), cgiFormNotFound);
    EXPECT_EQ(v, 3) << "the default is not clamped";

    struct DoubleCase { const char* value; bool bounded; double want; cgiFormResultType result; };
    for (const DoubleCase& c : {DoubleCase{".5", false, 0.5, cgiFormSuccess}, {",5", false, 1.5, cgiFormBadType},
                                {"-2.5e1x", false, -25.0, cgiFormSuccess}, {"%093", false, 3.0, cgiFormSuccess},
                                {"+nan", false, 1.5, cgiFormBadType}, {"-nan(7)", false, 1.5, cgiFormBadType},
                                {"7.5", true, 2.0, cgiFormConstrained}, {"+nan", true, 1.5, cgiFormBadType}}) {
        query(std::string("d=") + c.value);
        double d = -1;
        EXPECT_EQ(c.bounded ? cgiFormDoubleBounded("d", &d, 0.0, 2.0, 1.5) : cgiFormDouble("d", &d, 1.5), c.result)
            << c.value;
        EXPECT_DOUBLE_EQ(d, c.want) << c.value;
    }
}

TEST_F(Typed, ChoicesSingleAndMultiple)
{
    const char* choices[] = {"a", "b", "c"};
    query("r=b&r=a&x=B&cb=a&cb=z&cb=b&only=z&flag=");
    for (auto [name, want, result] : {std::tuple{"r", 1, cgiFormSuccess}, std::tuple{"x", 9, cgiFormNoSuchChoice},
                                      std::tuple{"missing", 9, cgiFormNotFound}}) {
        int v = -1;
        EXPECT_EQ(cgiFormSelectSingle(name, choices, 3, &v, 9), result) << name;
        EXPECT_EQ(v, want) << name;
        EXPECT_EQ(cgiFormRadio(name, choices, 3, &v, 9), result) << name;
    }
    struct Multiple {
        const char* name;
        std::vector<int> selected;
        int invalid;
        cgiFormResultType result;
    };
    for (const Multiple& c : {Multiple{"cb", {1, 1, 0}, 1, cgiFormSuccess},
                              Multiple{"only", {0, 0, 0}, 1, cgiFormNotFound},
                              Multiple{"missing", {0, 0, 0}, 0, cgiFormNotFound}}) {
        std::vector<int> sel(3, 7);
        int invalid = -1;
        EXPECT_EQ(cgiFormCheckboxMultiple(c.name, choices, 3, sel.data(), &invalid), c.result)
            << c.name;
        EXPECT_EQ(sel, c.selected) << c.name;
        EXPECT_EQ(invalid, c.invalid) << c.name;
        EXPECT_EQ(cgiFormSelectMultiple(c.name, choices, 3, sel.data(), &invalid), c.result);
    }
    EXPECT_EQ(cgiFormCheckboxSingle("flag"), cgiFormSuccess);
    EXPECT_EQ(cgiFormCheckboxSingle("Flag"), cgiFormNotFound);
}

TEST_F(Typed, StringArraysOfValuesAndNames)
{
    query("x=1&y=l1%0D%0Al2&x=a%0D%0A%0D%0Ab&z=&y=2");
    char** values = nullptr;
    EXPECT_EQ(cgiFormStringMultiple("x", &values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"1", "a\n\nb"}));
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormStringMultiple("y", &values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"l1\nl2", "2"}));
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormStringMultiple("missing", &values), cgiFormNotFound);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values[0], nullptr);
    cgiStringArrayFree(values);

    char** names = nullptr;
    EXPECT_EQ(cgiFormEntries(&names), cgiFormSuccess);
    EXPECT_EQ(strings(names), (std::vector<std::string>{"x", "y", "z"}));
    cgiStringArrayFree(names);
    cgiFreeResources();
    EXPECT_EQ(cgiFormEntries(&names), cgiFormSuccess);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    cgiStringArrayFree(names);
    cgiStringArrayFree(nullptr);

    EXPECT_STREQ(cgiFirstNonspaceChar(" \t\r\nx y"), "x y");
    EXPECT_STREQ(cgiFirstNonspaceChar(" \v"), "\v");  // only four characters count as space
    EXPECT_STREQ(cgiFirstNonspaceChar("  "), "");
}
