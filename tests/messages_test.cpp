#include "messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct escape {
    const char* name;
    std::string text;
    std::string shown;
};

// Whatever a path holds, a message about it stays one plain line for any reader.
const escape escapes[] = {
    {"EscapesControlsAsCDoes", std::string("\a\b\t\n\v\f\r\0\x1b[\\\x7f", 12),
     "\\a\\b\\t\\n\\v\\f\\r\\000\\033[\\\\\\177"},
    // But not printable UTF-8.
    {"EscapesC1ControlsAndUnicodeSeparators", "/a b/é\u00a0日本😀\U0010ffff\u0085\u009b\u2028\u2029",
     "/a b/é\u00a0日本😀\U0010ffff\\302\\205\\302\\233\\342\\200\\250\\342\\200\\251"},
    {"EscapesWhatIsNotUtf8",
     "\x85\xff\xc3(\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe0\x80\x80\xe6\x97",
     "\\205\\377\\303(\\300\\257\\355\\240\\200\\364\\220\\200\\200\\340\\200\\200\\346\\227"},
};

class Message : public testing::TestWithParam<escape> {};

TEST_P(Message, Escape) {
    const escape& e = GetParam();
    EXPECT_EQ(escaped(e.text), e.shown) << e.name;
}

std::string name_of(const testing::TestParamInfo<escape>& row) { return row.param.name; }
INSTANTIATE_TEST_SUITE_P(Escaped, Message, testing::ValuesIn(escapes), name_of);

}  // namespace
