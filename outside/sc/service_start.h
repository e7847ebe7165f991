// Waiting for the smart-card service to run. Windows 8 and later stop it when the last reader is
// unplugged and start it when one arrives; meanwhile every call answers that it is not running.
#pragma once
#include "outside/sc/watch_thread.h"

namespace sc_watch {

// Returns when the service may have started, or after `ms` milliseconds; false when `stop` was
// raised meanwhile.
bool waitForCardService(Signal& stop, unsigned ms);

}  // namespace sc_watch
