// A code that Unicode counts as the same text is the same code, whichever form was stored and
// whichever was sent; bytes that are not UTF-8 are compared as they are.
#include <gtest/gtest.h>

#include <string>

#include "Router.hpp"

namespace orvane {
namespace {

TEST(CanonicalCode, BearerMatchesTheCodeInCanonicalForm) {
  struct Case {
    const char* what;
    std::string stored;
    std::string sent;
    int status;
  };
  const Case cases[] = {
      {"stored decomposed, sent precomposed", "cafe\u0301-river-stone-12",
       "caf\u00e9-river-stone-12", 200},
      {"stored precomposed, sent decomposed", "caf\u00e9-river-stone-12",
       "cafe\u0301-river-stone-12", 200},
      {"another accent", "caf\u00e9-river-stone-12", "cafe\u0300-river-stone-12", 401},
      {"accent left off", "caf\u00e9-river-stone-12", "cafe-river-stone-12", 401},
      {"ASCII code, Kelvin sign sent for K", "K-river-stone-12", "\u212a-river-stone-12", 200},
      {"not UTF-8, same bytes", "code-\xff-stone-12", "code-\xff-stone-12", 200},
      {"not UTF-8, other bytes", "code-\xff-stone-12", "code-\xfe-stone-12", 401},
  };
  const DataDirectory unused("/nonexistent");
  StateEngine engine(unused);
  for (const Case& c : cases) {
    const Credential credential(c.stored);
    GuessLimiter limiter;
    Router router(engine, credential, limiter);
    EXPECT_EQ(router.respond({"GET", "/health", c.sent, {}}, "127.0.0.1").status, c.status)
        << c.what;
  }
}

}  // namespace
}  // namespace orvane
