// SCardAccessStartedEvent gives an event that is signalled while the resource manager runs
// (Windows XP and later: "SCardAccessStartedEvent function", winscard.h). The handle is not
// closed but released, one release for each access.
#include "outside/sc/service_start.h"

#include <winscard.h>

namespace sc_watch {

bool waitForCardService(Signal& stop, unsigned ms) {
    const HANDLE started = SCardAccessStartedEvent();
    if (started == nullptr) return !stop.waitFor(ms);
    const HANDLE events[] = {stop.handle(), started};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, ms);
    SCardReleaseStartedEvent();
    return woken != WAIT_OBJECT_0;
}

}  // namespace sc_watch
