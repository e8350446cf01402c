// List maintenance: appended "from" rules match their address literally;
// self-detection compares exact texts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "sandbox.h"
#include "test_util.h"

using namespace Orvane::SendVetter;

namespace {

class AddToList : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((tmp_ / "mail").c_str(), 0700);
    ::mkdir((tmp_ / "mail/.sendvetter").c_str(), 0700);
  }
  std::string emaildir() const { return tmp_ / "mail"; }
  std::string list(const std::string& name) const {
    return sandbox::read(tmp_ / ("mail/.sendvetter/" + name + "-list.txt"));
  }
  testutil::TempDir tmp_;
};

TEST_F(AddToList, EscapesEveryMetacharacter) {
  SendVetter_addaddytolist("white", "a.b@c.d", emaildir());
  SendVetter_addaddytolist("white", "a+b@x.com", emaildir());
  EXPECT_EQ(list("white"), "from a\\.b@c\\.d\nfrom a\\+b@x\\.com\n");

  const std::string odd = "q\\^$.|?*+()[]{}/z@x.test";
  SendVetter_addaddytolist("black", odd, emaildir());
  EXPECT_EQ(list("black"), "from q\\\\\\^\\$\\.\\|\\?\\*\\+\\(\\)\\[\\]\\{\\}/z@x\\.test\n");

  // Used as a rule is used ("/" escaped, no case), the pattern matches the
  // address itself and nothing the metacharacters would have let through.
  for (const std::string& address : {std::string("a+b@x.com"), odd}) {
    SendVetter_addaddytolist("ignore", address, emaildir());
    std::string pattern = list("ignore");
    pattern = pattern.substr(5, pattern.size() - 6);
    const Regex rule(Regex("/").replace_all(pattern, "\\/"), Regex::kCaseless);
    ASSERT_TRUE(rule.valid()) << pattern;
    EXPECT_TRUE(rule.search(address)) << pattern;
    EXPECT_TRUE(rule.search("X" + address + "X")) << "rules stay unanchored";
    ::unlink((tmp_ / "mail/.sendvetter/ignore-list.txt").c_str());
  }
  SendVetter_addaddytolist("ignore", "a+b@x.com", emaildir());
  const std::string stored = list("ignore");
  const Regex rule(stored.substr(5, stored.size() - 6), Regex::kCaseless);
  EXPECT_FALSE(rule.search("aab@x.com"));
  EXPECT_FALSE(rule.search("a+b@xxcom"));
}

TEST_F(AddToList, WhiteSpaceLineBreaksDuplicatesAndPaths) {
  SendVetter_addaddytolist("white", " \n\t \r\n", emaildir());
  EXPECT_FALSE(sandbox::exists(tmp_ / "mail/.sendvetter/white-list.txt"));

  SendVetter_addaddytolist("white", "  s@x.test \n", emaildir());
  SendVetter_addaddytolist("white", "s@x\n.test", emaildir());
  SendVetter_addaddytolist("white", "s@x.test", emaildir());
  EXPECT_EQ(list("white"), "from s@x\\.test\nfrom s@x\\.test\nfrom s@x\\.test\n");

  SendVetter_addaddytolist("bl..ack", "t@x.test", tmp_ / "ma..il");
  EXPECT_EQ(list("black"), "from t@x\\.test\n");

  // A last rule without its line feed is not run into.
  sandbox::write(tmp_ / "mail/.sendvetter/ignore-list.txt", "from friend@a\\.example");
  EXPECT_TRUE(SendVetter_addaddytolist("ignore", "new@b.example", emaildir()));
  EXPECT_EQ(list("ignore"), "from friend@a\\.example\nfrom new@b\\.example\n");

  // No settings directory: nothing is created, and the caller is told.
  EXPECT_FALSE(SendVetter_addaddytolist("white", "s@x.test", tmp_ / "nomail"));
  EXPECT_FALSE(sandbox::exists(tmp_ / "nomail"));
}

TEST(SelfDetection, IsFromSelf) {
  EXPECT_EQ(SendVetter_isfromself("a@x.test", "acct", "a@x.test, b@x.test"), 1);
  EXPECT_EQ(SendVetter_isfromself("b@x.test", "acct", "a@x.test, b@x.test"), 0);
  EXPECT_EQ(SendVetter_isfromself(" b@x.test", "acct", "a@x.test, b@x.test"), 1);
  EXPECT_EQ(SendVetter_isfromself("b@x.test", "acct", "a@x.test,b@x.test"), 1);
  EXPECT_EQ(SendVetter_isfromself("b@x.test", "acct", "a@x.test,b@x.test,"), 1);
  // The account always counts, with or without froms.
  EXPECT_EQ(SendVetter_isfromself("u@d.test", "u@d.test", "a@x.test"), 1);
  EXPECT_EQ(SendVetter_isfromself("acct", "acct", ""), 1);
  EXPECT_EQ(SendVetter_isfromself("", "acct", ""), 0);
  // Exact texts: case and substrings matter.
  EXPECT_EQ(SendVetter_isfromself("a@x.test", "acct", "A@x.test"), 0);
  EXPECT_EQ(SendVetter_isfromself("a@x.tes", "acct", "a@x.test"), 0);
}

TEST(SelfDetection, IsInArray) {
  EXPECT_EQ(SendVetter_isinarray("a@x.test", {}), 0);
  EXPECT_EQ(SendVetter_isinarray("a@x.test", {"", "b@x.test", "a@x.test"}), 1);
  EXPECT_EQ(SendVetter_isinarray("a@x.test", {"A@x.test", "a@x.test "}), 0);
  EXPECT_EQ(SendVetter_isinarray("", {"a@x.test", ""}), 1);
}

}  // namespace
