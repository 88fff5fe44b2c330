#include "platform/apartment_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/apartment.h"

using namespace std::chrono_literals;

TEST(ApartmentTimerTest, CallRunsOnTheApartmentsThreadAndAStoppedOrReplacedCallNever) {
  auto apartment = CApartment::ForCurrentThread();
  CApartmentTimer timer(apartment);
  int stopped = 0;
  int replaced = 0;
  int fired = 0;
  std::thread::id ranOn;
  timer.Start(0ms, [&] { ++stopped; });
  timer.Stop();
  timer.Start(0ms, [&] { ++replaced; });
  timer.Start(20ms, [&] {
    ++fired;
    ranOn = std::this_thread::get_id();
  });
  ASSERT_TRUE(apartment->RunUntil([&] { return fired == 1; }, 10s));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(stopped, 0);
  EXPECT_EQ(replaced, 0);

  // A call posted but not yet run is dropped when the timer goes.
  {
    CApartmentTimer shortLived(apartment);
    shortLived.Start(0ms, [&] { ++stopped; });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (apartment->PendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ASSERT_EQ(apartment->PendingCount(), 1u);
  }
  apartment->RunPending();
  EXPECT_EQ(stopped, 0);
}
