// The web pages' guards as units: sessions end when idle or too old, a
// token matches only itself, and failed sign-ins are limited per address
// and per client, each within its window.
#include <gtest/gtest.h>

#include "bin/sendvetter-web/login_limit.h"
#include "bin/sendvetter-web/sessions.h"

namespace {

using Orvane::SendVetter::Web::LoginLimiter;
using Orvane::SendVetter::Web::same_token;
using Orvane::SendVetter::Web::SessionStore;

TEST(WebSession, ASessionEndsWhenIdleOrTooOldAndIsThenForgotten) {
  SessionStore store(/*idle=*/100, /*lifetime=*/250);
  const auto id = store.create("info@example.test", 1000);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  const auto session = store.find(*id, 1099);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->account, "info@example.test");
  EXPECT_NE(session->csrf, *id);
  EXPECT_TRUE(store.find(*id, 1198));  // use keeps it alive...
  EXPECT_TRUE(store.find(*id, 1249));
  EXPECT_FALSE(store.find(*id, 1250));  // ...but not past its lifetime
  EXPECT_FALSE(store.find(*id, 1251));

  const auto idle = store.create("info@example.test", 2000);
  EXPECT_FALSE(store.find(*idle, 2100));
  EXPECT_FALSE(store.find(*idle, 2000));  // forgotten, not merely refused
  EXPECT_FALSE(store.find("", 2000));
}

TEST(WebSession, ATokenMatchesOnlyItself) {
  EXPECT_TRUE(same_token("abcDEF_123", "abcDEF_123"));
  EXPECT_FALSE(same_token("abcDEF_123", "abcDEF_124"));
  EXPECT_FALSE(same_token("abcDEF_123", "abcDEF_12"));
  EXPECT_FALSE(same_token("abcDEF_123", ""));
}

TEST(WebSession, FailedSignInsAreLimitedPerAddressAndPerClient) {
  LoginLimiter limiter(/*max_failures=*/3, /*window=*/60);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(limiter.allowed("info@example.test", "client-" + std::to_string(i), 100));
    limiter.failed("info@example.test", "client-" + std::to_string(i), 100);
  }
  EXPECT_FALSE(limiter.allowed("info@example.test", "fresh-client", 159));
  EXPECT_TRUE(limiter.allowed("other@example.test", "fresh-client", 159));
  EXPECT_TRUE(limiter.allowed("info@example.test", "fresh-client", 160));  // window over

  for (int i = 0; i < 3; ++i)
    limiter.failed("a" + std::to_string(i) + "@example.test", "mallory", 200);
  EXPECT_FALSE(limiter.allowed("new@example.test", "mallory", 200));
  EXPECT_TRUE(limiter.allowed("new@example.test", "someone-else", 200));
}

}  // namespace
