// A clock for the library's deadlines that moves only when advanced, so a wait on a
// scripted device takes no real time. While one exists, TimeOut reads it; the monotonic
// clock comes back when it goes. One at a time.
#ifndef LIBLUMO_TESTS_FAKECLOCK_H
#define LIBLUMO_TESTS_FAKECLOCK_H

#include <cstdint>

namespace liblumo::test {

class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;

    void advance(int ms);
    int64_t now() const;
};

} // namespace liblumo::test

#endif
