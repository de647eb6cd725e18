// Terminal emulator: the terminal side of the Tavrolink link, on a loopback
// TCP port, so the driver can be exercised without a device.
//
// The link carries one frame per connection. A frame is a 5-byte header
// (command byte, then the payload length as an unsigned 32-bit big-endian
// number) followed by that many payload bytes. The emulator answers each
// frame like a well-behaved terminal unless a test has scripted something
// else (see Reply), and records everything it received so tests can check
// what the driver sent.
//
// Linux (POSIX sockets) and Windows (Winsock), with the same behaviour.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrolink::emu {

// Command bytes as they appear in byte 0 of a header. Kept here, apart from
// the driver's own definitions, so that a wrong value on either side shows up
// in the tests instead of cancelling out.
namespace command {
inline constexpr std::uint8_t kUploadMiddle = 0x10;  // a package inside a table
inline constexpr std::uint8_t kUploadFirstFlag = 0x01;
inline constexpr std::uint8_t kUploadLastFlag = 0x02;
inline constexpr std::uint8_t kUploadFirst = 0x11;  // starts a new table
inline constexpr std::uint8_t kUploadLast = 0x12;   // completes the table
inline constexpr std::uint8_t kUploadWhole = 0x13;  // a whole table at once
inline constexpr std::uint8_t kTest = 0x20;
inline constexpr std::uint8_t kClear = 0x40;
inline constexpr std::uint8_t kDownload = 0x80;
inline constexpr std::uint8_t kReplyError = 0x08;  // followed by 4 bytes
inline constexpr std::uint8_t kReplyWait = 0x54;   // 'T': still working
}  // namespace command

// Device errors carried by a REPLY_ERROR.
namespace device_error {
inline constexpr std::uint32_t kNoDocuments = 0;
inline constexpr std::uint32_t kProtocolError = 1;
inline constexpr std::uint32_t kNoCurrentDocument = 2;
}  // namespace device_error

inline constexpr std::uint16_t kDefaultPort = 9004;
inline constexpr std::size_t kHeaderSize = 5;

// The 5 header bytes for `command` with `length` payload bytes.
std::vector<std::uint8_t> encodeHeader(std::uint8_t command,
                                       std::uint32_t length);

// The bytes of `text`, for building payloads in tests.
std::vector<std::uint8_t> toBytes(std::string_view text);

// UTF-8 → UTF-16 little-endian bytes (surrogate pairs above U+FFFF).
// Returns nullopt for malformed UTF-8: bad lead or continuation bytes,
// truncated sequences, overlong forms, surrogates, values above U+10FFFF.
std::optional<std::vector<std::uint8_t>> utf8ToUtf16le(std::string_view utf8);

struct Frame {
  std::uint8_t command = 0;
  std::vector<std::uint8_t> payload;

  // The payload as a string of bytes (upload packages and download
  // requests are UTF-8 text).
  std::string text() const;
};

// One thing the emulator does on a connection after it has read the frame.
// Most tests never touch Step directly: they use the Reply factories.
struct Step {
  enum class Kind {
    Normal,        // behave like a well-behaved terminal (see TerminalEmulator)
    AnswerHeader,  // header with the received command byte and `length`
    Header,        // header with `command` and `length`
    Bytes,         // send `bytes` in one write
    Pause,         // wait `delay`
    Trickle,       // send `bytes` one at a time, `delay` after each
    Silence,       // send nothing until the client closes or stop()
    WaitForever,   // a REPLY_WAIT every `delay` until the client closes or
                   // stop()
    Reset,         // abort the connection with RST; later steps are skipped
  };

  Kind kind = Kind::Normal;
  std::uint8_t command = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> bytes;
  std::chrono::milliseconds delay{0};
};

// What the emulator does with one connection. Steps run in order after the
// frame has been read and recorded; then the connection is closed (FIN), so
// a client reading a short answer sees end-of-stream right after the bytes.
class Reply {
 public:
  // Behave like a well-behaved terminal (what happens with no script).
  static Reply normal();
  // Header with the received command byte, then `payload`.
  static Reply answer(std::vector<std::uint8_t> payload);
  // `count` REPLY_WAIT headers, each followed by `interval`, then `then`.
  static Reply waits(std::size_t count, Reply then,
                     std::chrono::milliseconds interval = {});
  // REPLY_ERROR carrying `deviceError`.
  static Reply error(std::uint32_t deviceError);
  // A well-formed answer, but under another command byte.
  static Reply wrongCommand(std::uint8_t command,
                            std::vector<std::uint8_t> payload = {});
  // Exactly these bytes (short headers, half a REPLY_ERROR, absurd lengths...).
  static Reply raw(std::vector<std::uint8_t> bytes);
  // Answer header declaring `declaredLength`, then only `bytes`.
  static Reply partial(std::uint32_t declaredLength,
                       std::vector<std::uint8_t> bytes);
  // Answer header, then `payload` cut into `pieceSizes` (whatever is left
  // after the listed sizes goes as one last piece), `delay` before each piece.
  static Reply pieces(std::vector<std::uint8_t> payload,
                      std::vector<std::size_t> pieceSizes,
                      std::chrono::milliseconds delay);
  // Do nothing for `delay` (e.g. pause(2s).followedBy(answer(...))).
  static Reply pause(std::chrono::milliseconds delay);
  // Hold the connection open without sending anything.
  static Reply silence();
  // Close the next accepted connection at once, without reading anything.
  // Unlike every other reply, it is used up by the next connection even if
  // that one would have sent nothing.
  static Reply acceptClose();
  // Abort with RST (combine: raw(...).followedBy(reset()) to abort mid-answer).
  static Reply reset();
  // `bytes` one at a time with `delay` after each.
  static Reply trickle(std::vector<std::uint8_t> bytes,
                       std::chrono::milliseconds delay);
  // REPLY_WAIT every `interval`, for as long as the client stays.
  static Reply waitForever(std::chrono::milliseconds interval);
  // Custom step lists.
  static Reply fromSteps(std::vector<Step> steps, std::string description);

  // This reply's steps, then `next`'s.
  Reply followedBy(Reply next) const;

  bool closesOnAccept() const { return closeOnAccept_; }
  const std::vector<Step>& steps() const { return steps_; }
  // Short human-readable summary, used in the log lines.
  const std::string& description() const { return description_; }

 private:
  std::vector<Step> steps_;
  std::string description_;
  bool closeOnAccept_ = false;
};

// A terminal on a loopback address. One background thread accepts and
// serves connections one after another, the way the device does.
//
// Default behaviour (no scripted reply):
//   0x11 starts a new table with the payload, 0x10 appends to it, 0x12
//   appends and completes it, 0x13 is a whole table; each is acknowledged
//   with the same command byte and an empty payload. A middle or last
//   package with no table in progress gets device error 1, since a driver
//   that sends one has lost track of its upload.
//   0x20 test: acknowledged. 0x40 clear: drops the collected data,
//   acknowledged. 0x80 download: answers with the collected data (UTF-16LE
//   bytes), or device error 0 when it holds none. Anything else: device
//   error 1.
// A scripted reply replaces all of that for its connection, state changes
// included, unless it contains Reply::normal().
//
// Every public member is thread-safe.
class TerminalEmulator {
 public:
  using Logger = std::function<void(const std::string& line)>;

  // `address` must be an IPv4 address in 127.0.0.0/8. Port 0 picks a free
  // port; port() tells which one after start().
  explicit TerminalEmulator(std::string address = "127.0.0.1",
                            std::uint16_t port = kDefaultPort);
  ~TerminalEmulator();  // stop()s

  TerminalEmulator(const TerminalEmulator&) = delete;
  TerminalEmulator& operator=(const TerminalEmulator&) = delete;

  // Binds, listens and starts serving. False (see lastError()) when the
  // address is not loopback, cannot be bound, or the emulator is running.
  bool start();
  // Stops serving and closes every socket; returns promptly even in the
  // middle of a silent or slow reply. Must not be called from the logger.
  void stop();
  bool running() const;
  std::string lastError() const;
  const std::string& address() const;
  std::uint16_t port() const;

  // Receives one line per event (frame answered, connection that sent
  // nothing, incomplete frame), from the serving thread.
  void setLogger(Logger logger);

  // --- what was received -------------------------------------------------
  // Each frame is recorded once its header and whole payload have arrived,
  // before anything is sent back.
  std::vector<Frame> frames() const;
  // Accepted connections, including those that sent nothing.
  std::size_t connections() const;
  // Connections that closed after a whole header but before the whole
  // payload (not in frames()).
  std::size_t truncatedFrames() const;
  bool waitForConnections(std::size_t count,
                          std::chrono::milliseconds timeout) const;
  bool waitForFrames(std::size_t count,
                     std::chrono::milliseconds timeout) const;
  // Forgets frames and counters (not the script, the table or the data).
  void reset();

  // --- scripted replies ------------------------------------------------
  // Queued (FIFO); each is used by the next connection that delivers a
  // whole frame (acceptClose: the next accepted connection).
  void script(Reply reply);
  std::size_t pendingReplies() const;
  void clearScript();

  // --- terminal state ----------------------------------------------------
  // The table last uploaded, complete or still in progress.
  std::vector<std::uint8_t> table() const;
  bool tableComplete() const;
  // Data a download hands over, as UTF-16LE bytes (held as given).
  void setCollectedData(std::vector<std::uint8_t> utf16le);
  // False (data unchanged) when `utf8` is not valid UTF-8.
  bool setCollectedDataFromUtf8(const std::string& utf8);
  void clearCollectedData();
  bool hasCollectedData() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrolink::emu
