// commands.h - krvdlcctl's commands, run from a command line's words. krvdlcctl.exe calls
// RunCommand from main; krvdlc-sim calls it on a thread of its own per command.
#pragma once

#include "tools/krvdlcctl/cli.h"

#include <string>
#include <vector>

namespace krvdlcctl {

// words: the command name and its arguments ("test", "1", "02:00:4B:52:00:02", "--count",
// "5"); --json and --help may appear anywhere. Returns the exit code.
int RunCommand(const std::vector<std::string> &words, CommandContext &context);

// The usage text of --help.
std::string UsageText();

}  // namespace krvdlcctl
