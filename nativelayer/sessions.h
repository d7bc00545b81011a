// Internal to the library: the locks that serialise the session methods of
// each device among the Java threads, and the slot reset that startPolling
// makes before it opens the status nodes.
#pragma once

#include <mutex>

// One lock per device: it serialises the device's session methods among the
// Java threads, and a descriptor of the device is read, written and closed
// only under it (the rules: nativelayer.h). The handlers on the polling
// thread take it too, and release it before they call back.
extern std::mutex g_KeyboardSessionLock;
extern std::mutex g_MsrSessionLock;
extern std::mutex g_KeylockSessionLock;

// Clears the data-node slots of every session that is not open (they hold 0
// or -1 then) and leaves the slots of an open session, whose descriptors are
// in use, as they are. The slots of positions that never hold a node are set
// to 0. The status slots are not touched.
void ResetSessionSlotsForPolling(void);

// Opens a device node read-write, blocking, closed on exec, on a descriptor
// above 0 (a slot takes 0 for "no descriptor"). Returns it, or -1.
int OpenDeviceNode(const char *path);
