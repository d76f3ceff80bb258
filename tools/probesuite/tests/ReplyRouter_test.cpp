// ReplyRouter against the embedded queue manager: every request gets exactly one delivery
// (its reply, matched by correlation element or else by descriptor, or its timeout), and
// every reply that matches no outstanding request is reported with its kind.
#include "ReplyRouter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "RvTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(30);

// Collects what the router hands out and lets the test wait for it.
class Recorder {
 public:
  ReplyRouter::Handler For(const std::string& token) {
    return [this, token](ReplyRouter::Delivery&& d) {
      std::lock_guard<std::mutex> lock(_mutex);
      _deliveries.emplace_back(token, std::move(d));
      _changed.notify_all();
    };
  }
  ReplyRouter::Observer Observer() {
    return {[this](const ReplyRouter::Stray& s) {
              std::lock_guard<std::mutex> lock(_mutex);
              _strays.push_back(s);
              _changed.notify_all();
            },
            [](const std::string& why) { ADD_FAILURE() << why; }};
  }
  // Waits until there are at least that many deliveries and strays.
  void WaitFor(size_t deliveries, size_t strays) {
    std::unique_lock<std::mutex> lock(_mutex);
    ASSERT_TRUE(_changed.wait_for(lock, kLimit, [&] {
      return _deliveries.size() >= deliveries && _strays.size() >= strays;
    }));
  }
  std::vector<std::pair<std::string, ReplyRouter::Delivery>> Deliveries() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _deliveries;
  }
  std::vector<ReplyRouter::Stray> Strays() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _strays;
  }

 private:
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::pair<std::string, ReplyRouter::Delivery>> _deliveries;
  std::vector<ReplyRouter::Stray> _strays;
};

class ReplyRouterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rvtest::FreshDataRoot("replyrouter");
    rvtest::CreateQueueManager("RR.QM");
    rvtest::DefineQueue("RR.QM", "RR.OUT");
  }
  void SetUp() override { rvtest::Drain("RR.QM", "RR.OUT"); }

  // Puts a reply with that correlation element (none when empty) and descriptor
  // correlation identifier.
  static void Reply(const std::string& element, const std::string& descriptorId = "") {
    RVHCONN hconn;
    RVHOBJ hobj;
    ASSERT_EQ(rvtest::Connect("RR.QM", &hconn).reason, 0);
    ASSERT_EQ(rvtest::Open(hconn, "RR.OUT", RVOO_OUTPUT, &hobj).reason, 0);
    RVMD md;
    RVInitMD(&md);
    std::memcpy(md.correlationId, descriptorId.data(), descriptorId.size());
    std::string body =
        "<r>" +
        (element.empty() ? std::string() : "<ActImplCorrelID>" + element + "</ActImplCorrelID>") +
        "</r>";
    EXPECT_EQ(rvtest::Put(hconn, hobj, body, &md).reason, 0);
    rvtest::Close(hconn, &hobj);
    rvtest::Disconnect(&hconn);
  }

  static Clock::time_point Later() { return Clock::now() + kLimit; }
};

TEST_F(ReplyRouterTest, RepliesReachTheirRequestsByElementOrByDescriptor) {
  Recorder recorder;
  ReplyRouter router(recorder.Observer());
  router.Listen("RR.QM", "RR.OUT", 2);
  std::string first = router.NextToken();
  std::string second = router.NextToken();
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(first.substr(0, 8), second.substr(0, 8));
  EXPECT_NE(first, second);
  router.Expect(first, Later(), recorder.For(first));
  router.Expect(second, Later(), recorder.For(second));
  EXPECT_EQ(router.Outstanding(), 2u);

  Reply(second);
  Reply("SOMETHING-ELSE", first);  // the wrong element, but the request's message identifier
  recorder.WaitFor(2, 0);
  auto deliveries = recorder.Deliveries();
  ASSERT_EQ(deliveries.size(), 2u);
  for (const auto& [token, d] : deliveries) {
    EXPECT_FALSE(d.timedOut);
    if (token == second) {
      EXPECT_TRUE(d.matchedByElement);
      EXPECT_EQ(d.element, second);
      EXPECT_EQ(d.body, "<r><ActImplCorrelID>" + second + "</ActImplCorrelID></r>");
    } else {
      EXPECT_FALSE(d.matchedByElement);
      EXPECT_EQ(d.element, "SOMETHING-ELSE");
    }
  }
  EXPECT_EQ(router.Outstanding(), 0u);
  EXPECT_TRUE(recorder.Strays().empty());
}

TEST_F(ReplyRouterTest, EveryStrayIsReportedWithItsKind) {
  Recorder recorder;
  ReplyRouter router(recorder.Observer());
  router.Listen("RR.QM", "RR.OUT");
  std::string answered = router.NextToken();
  std::string expiring = router.NextToken();
  router.Expect(answered, Later(), recorder.For(answered));
  router.Expect(expiring, Clock::now() + std::chrono::milliseconds(20), recorder.For(expiring));
  Reply(answered);
  recorder.WaitFor(2, 0);  // the reply and the timeout

  Reply(answered);                // a second reply to an answered request
  Reply(expiring);                // a reply after the timeout
  Reply("0000000000000001");      // another run's token
  Reply("", "");                  // nothing to match at all
  Reply("", router.NextToken());  // a token issued but never expected
  recorder.WaitFor(2, 5);

  auto deliveries = recorder.Deliveries();
  ASSERT_EQ(deliveries.size(), 2u);  // still exactly one each
  for (const auto& [token, d] : deliveries) EXPECT_EQ(d.timedOut, token == expiring) << token;
  auto strays = recorder.Strays();
  ASSERT_EQ(strays.size(), 5u);
  EXPECT_EQ(strays[0].kind, ReplyRouter::StrayKind::kDuplicate);
  EXPECT_EQ(strays[0].correlation, answered);
  EXPECT_EQ(strays[1].kind, ReplyRouter::StrayKind::kLate);
  EXPECT_EQ(strays[2].kind, ReplyRouter::StrayKind::kUnknown);
  EXPECT_EQ(strays[2].correlation, "0000000000000001");
  EXPECT_EQ(strays[3].kind, ReplyRouter::StrayKind::kUnknown);
  EXPECT_EQ(strays[3].correlation, "");
  EXPECT_EQ(strays[4].kind, ReplyRouter::StrayKind::kUnknown);
  EXPECT_EQ(strays[0].where, "queue RR.OUT at queue manager RR.QM");
  EXPECT_EQ(strays[0].bytes, 58u);
}

TEST_F(ReplyRouterTest, AWithdrawnRequestGetsNothing) {
  Recorder recorder;
  ReplyRouter router(recorder.Observer());
  router.Listen("RR.QM", "RR.OUT");
  std::string withdrawn = router.NextToken();
  std::string marker = router.NextToken();
  router.Expect(withdrawn, Clock::now() + std::chrono::milliseconds(10), recorder.For(withdrawn));
  router.Expect(marker, Clock::now() + std::chrono::milliseconds(60), recorder.For(marker));
  EXPECT_TRUE(router.Withdraw(withdrawn));
  EXPECT_FALSE(router.Withdraw(withdrawn));
  // The marker's timeout comes after the withdrawn request's deadline had passed.
  recorder.WaitFor(1, 0);
  auto deliveries = recorder.Deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].first, marker);
  EXPECT_TRUE(deliveries[0].second.timedOut);
  EXPECT_THROW(router.Expect(withdrawn, Later(), recorder.For(withdrawn)), std::exception);
}

TEST_F(ReplyRouterTest, AQueueThatCannotBeOpenedIsRefusedAtOnce) {
  Recorder recorder;
  ReplyRouter router(recorder.Observer());
  EXPECT_THROW(router.Listen("RR.QM", "NO.SUCH.Q"), std::exception);
  EXPECT_THROW(router.Listen("NO.QM", "RR.OUT"), std::exception);
}

}  // namespace
