#include "foundation/time/Clock.h"

#include <thread>

namespace Vel {

void SteadyClock::SleepFor(MonoDuration d) {
    if (d > MonoDuration::zero()) std::this_thread::sleep_for(d);
}

IClock& DefaultClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace Vel
