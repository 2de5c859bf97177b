// The checks a JSON request body passes before and during its parse.
#include <gtest/gtest.h>

#include <string>

#include "JsonBody.h"
#include "WarehouseStore.h"

using wh::server::JsonScan;
using wh::server::JsonShapeLimits;
using wh::server::ParseJsonObject;
using wh::server::RequestError;
using wh::server::ScanJson;

namespace {

std::string Nested(int depth, const std::string& inside = "")
{
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

} // namespace

// The depth is that of the parser: brackets inside strings do not count, whatever the escapes
// around them; an escaped quote does not end a string, an escaped backslash before a quote does.
TEST(JsonScanTest, CountsOnlyTheBracketsOutsideStrings)
{
    struct Case
    {
        const char* what;
        std::string text;
        JsonScan expected;
    };
    const Case cases[] = {
        { "flat object", R"({"a":1,"b":[1,2]})", JsonScan::Fine },
        { "exactly three deep", R"({"a":[{}]})", JsonScan::Fine },
        { "four deep", R"({"a":[{"b":[]}]})", JsonScan::TooDeep },
        { "brackets in a string", R"({"a":"[[[[{{{{"})", JsonScan::Fine },
        { "brackets in a key", R"({"[[[[":1})", JsonScan::Fine },
        { "escaped quote keeps the string open", R"({"a":"\"[[[[\""})", JsonScan::Fine },
        { "escaped backslash closes the string", R"({"a":"\\",[[[1]]]})", JsonScan::TooDeep },
        { "escaped backslash then escaped quote", R"({"a":"\\\"[[[["})", JsonScan::Fine },
        { "unicode escape of a quote", R"({"a":"\u0022[[[["})", JsonScan::Fine },
        { "multibyte text", "{\"a\":\"\xc3\xa9[[[[\xe2\x82\xac\"}", JsonScan::Fine },
        { "closing brackets give room again", R"({"a":[[]],"b":[[]]})", JsonScan::Fine },
        { "NUL after the object", std::string("{\"a\":1}\0garbage", 15), JsonScan::NulByte },
        { "NUL inside a string", std::string("{\"a\":\"x\0y\"}", 11), JsonScan::NulByte },
        { "NUL right after a backslash", std::string("{\"a\":\"\\\0\"}", 10), JsonScan::NulByte },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ScanJson(c.text, JsonShapeLimits { 3, 100 }), c.expected) << c.what << ": " << c.text;
    }
}

// The documented limits hold exactly: 32 levels pass, 33 do not, and each refusal is a 400 that
// says what was wrong. Exactly one object, with nothing but white space after it.
TEST(JsonBodyTest, ExactlyOneObjectWithinTheDepthAndNothingAfterIt)
{
    struct Case
    {
        const char* what;
        std::string text;
        const char* refusal; // empty for a body that is taken
    };
    const Case cases[] = {
        { "an object", R"({"claim_version":1})", "" },
        { "white space around it", " \t\r\n{\"claim_version\":1} \r\n\t ", "" },
        { "32 levels", "{\"a\":" + Nested(31) + "}", "" },
        { "32 levels with brackets in strings beneath", "{\"a\":" + Nested(31, R"("]]]]\"[[[[[[")") + "}", "" },
        { "33 levels", "{\"a\":" + Nested(32) + "}", "nested deeper than 32 levels" },
        { "100,000 opening brackets", std::string(100'000, '['), "nested deeper than 32 levels" },
        { "a NUL byte and more after the object", std::string("{\"claim_version\":1}\0{}", 22), "NUL byte" },
        { "a NUL byte at the end", std::string("{\"claim_version\":1}\0", 20), "NUL byte" },
        { "a second object", R"({"claim_version":1}{"claim_version":2})", "not valid JSON" },
        { "text after the object", R"({"claim_version":1} x)", "not valid JSON" },
        { "an unclosed object", R"({"claim_version":1)", "not valid JSON" },
        { "a closing bracket too many", R"({"claim_version":1}])", "not valid JSON" },
        { "an array", "[1,2]", "must be a JSON object" },
        { "a number", "7", "must be a JSON object" },
        { "nothing", "", "not valid JSON" },
    };
    for (const Case& c : cases) {
        try {
            const nlohmann::json value = ParseJsonObject(c.text, "claim document", JsonShapeLimits {});
            EXPECT_STREQ(c.refusal, "") << c.what << " was taken";
            EXPECT_TRUE(value.is_object()) << c.what;
        } catch (const RequestError& error) {
            EXPECT_EQ(error.Status(), 400) << c.what;
            EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos) << c.what << ": " << error.what();
            EXPECT_NE(std::string(error.what()).find("claim document"), std::string::npos) << error.what();
            EXPECT_STRNE(c.refusal, "") << c.what << " was refused: " << error.what();
        }
    }
}

// The values are counted as objects and arrays plus the commas between members and elements,
// outside strings: a body within the count parses whole, one more value is refused, whatever the
// shape; a wide body of a mebibyte holds hundreds of thousands and is refused before its parse.
TEST(JsonBodyTest, TheNumberOfValuesIsBoundedWhateverTheShape)
{
    const JsonShapeLimits limits { 32, 1000 };
    // {"a":[x,x,...]} with `n` elements: 2 containers and n - 1 commas.
    const auto wide = [](const std::string& element, int n) {
        std::string text = "{\"a\":[" + element;
        for (int i = 1; i < n; ++i) {
            text += "," + element;
        }
        return text + "]}";
    };
    for (const std::string element : { "0", "\"x,y,z\"", "{}", "[]" }) {
        SCOPED_TRACE(element);
        // An element that is itself an object or an array counts once more.
        const int most = element == "{}" || element == "[]" ? 499 : 999;
        const nlohmann::json value = ParseJsonObject(wide(element, most), "search query", limits);
        EXPECT_EQ(value.at("a").size(), static_cast<std::size_t>(most));
        try {
            ParseJsonObject(wide(element, most + 1), "search query", limits);
            ADD_FAILURE() << "one value more was taken";
        } catch (const RequestError& error) {
            EXPECT_EQ(error.Status(), 400);
            EXPECT_NE(std::string(error.what()).find("holds more than 1000 members and elements"), std::string::npos)
                << error.what();
        }
    }
    std::string mebibyte = "{\"a\":[{}";
    while (mebibyte.size() < 1024 * 1024 - 8) {
        mebibyte += ",{}";
    }
    mebibyte += "]}";
    EXPECT_EQ(ScanJson(mebibyte, JsonShapeLimits {}), JsonScan::TooManyValues);
}
