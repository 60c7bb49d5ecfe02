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
}

}  // namespace
}  // namespace launcher
