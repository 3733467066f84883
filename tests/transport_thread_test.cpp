// The transport's error is the calling thread's own: another thread's
// successful exchange in between must never turn a failure into success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "vantor/reader.h"

namespace vantor::test {
namespace {

// Sanitizers slow each call down some tenfold.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long kCalls = 200000;
#else
constexpr long kCalls = 1500000;
#endif

TEST(TransportThreads, FailureStaysWithItsThread) {
  const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(sink, 0);
  const int closed = 1 << 24;  // beyond any descriptor limit: never open
  std::atomic<long> sentWrongly{0}, failedWrongly{0};
  std::thread sender([&] {
    unsigned char data[4] = {1, 2, 3, 4};
    for (long i = 0; i < kCalls; ++i) {
      if (SKSendData(sink, 0, 0x78, data, 4) != 1) ++failedWrongly;
    }
  });
  for (long i = 0; i < kCalls; ++i) {
    if (DllLedControl(closed, 1) == 0) ++sentWrongly;
  }
  sender.join();
  ::close(sink);
  EXPECT_EQ(sentWrongly.load(), 0);
  EXPECT_EQ(failedWrongly.load(), 0);
}

}  // namespace
}  // namespace vantor::test
