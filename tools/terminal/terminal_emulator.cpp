#include "terminal_emulator.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace tavrolink::emu {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A frame's payload buffer starts at most this big; it grows with what
// actually arrives, so a header declaring 4 GiB costs nothing by itself.
constexpr std::size_t kInitialPayloadReserve = 1 << 20;
constexpr std::size_t kReadChunk = 64 * 1024;
// After the answer, how long to wait for the client to close before closing
// ourselves. Waiting avoids closing with unread input queued, which would
// make the kernel send RST and could destroy the answer in flight.
constexpr milliseconds kCloseGrace{250};
// Log lines show at most this much of a download request.
constexpr std::size_t kMaxQuotedRequest = 80;

// --- the platform's sockets ------------------------------------------------
// Linux: descriptors, poll() and an eventfd to wake the serving thread.
// Windows: Winsock handles, WSAPoll() and a UDP socket that stop() sends a
// datagram to itself through (WSAPoll waits on sockets only).
#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
// send() never raises a signal on Windows.
constexpr int kSendFlags = 0;
constexpr int kShutWrite = SD_SEND;

int socketError() { return ::WSAGetLastError(); }
bool interrupted(int error) { return error == WSAEINTR; }
bool wouldBlock(int error) { return error == WSAEWOULDBLOCK; }
// A client that gave up between the handshake and accept().
bool goneBeforeAccept(int error) { return error == WSAECONNRESET; }
void closeSocket(Socket s) { ::closesocket(s); }
int pollSockets(PollEntry* entries, unsigned count, int timeoutMs) {
  return ::WSAPoll(entries, count, timeoutMs);
}

std::string describeError(int error) {
  char text[256] = {};
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' ||
                          out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  if (out.empty()) out = "Winsock error";
  return out + " (" + std::to_string(error) + ")";
}

// Winsock is started once for the process and never cleaned up: other users
// in the process (the driver) count their own starts and clean-ups.
bool startSockets(std::string& error) {
  static const int started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) error = "WSAStartup: " + describeError(started);
  return started == 0;
}

Socket newSocket(int type, int protocol) {
  return ::WSASocketW(AF_INET, type, protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool makeNonBlocking(Socket s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
using PollEntry = pollfd;
// A client that has gone must not kill the process with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutWrite = SHUT_WR;

int socketError() { return errno; }
bool interrupted(int error) { return error == EINTR; }
bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool goneBeforeAccept(int error) { return error == ECONNABORTED; }
void closeSocket(Socket s) {
  // close() is not retried on EINTR: on Linux the descriptor is gone
  // either way, and retrying could close someone else's.
  ::close(s);
}
int pollSockets(PollEntry* entries, unsigned count, int timeoutMs) {
  return ::poll(entries, count, timeoutMs);
}
std::string describeError(int error) { return std::strerror(error); }
bool startSockets(std::string&) { return true; }
#endif

// `what` and the last socket error.
std::string errorText(const std::string& what) {
  return what + ": " + describeError(socketError());
}

// One send or receive call; counts are capped to what Winsock takes.
constexpr std::size_t kMaxIoCall = std::size_t{1} << 30;

long sendSome(Socket s, const std::uint8_t* data, std::size_t size) {
  const auto n = std::min(size, kMaxIoCall);
#if defined(_WIN32)
  return ::send(s, reinterpret_cast<const char*>(data), static_cast<int>(n),
                kSendFlags);
#else
  return static_cast<long>(::send(s, data, n, kSendFlags));
#endif
}

long receiveSome(Socket s, std::uint8_t* into, std::size_t size) {
  const auto n = std::min(size, kMaxIoCall);
#if defined(_WIN32)
  return ::recv(s, reinterpret_cast<char*>(into), static_cast<int>(n), 0);
#else
  return static_cast<long>(::recv(s, into, n, 0));
#endif
}

// Owns one socket (on Linux, any descriptor).
class Fd {
 public:
  Fd() = default;
  explicit Fd(Socket fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, kNoSocket)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, kNoSocket));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  Socket get() const { return fd_; }
  bool valid() const { return fd_ != kNoSocket; }
  void reset(Socket fd = kNoSocket) {
    if (fd_ != kNoSocket) closeSocket(fd_);
    fd_ = fd;
  }

 private:
  Socket fd_ = kNoSocket;
};

// The wake-up: once signalled, it stays readable.
bool openWake(Fd& wake, const std::string& address, std::string& error) {
#if defined(_WIN32)
  // Bound to the terminal's own address, so that it is plainly the
  // terminal's, on a port of the system's choosing.
  Fd sock(newSocket(SOCK_DGRAM, IPPROTO_UDP));
  if (!sock.valid()) return error = errorText("wake-up socket"), false;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
      ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&where),
             sizeof where) != 0)
    return error = errorText("wake-up socket"), false;
  wake = std::move(sock);
#else
  (void)address;
  Fd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd.valid()) return error = errorText("eventfd"), false;
  wake = std::move(fd);
#endif
  return true;
}

void signalWake(Socket wake) {
#if defined(_WIN32)
  // A datagram to itself (a blocking send, which loopback takes at once);
  // it is never read, so the socket stays readable.
  sockaddr_in self{};
  int size = sizeof self;
  if (::getsockname(wake, reinterpret_cast<sockaddr*>(&self), &size) == 0) {
    const char one = 1;
    ::sendto(wake, &one, 1, 0, reinterpret_cast<const sockaddr*>(&self), size);
  }
#else
  const std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(wake, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  // An eventfd write only fails when the counter would overflow, and then
  // it is already readable: the serving thread wakes up either way.
#endif
}

enum class Io {
  Ok,
  Timeout,
  PeerGone,  // end of stream, reset, or any socket error
  Stopped,   // stop() was called
  Closed,    // we aborted the connection ourselves
};

// Waits for `events` on `fd` (skipped when it is kNoSocket) or for the
// wake-up. A negative timeout waits without limit.
Io waitFor(Socket fd, short events, Socket wakeFd, milliseconds timeout) {
  const bool unlimited = timeout.count() < 0;
  const auto deadline = Clock::now() + (unlimited ? milliseconds{0} : timeout);
  for (;;) {
    int remaining = -1;
    if (!unlimited) {
      // Round up so a sub-millisecond remainder does not spin.
      const auto left =
          std::chrono::ceil<milliseconds>(deadline - Clock::now());
      remaining = static_cast<int>(std::max<long long>(0, left.count()));
    }
    PollEntry fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
    const bool withFd = fd != kNoSocket;
    const int rc = pollSockets(fds, withFd ? 2 : 1, remaining);
    if (rc < 0) {
      if (interrupted(socketError())) continue;
      return Io::PeerGone;
    }
    if (fds[0].revents != 0) return Io::Stopped;
    if (rc == 0) {
      if (!unlimited && Clock::now() < deadline) continue;
      return Io::Timeout;
    }
    if (withFd && fds[1].revents != 0) return Io::Ok;
  }
}

// One accepted connection. Every wait also watches the wake-up descriptor,
// so stop() interrupts whatever the connection is doing.
class Link {
 public:
  Link(Fd fd, Socket wakeFd) : fd_(std::move(fd)), wake_(wakeFd) {}

  bool open() const { return fd_.valid(); }

  Io pause(milliseconds delay) {
    const Io io = waitFor(kNoSocket, 0, wake_, delay);
    return io == Io::Timeout ? Io::Ok : io;
  }

  Io sendAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const long n = sendSome(fd_.get(), data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      const int error = n < 0 ? socketError() : 0;
      if (n < 0 && interrupted(error)) continue;
      if (n < 0 && wouldBlock(error)) {
        const Io io = waitFor(fd_.get(), POLLOUT, wake_, milliseconds{-1});
        if (io != Io::Ok) return io;
        continue;
      }
      return Io::PeerGone;
    }
    return Io::Ok;
  }

  Io sendAll(const std::vector<std::uint8_t>& bytes) {
    return sendAll(bytes.data(), bytes.size());
  }

  // Appends up to `max` bytes to `into`, waiting for at least one.
  // PeerGone on end of stream.
  Io receive(std::vector<std::uint8_t>& into, std::size_t max) {
    const std::size_t old = into.size();
    into.resize(old + max);
    for (;;) {
      const long n = receiveSome(fd_.get(), into.data() + old, max);
      if (n > 0) {
        into.resize(old + static_cast<std::size_t>(n));
        return Io::Ok;
      }
      const int error = n < 0 ? socketError() : 0;
      if (n < 0 && interrupted(error)) continue;
      if (n < 0 && wouldBlock(error)) {
        const Io io = waitFor(fd_.get(), POLLIN, wake_, milliseconds{-1});
        if (io == Io::Ok) continue;
        into.resize(old);
        return io;
      }
      into.resize(old);
      return Io::PeerGone;
    }
  }

  // Reads and throws away input until the client closes, or `limit` passes
  // (negative: no limit).
  Io drainUntilClosed(milliseconds limit) {
    const bool unlimited = limit.count() < 0;
    const auto deadline = Clock::now() + (unlimited ? milliseconds{0} : limit);
    std::uint8_t sink[4096];
    for (;;) {
      milliseconds left{-1};
      if (!unlimited) {
        left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Io::Timeout;
      }
      const Io io = waitFor(fd_.get(), POLLIN, wake_, left);
      if (io != Io::Ok) return io;
      const long n = receiveSome(fd_.get(), sink, sizeof sink);
      if (n == 0) return Io::PeerGone;
      if (n < 0) {
        const int error = socketError();
        if (!interrupted(error) && !wouldBlock(error)) return Io::PeerGone;
      }
    }
  }

  // Like drainUntilClosed, but wakes every `interval` to send a REPLY_WAIT.
  Io keepWaiting(milliseconds interval) {
    const auto header = encodeHeader(command::kReplyWait, 0);
    for (;;) {
      if (const Io io = sendAll(header); io != Io::Ok) return io;
      const Io io = drainUntilClosed(interval);
      if (io != Io::Timeout) return io;
    }
  }

  // Half-closes, lets the client read the answer and go, then closes.
  void closeGracefully() {
    if (::shutdown(fd_.get(), kShutWrite) == 0) drainUntilClosed(kCloseGrace);
    fd_.reset();
  }

  // Zero linger turns close() into an RST.
  void abort() {
    const linger hard{1, 0};
    // If this fails the close below is a plain FIN; nothing better to do.
    (void)::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER,
                       reinterpret_cast<const char*>(&hard), sizeof hard);
    fd_.reset();
  }

  void close() { fd_.reset(); }

 private:
  Fd fd_;
  Socket wake_;
};

std::uint32_t readBigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void appendBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::vector<std::uint8_t> errorReply(std::uint32_t deviceError) {
  auto bytes = encodeHeader(command::kReplyError, 4);
  appendBigEndian32(bytes, deviceError);
  return bytes;
}

std::vector<std::uint8_t> answerBytes(std::uint8_t cmd,
                                      const std::vector<std::uint8_t>& data) {
  auto bytes = encodeHeader(cmd, static_cast<std::uint32_t>(data.size()));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

std::string hexByte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// A download request as it appears in the log: quoted, control characters
// escaped, long requests shortened.
std::string quoted(const std::vector<std::uint8_t>& payload) {
  std::string out = "\"";
  const std::size_t shown = std::min(payload.size(), kMaxQuotedRequest);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = payload[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  if (shown < payload.size())
    out += "... (" + std::to_string(payload.size()) + " bytes)";
  return out;
}

std::string bytesText(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// What the received frame was, for log lines about scripted replies.
std::string describeFrame(const Frame& frame) {
  switch (frame.command) {
    case command::kUploadMiddle:
      return "upload middle package, " + bytesText(frame.payload.size());
    case command::kUploadFirst:
      return "upload first package, " + bytesText(frame.payload.size());
    case command::kUploadLast:
      return "upload last package, " + bytesText(frame.payload.size());
    case command::kUploadWhole:
      return "upload whole table, " + bytesText(frame.payload.size());
    case command::kTest:
      return "test";
    case command::kClear:
      return "clear";
    case command::kDownload:
      return "download request " + quoted(frame.payload);
    default:
      return "command " + hexByte(frame.command) + ", " +
             bytesText(frame.payload.size());
  }
}

Reply single(Step step, std::string description) {
  return Reply::fromSteps({std::move(step)}, std::move(description));
}

Step headerStep(std::uint8_t cmd, std::uint32_t length) {
  Step step;
  step.kind = Step::Kind::Header;
  step.command = cmd;
  step.length = length;
  return step;
}

Step answerHeaderStep(std::uint32_t length) {
  Step step;
  step.kind = Step::Kind::AnswerHeader;
  step.length = length;
  return step;
}

Step bytesStep(std::vector<std::uint8_t> bytes) {
  Step step;
  step.kind = Step::Kind::Bytes;
  step.bytes = std::move(bytes);
  return step;
}

Step pauseStep(milliseconds delay) {
  Step step;
  step.kind = Step::Kind::Pause;
  step.delay = delay;
  return step;
}

std::uint32_t length32(const std::vector<std::uint8_t>& bytes) {
  return static_cast<std::uint32_t>(bytes.size());
}

}  // namespace

// ---------------------------------------------------------------------------
// Free helpers

std::vector<std::uint8_t> encodeHeader(std::uint8_t cmd, std::uint32_t length) {
  std::vector<std::uint8_t> header{cmd};
  appendBigEndian32(header, length);
  return header;
}

std::vector<std::uint8_t> toBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::optional<std::vector<std::uint8_t>> utf8ToUtf16le(std::string_view utf8) {
  std::vector<std::uint8_t> out;
  out.reserve(utf8.size() * 2);
  const auto put = [&out](std::uint32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  };
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    std::size_t length = 0;
    std::uint32_t cp = 0;
    std::uint32_t smallest = 0;  // anything below is an overlong form
    if (lead < 0x80) {
      length = 1, cp = lead, smallest = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, smallest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (utf8.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return std::nullopt;
    if (cp < 0x10000) {
      put(cp);
    } else {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    }
    i += length;
  }
  return out;
}

std::string Frame::text() const { return {payload.begin(), payload.end()}; }

// ---------------------------------------------------------------------------
// Reply

Reply Reply::fromSteps(std::vector<Step> steps, std::string description) {
  Reply reply;
  reply.steps_ = std::move(steps);
  reply.description_ = std::move(description);
  return reply;
}

Reply Reply::normal() {
  Step step;
  step.kind = Step::Kind::Normal;
  return single(step, "normal");
}

Reply Reply::answer(std::vector<std::uint8_t> payload) {
  const auto size = payload.size();
  return fromSteps(
      {answerHeaderStep(length32(payload)), bytesStep(std::move(payload))},
      "answer " + bytesText(size));
}

Reply Reply::waits(std::size_t count, Reply then, milliseconds interval) {
  std::vector<Step> steps;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && interval.count() > 0) steps.push_back(pauseStep(interval));
    steps.push_back(headerStep(command::kReplyWait, 0));
  }
  if (count > 0 && interval.count() > 0) steps.push_back(pauseStep(interval));
  return fromSteps(std::move(steps), std::to_string(count) + " x wait")
      .followedBy(std::move(then));
}

Reply Reply::error(std::uint32_t deviceError) {
  return single(bytesStep(errorReply(deviceError)),
                "device error " + std::to_string(deviceError));
}

Reply Reply::wrongCommand(std::uint8_t cmd, std::vector<std::uint8_t> payload) {
  const auto size = payload.size();
  return fromSteps(
      {headerStep(cmd, length32(payload)), bytesStep(std::move(payload))},
      "answer under command " + hexByte(cmd) + ", " + bytesText(size));
}

Reply Reply::raw(std::vector<std::uint8_t> bytes) {
  const auto size = bytes.size();
  return single(bytesStep(std::move(bytes)), "raw " + bytesText(size));
}

Reply Reply::partial(std::uint32_t declaredLength,
                     std::vector<std::uint8_t> bytes) {
  const auto size = bytes.size();
  return fromSteps(
      {answerHeaderStep(declaredLength), bytesStep(std::move(bytes))},
      "partial answer, " + bytesText(size) + " of " +
          std::to_string(declaredLength));
}

Reply Reply::pieces(std::vector<std::uint8_t> payload,
                    std::vector<std::size_t> pieceSizes, milliseconds delay) {
  std::vector<Step> steps{answerHeaderStep(length32(payload))};
  std::size_t at = 0;
  const auto sendPiece = [&](std::size_t size) {
    size = std::min(size, payload.size() - at);
    steps.push_back(pauseStep(delay));
    steps.push_back(
        bytesStep({payload.begin() + static_cast<std::ptrdiff_t>(at),
                   payload.begin() + static_cast<std::ptrdiff_t>(at + size)}));
    at += size;
  };
  for (const std::size_t size : pieceSizes) {
    if (at == payload.size()) break;
    sendPiece(size);
  }
  if (at < payload.size()) sendPiece(payload.size() - at);
  return fromSteps(std::move(steps),
                   "answer " + bytesText(payload.size()) + " in pieces");
}

Reply Reply::pause(milliseconds delay) {
  return single(pauseStep(delay),
                "pause " + std::to_string(delay.count()) + " ms");
}

Reply Reply::silence() {
  Step step;
  step.kind = Step::Kind::Silence;
  return single(step, "silence");
}

Reply Reply::acceptClose() {
  Reply reply;
  reply.closeOnAccept_ = true;
  reply.description_ = "close on accept";
  return reply;
}

Reply Reply::reset() {
  Step step;
  step.kind = Step::Kind::Reset;
  return single(step, "reset");
}

Reply Reply::trickle(std::vector<std::uint8_t> bytes, milliseconds delay) {
  Step step;
  step.kind = Step::Kind::Trickle;
  step.delay = delay;
  const auto size = bytes.size();
  step.bytes = std::move(bytes);
  return single(step, "trickle " + bytesText(size));
}

Reply Reply::waitForever(milliseconds interval) {
  Step step;
  step.kind = Step::Kind::WaitForever;
  step.delay = interval;
  return single(step, "wait forever");
}

Reply Reply::followedBy(Reply next) const {
  Reply joined = *this;
  joined.steps_.insert(joined.steps_.end(),
                       std::make_move_iterator(next.steps_.begin()),
                       std::make_move_iterator(next.steps_.end()));
  joined.closeOnAccept_ = closeOnAccept_ || next.closeOnAccept_;
  if (joined.description_.empty())
    joined.description_ = next.description_;
  else if (!next.description_.empty())
    joined.description_ += ", " + next.description_;
  return joined;
}

// ---------------------------------------------------------------------------
// TerminalEmulator

struct TerminalEmulator::Impl {
  const std::string address;
  const std::uint16_t requestedPort;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  // Everything below is guarded by `mutex`, except `thread`, `listener` and
  // `wake`, which only start()/stop() touch (under `lifecycle`) and the
  // serving thread reads while it runs.
  std::vector<Frame> frames;
  std::size_t connections = 0;
  std::size_t truncated = 0;
  std::deque<Reply> script;
  std::vector<std::uint8_t> table;
  bool tableComplete = false;
  bool tableOpen = false;  // first package seen, last not yet
  std::optional<std::vector<std::uint8_t>> collected;
  Logger logger;
  std::string lastError;
  std::uint16_t boundPort = 0;
  bool running = false;

  std::mutex lifecycle;
  Fd listener;
  Fd wake;
  std::thread thread;

  Impl(std::string addr, std::uint16_t port)
      : address(std::move(addr)), requestedPort(port) {}

  bool start();
  void stop();
  bool openListener(std::string& error);
  void serve();
  void serveConnection(Fd fd);
  void handleFrame(Link& link, const Frame& frame);
  Io runReply(Link& link, const Frame& frame, const Reply& reply);
  Io runStep(Link& link, const Frame& frame, const Step& step);
  Io runNormal(Link& link, const Frame& frame);
  std::vector<std::uint8_t> normalReply(const Frame& frame, std::string& line);
  std::optional<Reply> takeReply(bool onAccept);
  void log(const std::string& line);
  void fail(const std::string& error);
  template <class Predicate>
  bool waitUntil(milliseconds timeout, Predicate predicate) const;
};

void TerminalEmulator::Impl::log(const std::string& line) {
  Logger copy;
  {
    std::lock_guard lock(mutex);
    copy = logger;
  }
  if (copy) copy(line);
}

void TerminalEmulator::Impl::fail(const std::string& error) {
  std::lock_guard lock(mutex);
  lastError = error;
}

bool TerminalEmulator::Impl::openListener(std::string& error) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(requestedPort);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    error = "not an IPv4 address: " + address;
    return false;
  }
  // Only loopback: this is a test tool and must never listen on a network.
  if ((ntohl(where.sin_addr.s_addr) >> 24) != 127) {
    error = "not a loopback address (127.0.0.0/8): " + address;
    return false;
  }
  const std::string endpoint = address + ":" + std::to_string(requestedPort);

  if (!startSockets(error)) return false;
#if defined(_WIN32)
  Fd sock(newSocket(SOCK_STREAM, IPPROTO_TCP));
  if (!sock.valid()) return error = errorText("socket"), false;
  if (!makeNonBlocking(sock.get()))
    return error = errorText("non-blocking mode"), false;
  // No SO_REUSEADDR: on Windows it would let another socket take the port
  // over; a listener binds there despite connections in TIME_WAIT anyway.
#else
  Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock.valid()) return error = errorText("socket"), false;
  // Lets a test bind again right after the previous one, despite TIME_WAIT.
  const int on = 1;
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return error = errorText("SO_REUSEADDR"), false;
#endif
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&where),
             sizeof where) != 0)
    return error = errorText("cannot bind " + endpoint), false;
  if (::listen(sock.get(), 16) != 0)
    return error = errorText("cannot listen on " + endpoint), false;

  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  if (::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&bound), &size) !=
      0)
    return error = errorText("getsockname"), false;

  Fd wakeFd;
  if (!openWake(wakeFd, address, error)) return false;

  listener = std::move(sock);
  wake = std::move(wakeFd);
  std::lock_guard lock(mutex);
  boundPort = ntohs(bound.sin_port);
  return true;
}

bool TerminalEmulator::Impl::start() {
  std::lock_guard life(lifecycle);
  if (thread.joinable()) {
    fail("already running");
    return false;
  }
  std::string error;
  if (!openListener(error)) {
    fail(error);
    return false;
  }
  try {
    thread = std::thread([this] { serve(); });
  } catch (const std::exception& e) {
    listener.reset();
    wake.reset();
    fail(std::string("cannot start the serving thread: ") + e.what());
    return false;
  }
  std::lock_guard lock(mutex);
  running = true;
  lastError.clear();
  return true;
}

void TerminalEmulator::Impl::stop() {
  std::lock_guard life(lifecycle);
  if (!thread.joinable()) return;
  signalWake(wake.get());
  thread.join();
  listener.reset();
  wake.reset();
  std::lock_guard lock(mutex);
  running = false;
  changed.notify_all();
}

void TerminalEmulator::Impl::serve() {
  for (;;) {
    const Io io = waitFor(listener.get(), POLLIN, wake.get(), milliseconds{-1});
    if (io == Io::Stopped) return;
    Fd conn;
    if (io == Io::Ok) {
#if defined(_WIN32)
      conn = Fd(::accept(listener.get(), nullptr, nullptr));
      // Accepted sockets take the listener's mode; made sure of all the same.
      if (conn.valid() && !makeNonBlocking(conn.get())) {
        fail(errorText("non-blocking mode"));
        continue;
      }
#else
      conn = Fd(::accept4(listener.get(), nullptr, nullptr,
                          SOCK_CLOEXEC | SOCK_NONBLOCK));
#endif
    }
    if (!conn.valid()) {
      const int error = socketError();
      if (io == Io::Ok && (interrupted(error) || wouldBlock(error) ||
                           goneBeforeAccept(error)))
        continue;
      // poll() failed, or we are out of descriptors or memory: note it and
      // back off instead of spinning on a listener that stays readable.
      fail(errorText(io == Io::Ok ? "accept" : "poll"));
      if (waitFor(kNoSocket, 0, wake.get(), milliseconds{50}) == Io::Stopped)
        return;
      continue;
    }
    try {
      serveConnection(std::move(conn));
    } catch (const std::exception& e) {
      // Out of memory on a huge frame, or a throwing logger: this
      // connection is lost, the terminal keeps serving.
      fail(std::string("connection dropped: ") + e.what());
    }
  }
}

std::optional<Reply> TerminalEmulator::Impl::takeReply(bool onAccept) {
  std::lock_guard lock(mutex);
  if (script.empty() || script.front().closesOnAccept() != onAccept)
    return std::nullopt;
  Reply reply = std::move(script.front());
  script.pop_front();
  changed.notify_all();
  return reply;
}

void TerminalEmulator::Impl::serveConnection(Fd fd) {
  {
    std::lock_guard lock(mutex);
    ++connections;
    changed.notify_all();
  }
  Link link(std::move(fd), wake.get());
  if (takeReply(/*onAccept=*/true)) {
    link.close();
    log("connection closed on accept (scripted)");
    return;
  }

  std::vector<std::uint8_t> header;
  while (header.size() < kHeaderSize) {
    const Io io = link.receive(header, kHeaderSize - header.size());
    if (io == Io::Stopped) return;
    if (io != Io::Ok) {
      if (header.empty())
        log("connection closed without a frame (reachability check)");
      else
        log("connection closed after " + std::to_string(header.size()) +
            " of 5 header bytes");
      return;
    }
  }

  Frame frame;
  frame.command = header[0];
  const std::uint32_t declared = readBigEndian32(&header[1]);
  frame.payload.reserve(
      std::min<std::size_t>(declared, kInitialPayloadReserve));
  while (frame.payload.size() < declared) {
    const std::size_t want =
        std::min<std::size_t>(declared - frame.payload.size(), kReadChunk);
    const Io io = link.receive(frame.payload, want);
    if (io == Io::Stopped) return;
    if (io != Io::Ok) {
      {
        std::lock_guard lock(mutex);
        ++truncated;
        changed.notify_all();
      }
      log("frame " + hexByte(frame.command) +
          " cut short: " + std::to_string(frame.payload.size()) + " of " +
          std::to_string(declared) + " payload bytes, then the client left");
      return;
    }
  }
  handleFrame(link, frame);
}

void TerminalEmulator::Impl::handleFrame(Link& link, const Frame& frame) {
  {
    std::lock_guard lock(mutex);
    frames.push_back(frame);
    changed.notify_all();
  }
  const std::optional<Reply> scripted = takeReply(/*onAccept=*/false);
  if (scripted) {
    log(describeFrame(frame) + " -> scripted: " + scripted->description());
  }
  const Io io =
      scripted ? runReply(link, frame, *scripted) : runNormal(link, frame);
  if (io == Io::Ok)
    link.closeGracefully();
  else if (link.open())
    link.close();
}

Io TerminalEmulator::Impl::runReply(Link& link, const Frame& frame,
                                    const Reply& reply) {
  for (const Step& step : reply.steps()) {
    const Io io = runStep(link, frame, step);
    if (io != Io::Ok) return io;
  }
  return Io::Ok;
}

Io TerminalEmulator::Impl::runStep(Link& link, const Frame& frame,
                                   const Step& step) {
  switch (step.kind) {
    case Step::Kind::Normal:
      return runNormal(link, frame);
    case Step::Kind::AnswerHeader:
      return link.sendAll(encodeHeader(frame.command, step.length));
    case Step::Kind::Header:
      return link.sendAll(encodeHeader(step.command, step.length));
    case Step::Kind::Bytes:
      return link.sendAll(step.bytes);
    case Step::Kind::Pause:
      return link.pause(step.delay);
    case Step::Kind::Trickle:
      for (const std::uint8_t byte : step.bytes) {
        if (const Io io = link.sendAll(&byte, 1); io != Io::Ok) return io;
        if (const Io io = link.pause(step.delay); io != Io::Ok) return io;
      }
      return Io::Ok;
    case Step::Kind::Silence: {
      const Io io = link.drainUntilClosed(milliseconds{-1});
      return io == Io::Timeout ? Io::Ok : io;
    }
    case Step::Kind::WaitForever:
      return link.keepWaiting(step.delay);
    case Step::Kind::Reset:
      link.abort();
      return Io::Closed;
  }
  return Io::Ok;
}

Io TerminalEmulator::Impl::runNormal(Link& link, const Frame& frame) {
  std::string line;
  const std::vector<std::uint8_t> bytes = normalReply(frame, line);
  log(line);
  return link.sendAll(bytes);
}

std::vector<std::uint8_t> TerminalEmulator::Impl::normalReply(
    const Frame& frame, std::string& line) {
  const std::uint8_t cmd = frame.command;
  const auto& payload = frame.payload;
  const std::vector<std::uint8_t> none;
  std::lock_guard lock(mutex);
  switch (cmd) {
    case command::kUploadFirst:
    case command::kUploadWhole:
      table = payload;
      tableComplete = cmd == command::kUploadWhole;
      tableOpen = !tableComplete;
      line = describeFrame(frame);
      return answerBytes(cmd, none);
    case command::kUploadMiddle:
    case command::kUploadLast:
      if (!tableOpen) {
        line = describeFrame(frame) +
               " with no table in progress -> protocol error";
        return errorReply(device_error::kProtocolError);
      }
      table.insert(table.end(), payload.begin(), payload.end());
      line = describeFrame(frame);
      if (cmd == command::kUploadLast) {
        tableComplete = true;
        tableOpen = false;
        line += "; table complete, " + bytesText(table.size());
      }
      return answerBytes(cmd, none);
    case command::kTest:
      line = "test: reachable";
      return answerBytes(cmd, none);
    case command::kClear:
      line = collected ? "clear: collected data dropped"
                       : "clear: no collected data to drop";
      collected.reset();
      return answerBytes(cmd, none);
    case command::kDownload:
      if (!collected) {
        line = describeFrame(frame) + " -> no collected data (device error 0)";
        return errorReply(device_error::kNoDocuments);
      }
      line = describeFrame(frame) + " -> " + bytesText(collected->size());
      return answerBytes(cmd, *collected);
    default:
      line = describeFrame(frame) + " -> unknown command (protocol error)";
      return errorReply(device_error::kProtocolError);
  }
}

template <class Predicate>
bool TerminalEmulator::Impl::waitUntil(milliseconds timeout,
                                       Predicate predicate) const {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] { return predicate(); });
}

// --- public surface: thin wrappers around Impl ---------------------------

TerminalEmulator::TerminalEmulator(std::string address, std::uint16_t port)
    : impl_(std::make_unique<Impl>(std::move(address), port)) {}

TerminalEmulator::~TerminalEmulator() { stop(); }

bool TerminalEmulator::start() { return impl_->start(); }
void TerminalEmulator::stop() { impl_->stop(); }

bool TerminalEmulator::running() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->running;
}

std::string TerminalEmulator::lastError() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->lastError;
}

const std::string& TerminalEmulator::address() const { return impl_->address; }

std::uint16_t TerminalEmulator::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->boundPort != 0 ? impl_->boundPort : impl_->requestedPort;
}

void TerminalEmulator::setLogger(Logger logger) {
  std::lock_guard lock(impl_->mutex);
  impl_->logger = std::move(logger);
}

std::vector<Frame> TerminalEmulator::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

std::size_t TerminalEmulator::connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections;
}

std::size_t TerminalEmulator::truncatedFrames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->truncated;
}

bool TerminalEmulator::waitForConnections(std::size_t count,
                                          milliseconds timeout) const {
  return impl_->waitUntil(timeout, [&] { return impl_->connections >= count; });
}

bool TerminalEmulator::waitForFrames(std::size_t count,
                                     milliseconds timeout) const {
  return impl_->waitUntil(timeout,
                          [&] { return impl_->frames.size() >= count; });
}

void TerminalEmulator::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->frames.clear();
  impl_->connections = 0;
  impl_->truncated = 0;
}

void TerminalEmulator::script(Reply reply) {
  std::lock_guard lock(impl_->mutex);
  impl_->script.push_back(std::move(reply));
}

std::size_t TerminalEmulator::pendingReplies() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->script.size();
}

void TerminalEmulator::clearScript() {
  std::lock_guard lock(impl_->mutex);
  impl_->script.clear();
}

std::vector<std::uint8_t> TerminalEmulator::table() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->table;
}

bool TerminalEmulator::tableComplete() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->tableComplete;
}

void TerminalEmulator::setCollectedData(std::vector<std::uint8_t> utf16le) {
  std::lock_guard lock(impl_->mutex);
  impl_->collected = std::move(utf16le);
}

bool TerminalEmulator::setCollectedDataFromUtf8(const std::string& utf8) {
  auto converted = utf8ToUtf16le(utf8);
  if (!converted) return false;
  setCollectedData(std::move(*converted));
  return true;
}

void TerminalEmulator::clearCollectedData() {
  std::lock_guard lock(impl_->mutex);
  impl_->collected.reset();
}

bool TerminalEmulator::hasCollectedData() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->collected.has_value();
}

}  // namespace tavrolink::emu
