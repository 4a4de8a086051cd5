// Exclusive ownership of a device node among processes. hidraw lets any number of processes
// open the same node, so modules are claimed with an advisory lock on it.
#pragma once

namespace tavrik::hid {

enum class NodeLockResult { Locked, Busy, Failed };

// Opens path read-only and takes an exclusive lock on it without waiting. On Locked, *fd holds
// the lock until unlockNode(*fd). Busy: another open of the node holds the lock.
NodeLockResult lockNode(const char* path, int* fd);
void unlockNode(int fd);

}  // namespace tavrik::hid
