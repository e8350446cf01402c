// The web pages' guards, which no browser run can reach in time: sessions
// end when idle or too old, a token matches only itself, and failed sign-ins
// are limited per address and per client, each within its window.
#include <gtest/gtest.h>

#include "bin/sendvetter-web/login_limit.h"
#include "bin/sendvetter-web/sessions.h"

using namespace Orvane::SendVetter::Web;

namespace {

TEST(WebSession, SessionsEndWhenIdleOrTooOldAndTokensMatchOnlyThemselves) {
  SessionStore store(/*idle=*/100, /*lifetime=*/250);
  const auto id = store.create("info@example.test", 1000);
  ASSERT_TRUE(id && id->size() == 32u);
  const auto session = store.find(*id, 1099);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->account, "info@example.test");
  EXPECT_NE(session->csrf, *id);
  EXPECT_TRUE(store.find(*id, 1198) && store.find(*id, 1249));  // use keeps it alive...
  EXPECT_FALSE(store.find(*id, 1250));                          // ...but not past its lifetime
  const auto idle = store.create("info@example.test", 2000);
  EXPECT_FALSE(store.find(*idle, 2100));
  EXPECT_FALSE(store.find(*idle, 2000));  // forgotten, not merely refused
  EXPECT_FALSE(store.find("", 2000));

  EXPECT_TRUE(same_token("abcDEF_123", "abcDEF_123"));
  for (const char* other : {"abcDEF_124", "abcDEF_12", "abcDEF_1234", ""}) EXPECT_FALSE(same_token("abcDEF_123", other));
}

TEST(WebSession, FailedSignInsAreLimitedPerAddressAndPerClient) {
  LoginLimiter limiter(/*max_failures=*/3, /*window=*/60);
  for (const char* client : {"c0", "c1", "c2"}) {
    EXPECT_TRUE(limiter.allowed("info@example.test", client, 100));
    limiter.failed("info@example.test", client, 100);
  }
  EXPECT_FALSE(limiter.allowed("info@example.test", "fresh-client", 159));
  EXPECT_TRUE(limiter.allowed("other@example.test", "fresh-client", 159));
  EXPECT_TRUE(limiter.allowed("info@example.test", "fresh-client", 160));  // window over
  for (const char* address : {"a0@example.test", "a1@example.test", "a2@example.test"})
    limiter.failed(address, "mallory", 200);
  EXPECT_FALSE(limiter.allowed("new@example.test", "mallory", 200));
  EXPECT_TRUE(limiter.allowed("new@example.test", "someone-else", 200));
}

}  // namespace
