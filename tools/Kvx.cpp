#include "tools/Kvx.h"

namespace kvx {
namespace {

struct Subcommand {
    const char* Name;
    const char* Usage;
    int (*Run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

const Subcommand SUBCOMMANDS[] = {
    {"describe", "kvx describe PROFILE [--text]", RunDescribe},
    {"play", "kvx play FILE [--device PROFILE] [--fast]", RunPlay},
    {"record", "kvx record FILE.wav --seconds N [--device PROFILE] [--fast] [--format RATE:BITS:CHANNELS]", RunRecord},
};

}  // namespace

int RunKvx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (!args.empty()) {
        for (const Subcommand& s : SUBCOMMANDS) {
            if (args[0] == s.Name) {
                return s.Run(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
            }
        }
    }
    err << "usage:";
    for (const Subcommand& s : SUBCOMMANDS) err << " " << s.Usage << ";";
    err << (args.empty() ? " no command given" : " unknown command \"" + args[0] + "\"") << "\n";
    return EXIT_USAGE;
}

}  // namespace kvx
