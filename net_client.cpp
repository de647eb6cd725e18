#include "net_client.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <climits>

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
typedef int io_size;
bool interrupted() { return WSAGetLastError() == WSAEINTR; }
bool connectPending() { return WSAGetLastError() == WSAEWOULDBLOCK; }
#else
typedef size_t io_size;
const SOCKET INVALID_SOCKET = -1;
bool interrupted() { return errno == EINTR; }
// EINTR: the attempt goes on in the background, exactly as if it were in progress.
bool connectPending() { return errno == EINPROGRESS || errno == EINTR; }
#endif

// Largest count handed to one send or receive call (Windows counts in int).
constexpr size_t kMaxIoCall = 1u << 30;
// A reply buffer grows by at least this much, and otherwise doubles, so a
// header that declares a huge length costs nothing until the bytes arrive.
constexpr size_t kMinReplyGrowth = 64 * 1024;

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One send call that never raises the broken-pipe signal.
long sendSome(SOCKET s, const uint8_t* data, size_t size)
{
    const io_size n = static_cast<io_size>(std::min(size, kMaxIoCall));
#if defined(_WIN32)
    return ::send(s, reinterpret_cast<const char*>(data), n, 0);
#else
    return ::send(s, data, n, MSG_NOSIGNAL);
#endif
}

long receiveSome(SOCKET s, void* into, size_t size)
{
    const io_size n = static_cast<io_size>(std::min(size, kMaxIoCall));
#if defined(_WIN32)
    return ::recv(s, static_cast<char*>(into), n, 0);
#else
    return ::recv(s, into, n, 0);
#endif
}

// One numbers-and-dots part: decimal, octal after a leading 0, hex after 0x.
bool parsePart(const char* begin, const char* end, uint32_t* value)
{
    if (begin == end)
        return false;
    unsigned base = 10;
    if (end - begin > 1 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
        base = 16;
        begin += 2;
        if (begin == end)
            return false;
    } else if (end - begin > 1 && begin[0] == '0') {
        base = 8;
        begin += 1;
    }
    uint64_t v = 0;
    for (const char* p = begin; p != end; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            return false;
        if (digit >= base)
            return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFULL)
            return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

NetClient::ReplyBuffer::~ReplyBuffer() { free(data); }

bool NetClient::ReplyBuffer::reserveFor(size_t more)
{
    if (capacity - size >= more)
        return true;
    const size_t wanted = size + more;
    void* grown = realloc(data, wanted);
    if (grown == nullptr)
        return false;
    data = static_cast<uint8_t*>(grown);
    capacity = wanted;
    return true;
}

NetClient::NetClient() : _socket(INVALID_SOCKET), cmd()
{
#if defined(_WIN32)
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
#endif
}

NetClient::~NetClient()
{
    close();
#if defined(_WIN32)
    WSACleanup();
#endif
}

bool NetClient::isConnected() const { return _socket != INVALID_SOCKET; }

void NetClient::close()
{
    if (_socket != INVALID_SOCKET) {
#if defined(_WIN32)
        ::shutdown(_socket, SD_BOTH);
        ::closesocket(_socket);
#else
        ::shutdown(_socket, SHUT_RDWR);
        ::close(_socket);
#endif
    }
    _socket = INVALID_SOCKET;
}

bool NetClient::parseAddress(const std::string& text, uint32_t* networkOrder)
{
    uint32_t parts[4];
    size_t count = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    for (;;) {
        const char* dot = std::find(p, end, '.');
        if (count == 4 || !parsePart(p, dot, &parts[count]))
            return false;
        ++count;
        if (dot == end)
            break;
        p = dot + 1;
    }
    // The last part fills all the bytes that the earlier parts leave.
    uint32_t host = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF)
            return false;
        host |= parts[i] << (24 - 8 * i);
    }
    const uint32_t lastMax = count == 1 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> (8 * (count - 1)));
    if (parts[count - 1] > lastMax)
        return false;
    host |= parts[count - 1];
    *networkOrder = htonl(host);
    return true;
}

void NetClient::setBlocking(bool blocking)
{
#if defined(_WIN32)
    u_long mode = blocking ? 0 : 1;
    ioctlsocket(_socket, FIONBIO, &mode);
#else
    const int flags = fcntl(_socket, F_GETFL, 0);
    if (flags != -1)
        fcntl(_socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
#endif
}

void NetClient::setIoTimeouts()
{
    // A blocking send or receive that sees no progress for the idle limit
    // fails; the exchange then ends with a network error.
#if defined(_WIN32)
    const DWORD ms = static_cast<DWORD>(_limits.replyIdleMs);
    setsockopt(_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    setsockopt(_socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
    timeval tv;
    tv.tv_sec = _limits.replyIdleMs / 1000;
    tv.tv_usec = (_limits.replyIdleMs % 1000) * 1000;
    setsockopt(_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#endif
}

bool NetClient::waitFor(bool read, int timeoutMs)
{
#if defined(_WIN32)
    // Winsock reports a failed connection attempt only in the except set.
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    FD_SET(_socket, read ? &readSet : &writeSet);
    FD_SET(_socket, &exceptSet);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return select(0, &readSet, &writeSet, &exceptSet, &tv) > 0;
#else
    // poll takes descriptors of any number, unlike a fixed-size select set.
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        pollfd pfd;
        pfd.fd = _socket;
        pfd.events = read ? POLLIN : POLLOUT;
        pfd.revents = 0;
        const int64_t left = std::max<int64_t>(0, deadline - nowMs());
        const int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc > 0)
            return true;
        if (rc == 0 || !interrupted())
            return false;
    }
#endif
}

bool NetClient::connectedWithoutError()
{
    int error = 0;
#if defined(_WIN32)
    int len = sizeof error;
    if (getsockopt(_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
        return false;
#else
    socklen_t len = sizeof error;
    if (getsockopt(_socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return false;
#endif
    return error == 0;
}

bool NetClient::openImpl()
{
    close();

    uint32_t host;
    if (!parseAddress(_address, &host))
        return false;

#if defined(_WIN32)
    _socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
    // Close-on-exec: a child process the host starts must not inherit the link.
    _socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#endif
    if (_socket == INVALID_SOCKET)
        return false;

    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(TERMINAL_PORT);
    addr.sin_addr.s_addr = host;

    setBlocking(false);
    if (::connect(_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // A refused attempt must count as failed: after the wait, the
        // socket's pending error decides.
        if (!connectPending() || !waitFor(false, _limits.connectTimeoutMs) ||
            !connectedWithoutError()) {
            close();
            return false;
        }
    }
    setBlocking(true);
    setIoTimeouts();
    return true;
}

bool NetClient::open(std::string address)
{
    _address = std::move(address);
    const bool made = openImpl();
    close();
    return made;
}

bool NetClient::sendAll(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const long n = sendSome(_socket, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && interrupted()) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool NetClient::sendPayload(const uint8_t* data, size_t size)
{
    for (size_t offset = 0; offset < size; offset += SEND_CHUNK_SIZE) {
        if (!sendAll(data + offset, std::min(SEND_CHUNK_SIZE, size - offset)))
            return false;
    }
    return true;
}

bool NetClient::receiveAll(void* into, size_t size)
{
    uint8_t* p = static_cast<uint8_t*>(into);
    while (size > 0) {
        const long n = receiveSome(_socket, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && interrupted()) {
            continue;
        } else {
            return false;  // closed, failed, or silent beyond the idle limit
        }
    }
    return true;
}

bool NetClient::receivePayload(size_t length, int64_t deadline)
{
    size_t outstanding = length;
    while (outstanding > 0) {
        if (nowMs() > deadline)
            return false;
        if (!_reply.reserveFor(std::min(outstanding, std::max(kMinReplyGrowth, _reply.size))))
            return false;
        const size_t room = std::min(outstanding, _reply.capacity - _reply.size);
        const long n = receiveSome(_socket, _reply.data + _reply.size, room);
        if (n > 0) {
            _reply.size += static_cast<size_t>(n);
            outstanding -= static_cast<size_t>(n);
        } else if (!(n < 0 && interrupted())) {
            return false;
        }
    }
    return true;
}

int NetClient::receiveAnswer(uint8_t command, int64_t deadline)
{
    for (;;) {
        if (nowMs() > deadline)
            return EXCHANGE_NETWORK;
        memset(&cmd, 0, sizeof cmd);
        if (!receiveAll(&cmd, sizeof cmd))
            return EXCHANGE_NETWORK;
        if (cmd.cmd == REPLY_ERROR) {
            uint8_t e[4];
            if (!receiveAll(e, sizeof e))
                return EXCHANGE_NETWORK;
            const uint32_t deviceError = (uint32_t(e[0]) << 24) | (uint32_t(e[1]) << 16) |
                                         (uint32_t(e[2]) << 8) | uint32_t(e[3]);
            // Every device error is passed on as error + 4, in 32-bit arithmetic.
            return static_cast<int>(static_cast<int32_t>(deviceError + EXCHANGE_DEVICE_ERROR_BASE));
        }
        if (cmd.cmd != REPLY_WAIT)
            break;
    }
    if (cmd.cmd != command)
        return EXCHANGE_NETWORK;
    const uint32_t length = ntohl(cmd.size);
    if (length != 0 && !receivePayload(length, deadline))
        return EXCHANGE_NETWORK;
    return EXCHANGE_OK;
}

int NetClient::sendCommand(uint8_t command, const void* data, size_t size)
{
    _reply.clear();
    if (static_cast<uint64_t>(size) >= MAX_PAYLOAD_SIZE || (size != 0 && data == nullptr))
        return EXCHANGE_NETWORK;
    const int64_t deadline = nowMs() + _limits.exchangeLimitMs;
    if (!openImpl())
        return EXCHANGE_NO_CONNECTION;

    int result = EXCHANGE_NETWORK;
    cmd.cmd = command;
    cmd.size = htonl(static_cast<uint32_t>(size));
    if (sendAll(reinterpret_cast<const uint8_t*>(&cmd), sizeof cmd) &&
        sendPayload(static_cast<const uint8_t*>(data), size)) {
        result = receiveAnswer(command, deadline);
    }
    close();
    return result;
}
