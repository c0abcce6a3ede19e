#include "platform/window_system.h"

#include <poll.h>

namespace vextora {

void HeadlessWindowSystem::waitForActivity(int handle, int timeoutMs) {
    pollfd entry{handle, POLLIN, 0};
    ::poll(&entry, 1, timeoutMs);  // EINTR (a stop signal) ends the wait early, as wanted
}

}  // namespace vextora
