// pcsc-lite has no event for its daemon's start: the watch asks again after the pause.
#include "outside/sc/service_start.h"

namespace sc_watch {

bool waitForCardService(Signal& stop, unsigned ms) { return !stop.waitFor(ms); }

}  // namespace sc_watch
