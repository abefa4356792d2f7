#include "tools/Kvx.h"

#include <algorithm>

namespace kvx {
namespace {

// The program's version, printed by --version.
constexpr char VERSION[] = "kvx 0.1";

struct Subcommand {
    const char* Name;
    const char* Usage;
    const char* Options;  // one option a line, for --help
    int (*Run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

#define STREAM_OPTIONS_TEXT \
    "  --device PROFILE     a device profile (default: the built-in UAC 1.0 headset)\n" \
    "  --fast               run on virtual time, as fast as the machine goes\n" \
    "  --ppm N              move the simulated device clock by N parts per million (-10000 to 10000)\n" \
    "  --latency-ms N       deliver completions every N ms, several together (1 to 64; default 1)\n" \
    "  --jitter-us N        each completion delivery up to N us later (0 to 10000; default 0)\n" \
    "  --selective-suspend  let the idle device sleep first; the stream's open wakes it\n"
constexpr char STREAM_OPTIONS[] = STREAM_OPTIONS_TEXT;

#define ASIO_OPTIONS                                                                                              \
    "  --asio               stream as an ASIO host through the private ASIO interface (default device: the\n"     \
    "                       built-in ASIO headset, looped from its output to its input)\n"                         \
    "  --buffer FRAMES      with --asio: the host's two buffers, FRAMES each (16 to 8192; default: the driver's\n" \
    "                       preferred size)\n"

const Subcommand SUBCOMMANDS[] = {
    {"describe", "kvx describe PROFILE [--text]",
     "  --text               a text report instead of JSON\n", RunDescribe},
    {"play",
     "kvx play FILE [--device PROFILE] [--fast] [--ppm N] [--latency-ms N] [--jitter-us N] [--selective-suspend] "
     "[--asio [--buffer FRAMES] [--round-trip]]",
     STREAM_OPTIONS_TEXT ASIO_OPTIONS
     "  --round-trip         with --asio: first measure the round trip of an impulse, output to input\n",
     RunPlay},
    {"record",
     "kvx record FILE.{wav,flac,aiff} --seconds N [--device PROFILE] [--fast] [--ppm N] [--latency-ms N] "
     "[--jitter-us N] [--selective-suspend] [--format RATE:BITS:CHANNELS] [--asio [--buffer FRAMES]]",
     "  --seconds N          how long to record (0.01 to 3600)\n"
     "  --format R:B:C       the recording's rate, bits and channels (default: the endpoint's first format)\n",
     RunRecord},
};

void PrintHelp(const Subcommand& s, std::ostream& out)
{
    out << "usage: " << s.Usage << "\n\noptions:\n" << s.Options;
    if (s.Run != RunDescribe) {
        if (s.Run == RunRecord) out << STREAM_OPTIONS << ASIO_OPTIONS;
        out << "\nexit status: 0 ok, 1 stream failure or mismatch, 2 usage, file, format or a device without the "
               "endpoint";
        if (s.Run == RunRecord) out << ", 130 or 143 stopped by SIGINT or SIGTERM (the file keeps what was recorded)";
        out << "\n";
    }
}

bool AsksForHelp(const std::vector<std::string>& args)
{
    return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace

const char* CommandUsage(const std::string& command)
{
    for (const Subcommand& s : SUBCOMMANDS) {
        if (command == s.Name) return s.Usage;
    }
    return "";
}

int RunKvx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (!args.empty()) {
        if (args[0] == "--version") {
            out << VERSION << "\n";
            return EXIT_OK;
        }
        if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
            out << "usage: kvx COMMAND [OPTIONS]; kvx COMMAND --help for its options\n\ncommands:\n";
            for (const Subcommand& s : SUBCOMMANDS) out << "  " << s.Usage << "\n";
            out << "  kvx --version\n";
            return EXIT_OK;
        }
        for (const Subcommand& s : SUBCOMMANDS) {
            if (args[0] == s.Name) {
                const std::vector<std::string> rest(args.begin() + 1, args.end());
                if (AsksForHelp(rest)) {
                    PrintHelp(s, out);
                    return EXIT_OK;
                }
                return s.Run(rest, out, err);
            }
        }
    }
    err << "usage:";
    for (const Subcommand& s : SUBCOMMANDS) err << " " << s.Usage << ";";
    err << (args.empty() ? " no command given" : " unknown command \"" + args[0] + "\"") << " (kvx --help)\n";
    return EXIT_USAGE;
}

}  // namespace kvx
