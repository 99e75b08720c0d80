#include "host/platform/url_text.h"

#include <gtest/gtest.h>

namespace qor::host {
namespace {

TEST(EncodeUnsafeUrlCharacters, EncodesOnlyWhatHttpCannotCarry) {
  struct Case {
    std::string url;
    std::string expected;
  };
  const Case cases[] = {
      {"http://s/storefront/v3/view/featured?language=en_US",
       "http://s/storefront/v3/view/featured?language=en_US"},
      {"http://s/p?giftmessage=happy birthday&language=en",
       "http://s/p?giftmessage=happy%20birthday&language=en"},
      // Reserved characters keep their meaning; encoded sequences stay as they are.
      {"http://u:p@s:80/a;b?x=1&y=$,!*'()+~@:/", "http://u:p@s:80/a;b?x=1&y=$,!*'()+~@:/"},
      {"http://s/a%20b%2Fc", "http://s/a%20b%2Fc"},
      {"http://s/100%", "http://s/100%25"},
      {"http://s/%zz", "http://s/%25zz"},
      {"http://s/%a", "http://s/%25a"},
      {"http://s/\"<>\\^`{|}", "http://s/%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"http://s/?m=#1", "http://s/?m=%231"},
      {"http://s/?m=a\tb\r\nc", "http://s/?m=a%09b%0D%0Ac"},
      {"http://s/?m=caf\xC3\xA9", "http://s/?m=caf%C3%A9"},
      {std::string("http://s/?m=\0\x7F", 14), "http://s/?m=%00%7F"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(EncodeUnsafeUrlCharacters(c.url), c.expected);
  }
}

}  // namespace
}  // namespace qor::host
