// The command-line program `kvx`: one table of subcommands, each a function of its arguments and
// two streams, so that tests run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kvx {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_RUN = 1;
constexpr int EXIT_USAGE = 2;

// args excludes the program name. The machine (clock, threads) is the caller's.
int RunKvx(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A subcommand's usage line ("kvx play FILE [--device PROFILE] ..."), every option listed.
const char* CommandUsage(const std::string& command);

// Subcommands.
int RunDescribe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunRecord(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

struct StreamOptions;
// `kvx play --asio` and `kvx record --asio`, after their options were parsed.
int RunAsioPlay(const StreamOptions& options, std::ostream& out, std::ostream& err);
int RunAsioRecord(const StreamOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvx
