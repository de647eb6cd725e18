#include "tests/open_sockets.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#endif

namespace testing_sockets {

#if defined(_WIN32)
namespace {


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
size_t openSockets()
{
    size_t n = 0;
    forEachSocket([&n](SOCKET, int) { ++n; });
    return n;
}

/// TCP sockets of this process other than those bound to `terminalPort` (the
/// emulated terminal's listener and accepted connections): the link's own.
/// A TCP socket bound to nothing counts as well: only the link makes those.
size_t tcpSocketsNotOn(uint16_t terminalPort)
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

}  // namespace

size_t openDescriptors() { return openSockets(); }

size_t clientSockets(uint16_t terminalPort) { return tcpSocketsNotOn(terminalPort); }

#else

size_t openDescriptors()
{
    size_t n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(dir);
    return n - 1;  // the directory stream itself
}

size_t clientSockets(uint16_t terminalPort)
{
    size_t n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    const int self = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = atoi(e->d_name);
        struct stat st;
        if (fd == self || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        // A descriptor that the terminal closed meanwhile has no name.
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
            (local.sin_family == AF_INET && ntohs(local.sin_port) == terminalPort))
            continue;
        ++n;
    }
    closedir(dir);
    return n;
}

#endif

}  // namespace testing_sockets
