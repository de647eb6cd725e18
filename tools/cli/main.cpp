// tavrolink-cli: the Tavrolink driver from a shell.
//
// Loads the add-in library the way the platform does and gives an integrator
// the driver's operations as commands: what the driver says about itself, and
// the exchanges with a terminal (connect, test, upload, download, clear), each
// run in one process as ConnectEquipment, the operation, DisconnectEquipment.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "addin_host.h"
#include "text.h"

#ifndef TAVROLINK_CLI_DEFAULT_LIBRARY
#define TAVROLINK_CLI_DEFAULT_LIBRARY "libTavrolink.so"
#endif

namespace {

using namespace cli;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // the driver reported a failure, or output could not be written
constexpr int kExitUsage = 2;    // bad command line or input file
constexpr int kExitLibrary = 3;  // the library cannot be loaded or set up

constexpr size_t kDefaultPackageSize = 65536;
constexpr size_t kMinPackageSize = 4;  // the longest UTF-8 sequence
constexpr size_t kMaxPackageSize = 1u << 30;

const char kUsage[] = R"(Usage: tavrolink-cli [OPTIONS] COMMAND [ARGUMENTS]

Loads the Tavrolink driver library as the platform does (its four exports and
its interface tables) and runs one of the driver's operations.

About the driver (no terminal needed):
  describe              the driver description (GetDescription), as XML
  settings              the settings form (EquipmentParameters), as XML
  version               class name, extension name, driver version, interface
                        revision and component version
  methods               the driver's methods: number, English and Russian
                        name, parameter count

With a terminal (need --address):
  connect               ConnectEquipment: checks that the terminal accepts a
                        connection and prints the device identifier
  test                  EquipmentTest: a test exchange with the terminal;
                        prints the driver's test description
  upload FILE           UploadTable: sends the UTF-8 text of FILE ("-" reads
                        standard input) in packages of at most --package-size
                        bytes, never cutting a character; statuses "first",
                        "" (middle) and "last", or "last" alone for a table
                        that fits in one package. A byte order mark at the
                        start is dropped; a zero byte is refused.
  download              DownloadTable: the data collected on the terminal,
                        as UTF-8, on standard output or into --output FILE
  download-ex REQUEST   DownloadTableEx: the same, with REQUEST sent instead
                        of the standard request
  clear                 ClearTable: clears the terminal's data
  call METHOD [ARG...]  any method by its English or Russian name, with
                        string arguments; parameters beyond the arguments are
                        passed empty. Prints the result and every parameter
                        the call wrote. With --address, ConnectEquipment runs
                        first.

upload, download, download-ex and clear run ConnectEquipment first, as the
platform does, then the operation, then DisconnectEquipment. test hands the
address to EquipmentTest itself, as the platform's settings form does.
To try the commands without a device, run the emulated terminal:
  tavrolink-terminal --address 127.0.0.1 --data collected.txt

Options:
  --address A           the terminal's IPv4 address; sent to the driver as the
                        connection parameter "Address"
  --library PATH        the driver library (default:
                        )" TAVROLINK_CLI_DEFAULT_LIBRARY R"()
  --package-size BYTES  upload: largest package, 4 to 1073741824 bytes
                        (default 65536)
  --output FILE         download, download-ex: write the data into FILE
  -v, --verbose         show each call into the component on standard error
  -h, --help            show this text

Output:
  Standard output carries what a command produces: XML, the method table, the
  downloaded data. The outcome goes to standard error as its last line: "ok",
  or "failed: CODE TEXT" with the error code and text that GetLastError
  reports, e.g. "failed: 4 Нет документов для выгрузки".

Exit status:
  0  the operation succeeded
  1  the driver reported a failure (or the output could not be written)
  2  the command line or the input file is not usable
  3  the library cannot be loaded or is not a usable add-in

Examples:
  tavrolink-cli version
  tavrolink-cli methods
  tavrolink-cli --address 127.0.0.1 download        (against tavrolink-terminal)
  tavrolink-cli --address 192.168.1.50 test
  tavrolink-cli --address 192.168.1.50 upload goods.csv --package-size 4096
  tavrolink-cli --address 192.168.1.50 download --output collected.txt
  tavrolink-cli --address 192.168.1.50 download > collected.txt
  tavrolink-cli --address 192.168.1.50 clear
  tavrolink-cli --address 192.168.1.50 call ЗагрузитьТаблицуДоп "" "" Inventory
  tavrolink-cli call GetLastError
)";

struct Options {
    std::string library = TAVROLINK_CLI_DEFAULT_LIBRARY;
    bool hasAddress = false;
    std::string address;
    bool hasPackageSize = false;
    size_t packageSize = kDefaultPackageSize;
    bool hasOutput = false;
    std::string output;
    bool verbose = false;
    bool help = false;
    std::string command;
    std::vector<std::string> args;
};

/// A reason to stop, with the exit status that goes with it.
struct Stop {
    int status;
    std::string message;
};

[[noreturn]] void usageError(const std::string& message) { throw Stop{kExitUsage, message}; }

// --- output -----------------------------------------------------------------

// Standard output is flushed before anything goes to standard error, so the
// two keep their order when they end up in one file or pipe.
void out(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }

void status(const std::string& line)
{
    fflush(stdout);
    fprintf(stderr, "%s\n", line.c_str());
}

void reportOk() { status("ok"); }

int reportFailure(AddIn& addin)
{
    std::string text;
    const long code = addin.lastError(&text);
    status("failed: " + std::to_string(code) + " " + text);
    if (code == 0)
        status("(the driver gave no error code for this failure)");
    return kExitFailed;
}

// --- the command line -------------------------------------------------------

size_t parsePackageSize(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        usageError("--package-size needs a number of bytes, not \"" + text + "\"");
    const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (value < kMinPackageSize || value > kMaxPackageSize)
        usageError("--package-size must be between " + std::to_string(kMinPackageSize) + " and " +
                   std::to_string(kMaxPackageSize) + " bytes");
    return static_cast<size_t>(value);
}

// Text from the command line goes to the driver as a host string: it must be
// UTF-8, and a value inside XML may not hold control characters that XML
// cannot carry.
void checkArgument(const std::string& what, const std::string& text, bool insideXml)
{
    const size_t bad = findInvalidUtf8(text);
    if (bad != std::string::npos)
        usageError(what + " is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")");
    if (insideXml) {
        for (unsigned char c : text) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                usageError(what + " holds a control character that XML cannot carry");
        }
    }
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (o.command.empty())
                o.command = arg;
            else
                o.args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const auto takeValue = [&]() {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                usageError(name + " needs a value");
            return std::string(argv[++i]);
        };
        const auto noValue = [&]() {
            if (inlineValue)
                usageError(name + " takes no value");
        };
        if (name == "--help" || name == "-h") {
            noValue();
            o.help = true;
        } else if (name == "--verbose" || name == "-v") {
            noValue();
            o.verbose = true;
        } else if (name == "--library") {
            o.library = takeValue();
        } else if (name == "--address") {
            o.address = takeValue();
            o.hasAddress = true;
        } else if (name == "--package-size") {
            o.packageSize = parsePackageSize(takeValue());
            o.hasPackageSize = true;
        } else if (name == "--output") {
            o.output = takeValue();
            o.hasOutput = true;
            if (o.output.empty())
                usageError("--output needs a file name");
        } else {
            usageError("unknown option " + name);
        }
    }
    return o;
}

struct CommandInfo {
    const char* name;
    int minArgs;
    int maxArgs;  // -1: any number
    bool needsAddress;
    const char* argsText;
};

const CommandInfo kCommands[] = {
    {"describe", 0, 0, false, ""},
    {"settings", 0, 0, false, ""},
    {"version", 0, 0, false, ""},
    {"methods", 0, 0, false, ""},
    {"connect", 0, 0, true, ""},
    {"test", 0, 0, true, ""},
    {"upload", 1, 1, true, " FILE"},
    {"download", 0, 0, true, ""},
    {"download-ex", 1, 1, true, " REQUEST"},
    {"clear", 0, 0, true, ""},
    {"call", 1, -1, false, " METHOD [ARG...]"},
};

void validate(const Options& o)
{
    if (o.command.empty())
        usageError("no command given");
    const CommandInfo* info = nullptr;
    for (const CommandInfo& c : kCommands) {
        if (o.command == c.name)
            info = &c;
    }
    if (info == nullptr)
        usageError("unknown command \"" + o.command + "\"");
    const int given = static_cast<int>(o.args.size());
    if (given < info->minArgs || (info->maxArgs >= 0 && given > info->maxArgs))
        usageError(std::string("usage: tavrolink-cli [OPTIONS] ") + info->name + info->argsText);
    if (info->needsAddress && !o.hasAddress)
        usageError(o.command + " needs the terminal's address: --address A");
    if (o.hasPackageSize && o.command != "upload")
        usageError("--package-size is an option of upload only");
    if (o.hasOutput && o.command != "download" && o.command != "download-ex")
        usageError("--output is an option of download and download-ex only");
    if (o.hasAddress)
        checkArgument("the address", o.address, true);
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (o.command != "upload")
            checkArgument("argument " + std::to_string(i + 1), o.args[i], false);
    }
}

// --- files ------------------------------------------------------------------

std::string readInput(const std::string& path)
{
    FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (f == nullptr)
        usageError("cannot read " + path + ": " + strerror(errno));
    std::string data;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        data.append(buffer, n);
    const bool failed = ferror(f) != 0;
    const int error = errno;
    if (f != stdin)
        fclose(f);
    if (failed)
        usageError("cannot read " + path + ": " + strerror(error));
    return data;
}

// "line 3, column 7" of a byte offset, for messages about an input file.
std::string position(const std::string& text, size_t offset)
{
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// --- the component ----------------------------------------------------------

/// The method's number; a library without it is not this driver.
long require(AddIn& addin, const char* name)
{
    const long number = addin.findMethod(name);
    if (number < 0)
        throw Stop{kExitLibrary, std::string("the library has no method ") + name};
    return number;
}

CallResult callMethod(AddIn& addin, const char* name, Params& params)
{
    return addin.call(require(addin, name), params);
}

/// ConnectEquipment with the address; the device identifier that the driver
/// wrote goes to *device.
bool connectEquipment(AddIn& addin, const std::string& address, std::string* device)
{
    Params params(addin.memory(), 3);
    params.setString(2, connectionParameters(address));
    CallResult result = callMethod(addin, "ConnectEquipment", params);
    addin.release(result.value);
    if (device != nullptr)
        *device = addin.text(params[0]);
    return result.ok();
}

void disconnectEquipment(AddIn& addin)
{
    Params params(addin.memory(), 1);
    CallResult result = callMethod(addin, "DisconnectEquipment", params);
    addin.release(result.value);
}

/// Runs an exchange command's operation between ConnectEquipment and
/// DisconnectEquipment. A failed connection stops before the operation.
template <class Operation>
int withConnection(AddIn& addin, const Options& o, Operation&& operation)
{
    if (!connectEquipment(addin, o.address, nullptr)) {
        status("cannot connect to the terminal at " + o.address);
        const int result = reportFailure(addin);
        disconnectEquipment(addin);
        return result;
    }
    const int result = operation();
    disconnectEquipment(addin);
    return result;
}

/// A method whose one interesting output is a string parameter: prints it.
int printStringParameter(AddIn& addin, const char* method, size_t count, size_t index)
{
    Params params(addin.memory(), count);
    CallResult result = callMethod(addin, method, params);
    addin.release(result.value);
    if (!result.ok())
        return reportFailure(addin);
    out(addin.text(params[index]) + "\n");
    reportOk();
    return kExitOk;
}

int commandVersion(AddIn& addin)
{
    Params none(addin.memory(), 0);
    CallResult version = callMethod(addin, "GetVersion", none);
    const std::string versionText =
        version.value.vt == VTYPE_PWSTR ? addin.text(version.value) : addin.describe(version.value);
    addin.release(version.value);
    CallResult revision = callMethod(addin, "GetInterfaceRevision", none);
    const std::string revisionText = revision.value.vt == VTYPE_I4
                                         ? std::to_string(revision.value.lVal)
                                         : addin.describe(revision.value);
    addin.release(revision.value);
    const long info = addin.object()->GetInfo();

    const auto row = [](const char* label, const std::string& value, const char* source) {
        std::string line = label;
        line.resize(20, ' ');
        line += value;
        size_t width = codePoints(value);
        while (width++ < 16)
            line += ' ';
        out(line + " " + source + "\n");
    };
    row("class names", addin.classNames(), "(GetClassNames)");
    row("extension name", addin.extensionName(), "(RegisterExtensionAs)");
    row("driver version", versionText, "(GetVersion)");
    row("interface revision", revisionText, "(GetInterfaceRevision)");
    row("component version", std::to_string(info), "(GetInfo)");
    row("capabilities", std::to_string(addin.capabilities()), "(SetPlatformCapabilities)");
    reportOk();
    return kExitOk;
}

std::string padded(const std::string& text, size_t width)
{
    std::string s = text;
    for (size_t n = codePoints(text); n < width; ++n)
        s += ' ';
    return s;
}

int commandMethods(AddIn& addin)
{
    const long count = addin.object()->GetNMethods();
    if (count < 0 || count > 10000)
        throw Stop{kExitLibrary, "GetNMethods reports " + std::to_string(count) + " methods"};
    struct Row {
        std::string en, ru;
        long params;
    };
    std::vector<Row> rows;
    size_t enWidth = 12, ruWidth = 12;
    for (long i = 0; i < count; ++i) {
        Row r{addin.methodName(i, 0), addin.methodName(i, 1), addin.paramCount(i)};
        enWidth = std::max(enWidth, codePoints(r.en));
        ruWidth = std::max(ruWidth, codePoints(r.ru));
        rows.push_back(r);
    }
    out(" #  " + padded("English name", enWidth) + "  " + padded("Russian name", ruWidth) +
        "  Parameters\n");
    for (long i = 0; i < count; ++i) {
        const Row& r = rows[static_cast<size_t>(i)];
        char number[16];
        snprintf(number, sizeof number, "%2ld  ", i);
        out(number + padded(r.en, enWidth) + "  " + padded(r.ru, ruWidth) + "  " +
            std::to_string(r.params) + "\n");
    }
    out(std::to_string(count) + (count == 1 ? " method\n" : " methods\n"));
    reportOk();
    return kExitOk;
}

int commandConnect(AddIn& addin, const Options& o)
{
    std::string device;
    const bool ok = connectEquipment(addin, o.address, &device);
    int result = kExitOk;
    if (ok) {
        out("device identifier: " + device + "\n");
        reportOk();
    } else {
        result = reportFailure(addin);
    }
    disconnectEquipment(addin);
    return result;
}

int commandTest(AddIn& addin, const Options& o)
{
    Params params(addin.memory(), 4);
    params.setString(1, connectionParameters(o.address));
    CallResult result = callMethod(addin, "EquipmentTest", params);
    addin.release(result.value);
    if (params.written(2))
        out(addin.text(params[2]) + "\n");
    if (!result.ok())
        return reportFailure(addin);
    reportOk();
    return kExitOk;
}

/// A progress bar on standard error, shown only on a terminal.
class Progress {
public:
    Progress(size_t packages, size_t bytes)
        : packages_(packages), bytes_(bytes), shown_(packages > 1 && isatty(STDERR_FILENO))
    {
    }
    void update(size_t packagesDone, size_t bytesDone)
    {
        if (!shown_)
            return;
        constexpr size_t kWidth = 30;
        const size_t filled = bytes_ == 0 ? kWidth : bytesDone * kWidth / bytes_;
        std::string bar(filled, '#');
        bar.resize(kWidth, '.');
        fflush(stdout);
        fprintf(stderr, "\r[%s] %zu/%zu packages, %zu/%zu bytes", bar.c_str(), packagesDone,
                packages_, bytesDone, bytes_);
        fflush(stderr);
        started_ = true;
    }
    /// Ends the bar's line, so that what follows starts on a line of its own.
    void finish()
    {
        if (started_)
            fputc('\n', stderr);
        started_ = false;
    }

private:
    size_t packages_, bytes_;
    bool shown_;
    bool started_ = false;
};

int commandUpload(AddIn& addin, const Options& o)
{
    const std::string& path = o.args[0];
    std::string data = readInput(path);
    if (data.compare(0, 3, "\xEF\xBB\xBF") == 0)
        data.erase(0, 3);
    const size_t bad = findInvalidUtf8(data);
    if (bad != std::string::npos)
        usageError(path + " is not UTF-8 text: bad byte at " + position(data, bad));
    // The driver reads a host string up to its first zero unit: the rest of
    // the table would silently be lost.
    const size_t zero = data.find('\0');
    if (zero != std::string::npos)
        usageError(path + " holds a zero byte at " + position(data, zero) +
                   ", which a table cannot carry");

    std::vector<std::string_view> packages = splitPackages(data, o.packageSize);
    if (packages.empty())
        packages.push_back(std::string_view());  // an empty table is one empty package

    return withConnection(addin, o, [&]() {
        const long method = require(addin, "UploadTable");
        Progress progress(packages.size(), data.size());
        size_t sent = 0;
        for (size_t i = 0; i < packages.size(); ++i) {
            const bool last = i + 1 == packages.size();
            Params params(addin.memory(), 3);
            params.setString(1, std::string(packages[i]));
            params.setString(2, last ? "last" : i == 0 ? "first" : "");
            CallResult result = addin.call(method, params);
            addin.release(result.value);
            if (!result.ok()) {
                progress.finish();
                status("package " + std::to_string(i + 1) + " of " +
                       std::to_string(packages.size()) + " was not accepted");
                return reportFailure(addin);
            }
            sent += packages[i].size();
            progress.update(i + 1, sent);
        }
        progress.finish();
        out("uploaded " + path + ": " + std::to_string(data.size()) + " bytes in " +
            std::to_string(packages.size()) +
            (packages.size() == 1 ? " package\n" : " packages\n"));
        reportOk();
        return kExitOk;
    });
}

bool writeAll(FILE* f, const std::string& data)
{
    return fwrite(data.data(), 1, data.size(), f) == data.size();
}

int commandDownload(AddIn& addin, const Options& o)
{
    const bool extended = o.command == "download-ex";
    return withConnection(addin, o, [&]() {
        Params params(addin.memory(), extended ? 3 : 2);
        if (extended)
            params.setString(2, o.args[0]);
        CallResult result = callMethod(addin, extended ? "DownloadTableEx" : "DownloadTable", params);
        addin.release(result.value);
        if (!result.ok())
            return reportFailure(addin);

        const Units units = addin.units(params[1]);
        const std::string data = utf16ToUtf8(units.data(), units.size());
        const size_t unpaired = unpairedSurrogates(units.data(), units.size());
        if (units.empty())
            status("(the terminal sent no data)");
        if (unpaired != 0)
            status("note: the data held " + std::to_string(unpaired) +
                   " unpaired surrogate(s), written as U+FFFD");

        if (o.hasOutput && o.output != "-") {
            FILE* f = fopen(o.output.c_str(), "wb");
            if (f == nullptr || !writeAll(f, data) || fclose(f) != 0) {
                const int error = errno;
                status("cannot write " + o.output + ": " + strerror(error));
                return kExitFailed;
            }
            out("wrote " + std::to_string(data.size()) + " bytes to " + o.output + "\n");
        } else {
            if (!writeAll(stdout, data))
                return kExitFailed;  // reported at exit with the reason
            // On a screen, the outcome line starts a line of its own.
            if (!data.empty() && data.back() != '\n' && isatty(STDOUT_FILENO))
                out("\n");
        }
        reportOk();
        return kExitOk;
    });
}

int commandClear(AddIn& addin, const Options& o)
{
    return withConnection(addin, o, [&]() {
        Params params(addin.memory(), 1);
        CallResult result = callMethod(addin, "ClearTable", params);
        addin.release(result.value);
        if (!result.ok())
            return reportFailure(addin);
        reportOk();
        return kExitOk;
    });
}

// Names that differ from a method's only in letter case (ASCII), for the
// message about an unknown name.
std::string suggestion(AddIn& addin, const std::string& name)
{
    const auto lower = [](std::string s) {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    };
    const long count = addin.object()->GetNMethods();
    for (long i = 0; i < count && i < 10000; ++i) {
        for (long alias = 0; alias < 2; ++alias) {
            const std::string candidate = addin.methodName(i, alias);
            if (!candidate.empty() && lower(candidate) == lower(name))
                return " (names are case-sensitive: did you mean " + candidate + "?)";
        }
    }
    return "";
}

int commandCall(AddIn& addin, const Options& o)
{
    const std::string& name = o.args[0];
    const long method = addin.findMethod(name);
    if (method < 0)
        usageError("the driver has no method \"" + name + "\"" + suggestion(addin, name) +
                   "; tavrolink-cli methods lists them");
    const long count = addin.paramCount(method);
    const size_t given = o.args.size() - 1;
    if (count < 0 || given > static_cast<size_t>(count))
        usageError(name + " takes " + std::to_string(count) + " parameter(s), " +
                   std::to_string(given) + " given");

    const auto run = [&]() {
        Params params(addin.memory(), static_cast<size_t>(count));
        for (size_t i = 0; i < given; ++i)
            params.setString(i, o.args[i + 1]);
        CallResult result = addin.call(method, params);
        if (!result.returned) {
            status("failed: CallAsFunc refused the call");
            return kExitFailed;
        }
        out("result       " + addin.describe(result.value) + "\n");
        for (size_t i = 0; i < params.size(); ++i) {
            if (params.written(i))
                out("parameter " + std::to_string(i) + "  " + addin.describe(params[i]) + "\n");
        }
        const bool ok = result.ok();
        addin.release(result.value);
        if (!ok)
            return reportFailure(addin);
        reportOk();
        return kExitOk;
    };
    if (!o.hasAddress)
        return run();
    return withConnection(addin, o, run);
}

int runCommand(AddIn& addin, const Options& o)
{
    const std::string& c = o.command;
    if (c == "describe")
        return printStringParameter(addin, "GetDescription", 1, 0);
    if (c == "settings")
        return printStringParameter(addin, "EquipmentParameters", 2, 1);
    if (c == "version")
        return commandVersion(addin);
    if (c == "methods")
        return commandMethods(addin);
    if (c == "connect")
        return commandConnect(addin, o);
    if (c == "test")
        return commandTest(addin, o);
    if (c == "upload")
        return commandUpload(addin, o);
    if (c == "download" || c == "download-ex")
        return commandDownload(addin, o);
    if (c == "clear")
        return commandClear(addin, o);
    return commandCall(addin, o);
}

int run(int argc, char** argv)
{
    const Options o = parseOptions(argc, argv);
    if (o.help) {
        out(kUsage);
        return kExitOk;
    }
    validate(o);

    AddIn addin;
    addin.setTrace(o.verbose);
    std::string error;
    if (!addin.load(o.library, &error))
        throw Stop{kExitLibrary, error};
    return runCommand(addin, o);
}

}  // namespace

int main(int argc, char** argv)
{
    // A closed pipe on standard output is reported as a write error, not a
    // silent death in the middle of an exchange.
    signal(SIGPIPE, SIG_IGN);
    int result;
    try {
        result = run(argc, argv);
    } catch (const Stop& stop) {
        fflush(stdout);
        fprintf(stderr, "tavrolink-cli: %s\n", stop.message.c_str());
        if (stop.status == kExitUsage)
            fprintf(stderr, "Run \"tavrolink-cli --help\" for the commands and options.\n");
        result = stop.status;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "tavrolink-cli: %s\n", e.what());
        result = kExitFailed;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "tavrolink-cli: cannot write the output: %s\n", strerror(errno));
        if (result == kExitOk)
            result = kExitFailed;
    }
    return result;
}
