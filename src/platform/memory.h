// Giving memory back to the system.
#pragma once

namespace km {

// Returns free heap memory to the system. Called at the end of start-up, after a
// configuration snapshot is freed and at the end of each proxy session.
void trimMemory();

} // namespace km
