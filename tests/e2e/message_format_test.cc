// The application's message format: what the Dart side writes, the Python
// program reads, and back.

#include <gtest/gtest.h>

#include "message_format.h"

namespace {

using standin_app::decode_message;
using standin_app::encode_message;
using standin_app::Message;

struct RoundTrip {
  const char* name;
  Message message;
  std::string wire;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class MessageFormat : public testing::TestWithParam<RoundTrip> {};

TEST_P(MessageFormat, EncodesAndDecodesBackToTheSameFields) {
  EXPECT_EQ(encode_message(GetParam().message), GetParam().wire);
  EXPECT_EQ(decode_message(GetParam().wire), GetParam().message);
}

const RoundTrip kRoundTrips[] = {
    {"KindAlone", {"ready"}, "ready"},
    {"Fields", {"show", "Load average", "0.5"}, "show\tLoad average\t0.5"},
    {"EmptyFields", {"show", "", ""}, "show\t\t"},
    {"EscapedCharacters", {"echo", "a\tb\nc\\d"}, "echo\ta\\tb\\nc\\\\d"},
    {"Utf8", {"echo", "grüße ✓"}, "echo\tgrüße ✓"},
};

INSTANTIATE_TEST_SUITE_P(Messages, MessageFormat, testing::ValuesIn(kRoundTrips),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(MessageFormat, RefusesWhatIsNoMessage) {
  const std::string refused[] = {
      "",                         // no kind
      "\tfield",                  // empty kind
      "echo\tends in \\",         // a lone backslash
      "echo\t\\x",                // an escape that stands for nothing
      "echo\t\xff\xfe",           // not UTF-8
      std::string("echo\0x", 6),  // a NUL byte
  };
  for (const std::string& bytes : refused) {
    EXPECT_EQ(decode_message(bytes), std::nullopt) << testing::PrintToString(bytes);
  }
}

}  // namespace
