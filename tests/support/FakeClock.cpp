#include "FakeClock.h"

#include "transports/TimeOut.h"

#include <atomic>

namespace liblumo::test {

namespace {

// Far from zero, so that a deadline computed backwards from it stays positive.
constexpr int64_t kStartMs = 1000000;
std::atomic<int64_t> fakeNowMs{kStartMs};

int64_t readFakeClock()
{
    return fakeNowMs.load(std::memory_order_relaxed);
}

} // namespace

FakeClock::FakeClock()
{
    fakeNowMs.store(kStartMs, std::memory_order_relaxed);
    TimeOut::setClock(readFakeClock);
}

FakeClock::~FakeClock()
{
    TimeOut::setClock(nullptr);
}

void FakeClock::advance(int ms)
{
    if (ms > 0)
        fakeNowMs.fetch_add(ms, std::memory_order_relaxed);
}

int64_t FakeClock::now() const
{
    return readFakeClock();
}

} // namespace liblumo::test
