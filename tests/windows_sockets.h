// The sockets of a Windows test process, for the tests that check that
// nothing is left open.
//
// Windows has no /proc/self/fd to list, and the process's handle count is no
// substitute: Wine answers 0, and the threads of the C++ runtime keep events
// and handles for reuse, so the count depends on what ran before. Sockets are
// the only handles the driver makes, so these helpers count them: the handle
// values are walked and each is asked whether it is a socket.
#pragma once

#if !defined(_WIN32)
#error "for the Windows build only"
#endif

#include <winsock2.h>
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include <algorithm>

namespace wintest {

/// Calls visit(socket, type) for every socket of this process.
template <class Visit>
void forEachSocket(Visit visit)
{
    // The queries need Windows Sockets started; the start is kept for the
    // life of the process.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return;

    // Handle values are multiples of 4, handed out from the bottom of the
    // table; far beyond the number in use there is no live one.
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    const uintptr_t last = std::max<uintptr_t>(0x10000, 16 * uintptr_t{handles});
    for (uintptr_t value = 4; value <= last; value += 4) {
        const SOCKET s = static_cast<SOCKET>(value);
        int type = 0;
        int size = sizeof type;
        // Fails for anything that is not a socket, or no longer one.
        if (getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0)
            visit(s, type);
    }
}

/// Every socket of this process.
inline size_t openSockets()
{
    size_t n = 0;
    forEachSocket([&n](SOCKET, int) { ++n; });
    return n;
}

/// TCP sockets of this process other than those bound to `terminalPort` (the
/// emulated terminal's listener and accepted connections): the link's own.
/// A TCP socket bound to nothing counts as well: only the link makes those.
inline size_t tcpSocketsNotOn(uint16_t terminalPort)
{
    size_t n = 0;
    forEachSocket([&n, terminalPort](SOCKET s, int type) {
        if (type != SOCK_STREAM)
            return;
        sockaddr_in local{};
        int length = sizeof local;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            if (local.sin_family == AF_INET && ntohs(local.sin_port) == terminalPort)
                return;
        } else if (WSAGetLastError() != WSAEINVAL) {
            return;  // closed meanwhile (WSAEINVAL: bound to nothing)
        }
        ++n;
    });
    return n;
}

}  // namespace wintest
