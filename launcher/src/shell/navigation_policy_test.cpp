#include "shell/navigation_policy.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(NavigationPolicyTest, OnlyThePageOriginLoadsAndOnlyHttpsLeavesForTheBrowser) {
  using D = NavigationDecision;
  struct Case {
    const char* uri;
    D navigation;
    D newWindow;
  } cases[] = {
      {"vantor://launcher/index.html", D::Allow, D::Drop},
      {"vantor://launcher/", D::Allow, D::Drop},
      {"vantor://launcher/index.html?x#y", D::Allow, D::Drop},
      {"vantor://launcherx/index.html", D::Drop, D::Drop},
      {"vantor://other/", D::Drop, D::Drop},
      {"https://example.com/news", D::OpenInBrowser, D::OpenInBrowser},
      {"https://example.com/a?b=c&d=%20e", D::OpenInBrowser, D::OpenInBrowser},
      {"http://example.com/", D::Drop, D::Drop},
      {"HTTPS://example.com/", D::Drop, D::Drop},  // exact, lower-case prefix only
      {"https://", D::Drop, D::Drop},
      {"https://example.com/a b", D::Drop, D::Drop},
      {"https://example.com/\n--option", D::Drop, D::Drop},
      {"https://example.com/\t", D::Drop, D::Drop},
      {"https://example.com/\x7f", D::Drop, D::Drop},
      {"https://example.com/\xc2\x80", D::Drop, D::Drop},          // U+0080, the first C1 control
      {"https://example.com/a\xc2\x85--option", D::Drop, D::Drop},  // U+0085, next line
      {"https://example.com/\xc2\x9f", D::Drop, D::Drop},          // U+009F, the last
      {"https://example.com/\x85", D::Drop, D::Drop},              // not UTF-8: NEL in Latin-1
      {"https://example.com/\xe0\x82\x85", D::Drop, D::Drop},      // U+0085 in an overlong form
      {"https://example.com/\xc2", D::Drop, D::Drop},              // cut short
      {"https://example.com/\xc2\xa0", D::OpenInBrowser, D::OpenInBrowser},  // U+00A0 is no control
      {"https://example.com/caf\xc3\xa9", D::OpenInBrowser, D::OpenInBrowser},
      {"mailto:someone@example.com", D::Drop, D::Drop},
      {"file:///etc/passwd", D::Drop, D::Drop},
      {"javascript:alert(1)", D::Drop, D::Drop},
      {"data:text/html,<h1>x</h1>", D::Drop, D::Drop},
      {"about:blank", D::Drop, D::Drop},
      {"", D::Drop, D::Drop},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decideNavigation(c.uri), c.navigation) << c.uri;
    EXPECT_EQ(decideNewWindow(c.uri), c.newWindow) << c.uri;
  }
}

TEST(NavigationPolicyTest, NonAsciiAddressesMayOpen) {
  EXPECT_TRUE(isOpenableHttpsUrl("https://example.com/caf\xc3\xa9"));
  EXPECT_TRUE(isOpenableHttpsUrl("https://example.com/\xe2\x82\xac\xf0\x9f\x98\x80"));  // U+20AC, U+1F600
}

}  // namespace
}  // namespace launcher
