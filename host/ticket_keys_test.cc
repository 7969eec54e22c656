#include "ticket_keys.h"

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

std::string Name(const TicketKeys::Key& key) {
  return std::string(reinterpret_cast<const char*>(key.name), TicketKeys::kNameSize);
}

// Keys change every hour; the test moves the clock.
class TicketKeysTest : public ::testing::Test {
 protected:
  TicketKeys::Key Seal() {
    TicketKeys::Key key;
    EXPECT_TRUE(keys_.ForSealing(&key));
    return key;
  }
  TicketKeys::Found Open(const TicketKeys::Key& sealed) {
    TicketKeys::Key found;
    memset(&found, 0, sizeof found);
    TicketKeys::Found result = keys_.ForOpening(sealed.name, &found);
    if (result != TicketKeys::Found::kNone) {
      // The key found is the very one that sealed.
      EXPECT_EQ(memcmp(&found, &sealed, sizeof found), 0);
    }
    return result;
  }

  Clock::time_point now_ = Clock::now();
  TicketKeys keys_{seconds(3600), [this] { return now_; }};
};

TEST_F(TicketKeysTest, AKeySealsForOnePeriodAndOpensForOneMore) {
  TicketKeys::Key first = Seal();
  now_ += seconds(3599);
  EXPECT_EQ(Name(Seal()), Name(first));
  EXPECT_EQ(Open(first), TicketKeys::Found::kCurrent);

  now_ += seconds(1);  // an hour old: a new key seals
  TicketKeys::Key second = Seal();
  EXPECT_NE(Name(second), Name(first));
  EXPECT_NE(memcmp(second.cipher, first.cipher, sizeof first.cipher), 0);
  EXPECT_NE(memcmp(second.mac, first.mac, sizeof first.mac), 0);
  EXPECT_EQ(Open(second), TicketKeys::Found::kCurrent);
  // A ticket sealed just before the change still opens, and is renewed.
  EXPECT_EQ(Open(first), TicketKeys::Found::kPrevious);

  now_ += seconds(3600);  // the first key is two periods old: gone
  TicketKeys::Key third = Seal();
  EXPECT_EQ(Open(first), TicketKeys::Found::kNone);
  EXPECT_EQ(Open(second), TicketKeys::Found::kPrevious);
  EXPECT_EQ(Open(third), TicketKeys::Found::kCurrent);
}

TEST_F(TicketKeysTest, AKeyIdlePastTwoPeriodsOpensNothingEvenWhenNoneSealedSince) {
  TicketKeys::Key first = Seal();
  // No handshake for a long while: the next one, opening or sealing, finds
  // the old key too old to keep as the previous one.
  now_ += seconds(2 * 3600);
  EXPECT_EQ(Open(first), TicketKeys::Found::kNone);
  now_ += seconds(3 * 3600);
  TicketKeys::Key later = Seal();
  EXPECT_EQ(Open(later), TicketKeys::Found::kCurrent);
  EXPECT_EQ(Open(first), TicketKeys::Found::kNone);
}

TEST_F(TicketKeysTest, AnUnknownNameOpensNothing) {
  TicketKeys::Key sealed = Seal();
  TicketKeys::Key stranger = sealed;
  stranger.name[0] ^= 0x01;
  EXPECT_EQ(Open(stranger), TicketKeys::Found::kNone);
}

}  // namespace
