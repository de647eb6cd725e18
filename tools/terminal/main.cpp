// tavrolink-terminal: runs the terminal emulator from the command line, so
// the driver (or a demo script) can talk to a terminal without the device.

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "terminal_emulator.h"

namespace {

namespace emu = tavrolink::emu;

constexpr const char* kUsage =
    R"(Usage: tavrolink-terminal [--address A] [--port P] [--data FILE] [--quiet]

Emulates a Tavrolink data-collection terminal on a loopback TCP port, so the
driver can be tried without the device. Each connection carries one frame:
a 5-byte header (command byte, then the payload length as a big-endian
32-bit number) and the payload. A connection that sends nothing is taken as
a reachability check.

What the emulated terminal does:
  upload   0x11 first, 0x10 middle, 0x12 last, 0x13 whole table
           keeps the packages of the table and acknowledges each one;
           a middle or last package without a first one is a protocol error
  test     0x20  acknowledges
  clear    0x40  drops the collected data and acknowledges
  download 0x80  answers with the collected data as UTF-16LE, or with device
                 error 0 (no documents) when it holds none
  anything else  device error 1 (protocol error)

Options:
  --address A   IPv4 loopback address to listen on (default 127.0.0.1)
  --port P      TCP port (default 9004; 0 picks a free port)
  --data FILE   UTF-8 text file served as the collected data
                (default: no collected data)
  --quiet       print only the listening line and errors
  --help        show this text

Prints "[terminal] listening on A:P" once ready, then one line per frame.
Runs until interrupted (Ctrl+C) or sent SIGTERM, then exits with status 0.
)";

struct Options {
  std::string address = "127.0.0.1";
  std::uint16_t port = emu::kDefaultPort;
  std::optional<std::string> dataFile;
  bool quiet = false;
  bool help = false;
};

std::optional<std::uint16_t> parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// Returns false (after printing why) on a bad command line.
bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tavrolink-terminal: %s needs a value\n",
                     arg.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--address") {
      const char* v = value();
      if (!v) return false;
      options.address = v;
    } else if (arg == "--port") {
      const char* v = value();
      if (!v) return false;
      const auto port = parsePort(v);
      if (!port) {
        std::fprintf(stderr, "tavrolink-terminal: bad port: %s\n", v);
        return false;
      }
      options.port = *port;
    } else if (arg == "--data") {
      const char* v = value();
      if (!v) return false;
      options.dataFile = v;
    } else {
      std::fprintf(stderr,
                   "tavrolink-terminal: unknown option: %s (see --help)\n",
                   arg.c_str());
      return false;
    }
  }
  return true;
}

bool readFile(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  contents = buffer.str();
  return true;
}

bool loadData(const std::string& path, emu::TerminalEmulator& terminal) {
  std::string text;
  if (!readFile(path, text)) {
    std::fprintf(stderr, "tavrolink-terminal: cannot read %s: %s\n",
                 path.c_str(), std::strerror(errno));
    return false;
  }
  // Editors like to start UTF-8 files with a byte order mark; the terminal's
  // data does not carry one.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  if (!terminal.setCollectedDataFromUtf8(text)) {
    std::fprintf(stderr, "tavrolink-terminal: %s is not valid UTF-8\n",
                 path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 2;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // A demo script reads our output through a pipe: each line must reach it
  // as soon as it is printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  emu::TerminalEmulator terminal(options.address, options.port);
  if (options.dataFile && !loadData(*options.dataFile, terminal)) return 1;
  if (!options.quiet) {
    // One fprintf per line keeps lines whole when threads print at once.
    terminal.setLogger([](const std::string& line) {
      std::fprintf(stdout, "[terminal] %s\n", line.c_str());
      std::fflush(stdout);
    });
  }

  // Block the stop signals before the serving thread exists, so it inherits
  // the mask and sigwait() below is the only place they are delivered.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (const int rc = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
      rc != 0) {
    std::fprintf(stderr, "tavrolink-terminal: pthread_sigmask: %s\n",
                 std::strerror(rc));
    return 1;
  }

  if (!terminal.start()) {
    std::fprintf(stderr, "tavrolink-terminal: %s\n",
                 terminal.lastError().c_str());
    return 1;
  }
  if (!options.quiet) {
    std::fputs(terminal.hasCollectedData()
                   ? "[terminal] holding collected data from the data file\n"
                   : "[terminal] no collected data\n",
               stdout);
  }
  // Last line of the start-up: scripts wait for it.
  std::fprintf(stdout, "[terminal] listening on %s:%u\n",
               terminal.address().c_str(), unsigned{terminal.port()});
  std::fflush(stdout);

  int received = 0;
  if (const int rc = sigwait(&stopSignals, &received); rc != 0) {
    std::fprintf(stderr, "tavrolink-terminal: sigwait: %s\n",
                 std::strerror(rc));
    terminal.stop();
    return 1;
  }
  terminal.stop();
  std::fprintf(stdout, "[terminal] stopped (%s)\n",
               received == SIGINT ? "SIGINT" : "SIGTERM");
  return 0;
}
