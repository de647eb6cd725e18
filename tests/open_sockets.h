// What a test process holds open, to check that nothing is left behind.
//
// On Linux the descriptors are listed in /proc/self/fd. Windows has no such
// list, and the process's handle count is no substitute: Wine answers 0, and
// the threads of the C++ runtime keep events and handles for reuse, so the
// count depends on what ran before. Sockets are the only handles the driver
// makes, so on Windows these helpers count sockets: the handle values are
// walked and each is asked whether it is a socket.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace testing_sockets {

/// Open descriptors of this process (Windows: its sockets).
size_t openDescriptors();

/// Sockets of this process other than those bound to terminalPort (the
/// emulated terminal's listener and its accepted connections): the driver's
/// own. The terminal's thread may open and close its sockets meanwhile; those
/// never count.
size_t clientSockets(uint16_t terminalPort);

}  // namespace testing_sockets
