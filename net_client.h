// NetClient: the link to the data collection terminal.
//
// Every command is one short TCP connection to port 9004 of the terminal:
// connect, send one frame (a 5-byte header and the payload), read frames until
// the answer has arrived, close. No connection outlives the call that made it.
//
// Every wait is bounded: making a connection by the connect timeout, each
// send and each receive by the idle limit (a terminal that says nothing for
// that long has failed the exchange), and the whole exchange by the exchange
// limit, however many "still working" frames the terminal sends.
#ifndef TAVROLINK_NET_CLIENT_H
#define TAVROLINK_NET_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#else
/// The platform's socket handle.
typedef int SOCKET;
#endif

// Command bytes sent to the terminal.
constexpr uint8_t CMD_UPLOAD = 0x10;
constexpr uint8_t UPLOAD_FIRST = 0x01;
constexpr uint8_t UPLOAD_LAST = 0x02;
constexpr uint8_t CMD_TEST = 0x20;
constexpr uint8_t CMD_CLEAR = 0x40;
constexpr uint8_t CMD_DOWNLOAD = 0x80;

// Reply kinds sent by the terminal.
constexpr uint8_t REPLY_ERROR = 0x08;  ///< followed by a 4-byte big-endian device error
constexpr uint8_t REPLY_WAIT = 0x54;   ///< "still working": another header follows

/// TCP port of the terminal.
constexpr uint16_t TERMINAL_PORT = 9004;
/// Largest piece of payload handed to one send call.
constexpr size_t SEND_CHUNK_SIZE = 8192;
/// Payloads must be shorter than this (the length field and the Windows
/// socket calls count in signed 32 bits).
constexpr uint64_t MAX_PAYLOAD_SIZE = 0x80000000ULL;

// Results of an exchange; the same numbers as the driver's error codes.
constexpr int EXCHANGE_OK = 0;
constexpr int EXCHANGE_NO_CONNECTION = 2;
constexpr int EXCHANGE_NETWORK = 3;
constexpr int EXCHANGE_DEVICE_ERROR_BASE = 4;  ///< plus the terminal's error number

class NetClient {
public:
    /// Time limits of the link, in milliseconds.
    struct Limits {
        int connectTimeoutMs = 15000;   ///< longest wait for a connection to be made
        int replyIdleMs = 30000;        ///< longest silence while sending or receiving
        int exchangeLimitMs = 180000;   ///< longest whole exchange, waits included
    };

    NetClient();
    ~NetClient();

    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    /// Stores the address (kept whatever the outcome) and tests that the
    /// terminal accepts a connection, which is closed at once. Nothing is sent.
    bool open(std::string address);

    /// One complete exchange over a fresh connection to the stored address.
    /// Returns 0 when the answer arrived whole, 2 when no connection could be
    /// made, 3 when the exchange failed after connecting (or the payload is
    /// too large to send), and the terminal's error number plus 4 when it
    /// answered with an error frame.
    int sendCommand(uint8_t command, const void* data, size_t size);

    /// The payload of the last successful answer; valid until the next
    /// sendCommand.
    size_t getReplySize() const { return _reply.size; }
    const uint8_t* getReply() const { return _reply.data; }

    /// Shuts down and releases the socket, if one is held.
    void close();
    bool isConnected() const;

    void setLimits(const Limits& limits) { _limits = limits; }
    const Limits& limits() const { return _limits; }

    /// Parses numbers-and-dots IPv4 text (the forms a, a.b, a.b.c and a.b.c.d,
    /// each part decimal, octal with a leading 0 or hexadecimal with 0x) into
    /// an address in network byte order. Anything else, the empty text
    /// included, is refused.
    static bool parseAddress(const std::string& text, uint32_t* networkOrder);

private:
    /// A growable byte array that reports allocation failure instead of throwing.
    struct ReplyBuffer {
        uint8_t* data = nullptr;
        size_t size = 0;
        size_t capacity = 0;
        ~ReplyBuffer();
        void clear() { size = 0; }
        bool reserveFor(size_t more);
    };

#pragma pack(push, 1)
    /// The 5-byte frame header, exactly as it travels (size big-endian).
    struct Header {
        uint8_t cmd;
        uint32_t size;
    };
#pragma pack(pop)
    static_assert(sizeof(Header) == 5, "the frame header is 5 bytes without padding");

    bool openImpl();
    bool waitFor(bool read, int timeoutMs);
    bool connectedWithoutError();
    void setBlocking(bool blocking);
    void setIoTimeouts();

    bool sendAll(const uint8_t* data, size_t size);
    bool sendPayload(const uint8_t* data, size_t size);
    int receiveAnswer(uint8_t command, int64_t deadline);
    bool receiveAll(void* into, size_t size);
    bool receivePayload(size_t length, int64_t deadline);

    SOCKET _socket;
    ReplyBuffer _reply;
    std::string _address;
    Header cmd;
    Limits _limits;
};

#endif
