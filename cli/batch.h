// `ostrel batch`: the production line loop on one reader, with its journal.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace ostrel_cli {

struct BatchArgs {
  std::string keysPath, journalPath;
  int targetLevel = 3;
  int count = 0;
};

// Adds the subcommand and its options to `app`.
CLI::App* AddBatchCommand(CLI::App& app, BatchArgs* args);
// Runs it on `reader` (as HOLLINK_READER names it); returns the exit code.
int RunBatchCommand(const BatchArgs& args, const std::string& reader, bool json);

}  // namespace ostrel_cli
