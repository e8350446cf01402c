// Account lookup: host-file matching, directory derivation and creation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "sandbox.h"
#include "test_util.h"

using namespace Orvane::SendVetter;

namespace {

class AccountLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = host_paths();
    host_paths().passwd = dir_ / "passwd";
    host_paths().userdomains = dir_ / "userdomains";
    ::mkdir((dir_ / "home").c_str(), 0700);
  }
  void TearDown() override { host_paths() = saved_; }

  testutil::TempDir dir_;
  HostPaths saved_;
};

TEST(BeginMatch, ComparesAsciiLettersWithoutCaseAndEverythingElseExactly) {
  EXPECT_EQ(SendVetter_beginmatch("MAILER-DAEMON@x", "mailer-daemon"), 1);
  EXPECT_EQ(SendVetter_beginmatch("mail", "mailer-daemon"), 0);
  EXPECT_EQ(SendVetter_beginmatch("anything", ""), 1);
  EXPECT_EQ(SendVetter_beginmatch("", ""), 1);
  EXPECT_EQ(SendVetter_beginmatch("\xC3\x89t", "\xC3\xA9"), 0);  // only ASCII folds
  EXPECT_EQ(SendVetter_beginmatch("[x", "{"), 0);                 // "[" is not "{"
}

TEST(DotPairs, AreRemovedLeftToRightWithoutOverlap) {
  EXPECT_EQ(remove_dot_pairs("a/../b"), "a//b");
  EXPECT_EQ(remove_dot_pairs("..."), ".");
  EXPECT_EQ(remove_dot_pairs("...."), "");
  EXPECT_EQ(remove_dot_pairs("a.b"), "a.b");
}

TEST_F(AccountLookup, FindsSystemAndAddressAccountsByCaseInsensitivePrefix) {
  const std::string home = dir_ / "home";
  sandbox::write(host_paths().passwd,
                 "bo:x:1:1::/nowhere:/bin/sh\n"
                 "bob:*:1001:1001:Bob:" + home + ":/bin/sh\n"
                 "bob:*:1002:1002:Second:/second:/bin/sh\n");
  sandbox::write(host_paths().userdomains, "example.com: bob\nexample.com: carol\n");

  EXPECT_EQ(SendVetter_gethomedir("Bob"), home);
  EXPECT_EQ(SendVetter_gethomedir("b"), "");
  auto [homedir, domain] = SendVetter_getaccountinfo("bob");
  EXPECT_EQ(homedir, home);
  EXPECT_EQ(domain, "");

  EXPECT_EQ(SendVetter_getdomainowner("Example.COM"), "bob");
  EXPECT_EQ(SendVetter_getdomainowner("example.co"), "");  // ": " is part of the prefix
  auto address = SendVetter_getaccountinfo("info@Example.com");
  EXPECT_EQ(address.first, home);
  EXPECT_EQ(address.second, "Example.com");  // the account's own spelling
  EXPECT_EQ(SendVetter_getwebdomain("Example.com"), "mail.Example.com");

  // Two "@": the domain is the text between them.
  EXPECT_EQ(SendVetter_getaccountinfo("a@example.com@else").second, "example.com");
  EXPECT_EQ(SendVetter_getaccountinfo("x@unknown.test"), (std::pair<std::string, std::string>{}));
  EXPECT_EQ(SendVetter_getaccountinfo("x@"), (std::pair<std::string, std::string>{}));
}

TEST_F(AccountLookup, OwnerFieldIsTheSecondRunOfNonBlanks) {
  sandbox::write(host_paths().userdomains, "weird.test:dave\nweird.test:    dave   extra\n");
  EXPECT_EQ(SendVetter_getdomainowner("weird.test"), "dave");
  sandbox::write(host_paths().userdomains, "weird.test:dave\n");
  EXPECT_EQ(SendVetter_getdomainowner("weird.test"), "");  // no blank after the colon
}

TEST_F(AccountLookup, HomeDirectoryLinksAreFollowedToTheirEndButNotForever) {
  const std::string real = dir_ / "home/real";
  ::mkdir(real.c_str(), 0700);
  ASSERT_EQ(::symlink(real.c_str(), (dir_ / "link1").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "link1").c_str(), (dir_ / "link2").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "loopa").c_str(), (dir_ / "loopb").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "loopb").c_str(), (dir_ / "loopa").c_str()), 0);
  sandbox::write(host_paths().passwd, "carol:x:1:1::" + (dir_ / "link2") + ":/bin/sh\n" +
                                          "loop:x:1:1::" + (dir_ / "loopa") + ":/bin/sh\n" +
                                          "short:x:1:1\n");
  EXPECT_EQ(SendVetter_gethomedir("carol"), real);
  EXPECT_EQ(SendVetter_gethomedir("loop"), "");
  EXPECT_EQ(SendVetter_gethomedir("short"), "");
}

TEST_F(AccountLookup, UnreadableHostFilesResolveNothing) {
  host_paths().passwd = dir_ / "missing";
  host_paths().userdomains = dir_ / "missing";
  EXPECT_EQ(SendVetter_getaccountinfo("bob").first, "");
  EXPECT_EQ(SendVetter_getdomainowner("example.com"), "");
}

TEST_F(AccountLookup, EmailDirectoriesAreCreatedOneLevelAtATime) {
  const std::string home = dir_ / "home";
  auto [emaildir, deliverdir] = SendVetter_getemaildirs("bob", home);
  EXPECT_EQ(emaildir, home + "/etc");
  EXPECT_EQ(deliverdir, home + "/mail");
  EXPECT_TRUE(is_directory(home + "/etc/.sendvetter"));
  struct stat st;
  ASSERT_EQ(::stat((home + "/etc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  // The domain directories are missing: nothing is created above them.
  EXPECT_EQ(SendVetter_getemaildirs("info@example.com", home), (std::pair<std::string, std::string>{}));
  EXPECT_FALSE(path_exists(home + "/etc/example.com"));

  ::mkdir((home + "/etc/example.com").c_str(), 0700);
  ::mkdir((home + "/mail/example.com").c_str(), 0700);
  auto dirs = SendVetter_getemaildirs("info@example.com", home);
  EXPECT_EQ(dirs.first, home + "/etc/example.com/info");
  EXPECT_EQ(dirs.second, home + "/mail/example.com/info");
}

TEST_F(AccountLookup, DotPairsLeaveTheEmailDirectoriesBeforeAnythingIsCreated) {
  const std::string home = dir_ / "home";
  ::mkdir((home + "/etc").c_str(), 0700);
  ::mkdir((home + "/mail").c_str(), 0700);
  // "info@.." would climb to home/info; with ".." gone the paths stay below
  // home/etc and home/mail.
  auto dirs = SendVetter_getemaildirs("info@..", home);
  EXPECT_EQ(dirs.first, home + "/etc//info");
  EXPECT_FALSE(path_exists(home + "/info"));
  EXPECT_FALSE(path_exists(home + "/.sendvetter"));
  auto climbing = SendVetter_getemaildirs("../../x@example.com", home);
  EXPECT_EQ(climbing, (std::pair<std::string, std::string>{}));
  EXPECT_FALSE(path_exists(dir_ / "x"));
}

}  // namespace
