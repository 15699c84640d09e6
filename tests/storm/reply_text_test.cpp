#include "storm/reply_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const std::string count_open = "<liczba xsi:type=\"xsd:int\">";
const std::string count_close = "</liczba>";

struct TagCase {
    const char* name;
    std::string reply;
    std::optional<std::string> expected;
};

TEST(TagValue, CutsTheFirstElementByItsLiteralTags) {
    const TagCase cases[] = {
        {"whole element", "<liczba xsi:type=\"xsd:int\">17</liczba>", "17"},
        {"among other elements",
         "<odleglosc xsi:type=\"xsd:float\">3.5</odleglosc><liczba xsi:type=\"xsd:int\">4</"
         "liczba><okres xsi:type=\"xsd:int\">15</okres>",
         "4"},
        {"empty element", "<liczba xsi:type=\"xsd:int\"></liczba>", ""},
        {"no closing tag runs to the end", "<x/><liczba xsi:type=\"xsd:int\">42 and more",
         "42 and more"},
        {"no opening tag", "<okres xsi:type=\"xsd:int\">15</okres>", std::nullopt},
        {"empty reply", "", std::nullopt},
        {"other xsi:type", "<liczba xsi:type=\"xsd:string\">5</liczba>", std::nullopt},
        {"single quotes", "<liczba xsi:type='xsd:int'>5</liczba>", std::nullopt},
        {"other spacing", "<liczba  xsi:type=\"xsd:int\">5</liczba>", std::nullopt},
        {"other prefix", "<liczba xsi:type=\"xs:int\">5</liczba>", std::nullopt},
        {"first occurrence only",
         "<liczba xsi:type=\"xsd:int\">1</liczba><liczba xsi:type=\"xsd:int\">2</liczba>", "1"},
        {"closing tag before the opening tag is ignored",
         "</liczba><liczba xsi:type=\"xsd:int\">8</liczba>", "8"},
        {"stray closing tag only before the opening tag",
         "a</liczba>b<liczba xsi:type=\"xsd:int\">9", "9"},
        {"white space kept", "<liczba xsi:type=\"xsd:int\"> 3\n</liczba>", " 3\n"},
    };
    for (const TagCase& c : cases) {
        EXPECT_EQ(tag_value(c.reply, count_open, count_close), c.expected) << c.name;
    }
}

} // namespace
