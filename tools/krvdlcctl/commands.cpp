// commands.cpp - krvdlcctl's usage, its dispatch from a command name to the command, and
// the one place where a failure becomes a message and an exit code.
#include "tools/krvdlcctl/commands.h"

#include "tools/krvdlcctl/command_support.h"
#include "tools/krvdlcctl/command_list.h"

#include <algorithm>

namespace krvdlcctl {

std::string UsageText()
{
    return "usage: krvdlcctl COMMAND [ARGUMENTS] [--json]\n"
           "\n"
           "Commands (ADAPTER: an index from 'list', a file name \\\\.\\KrvDlc_{...} or a part of\n"
           "the adapter's name):\n"
           "  list                                   adapters bound to KRVDLC\n"
           "  info ADAPTER                           MAC, medium, link speed, maximum frame size,\n"
           "                                         packet filter, media state\n"
           "  capture ADAPTER -w FILE [-c COUNT] [--duration S] [--no-dsap-check]\n"
           "          [--filter directed|multicast|broadcast|promiscuous]\n"
           "                                         write received frames to a pcap file until\n"
           "                                         COUNT frames, S seconds or Ctrl-C\n"
           "  send ADAPTER (--hex BYTES | --file FRAME | --pcap FILE) [--count N] [--interval MS]\n"
           "                                         send whole frames, MAC header included\n"
           "  test ADAPTER DEST-MAC [--dsap S] [--ssap S] [--count N] [--size B] [--interval MS]\n"
           "       [--timeout MS]                    LLC TEST round trips, reported like ping\n"
           "  xid ADAPTER DEST-MAC [--dsap S] [--ssap S] [--count N] [--interval MS] [--timeout MS]\n"
           "                                         LLC XID exchanges with the answer decoded\n"
           "  respond ADAPTER [--sap S]...           answer TEST and XID commands to these SAPs\n"
           "                                         and the null SAP until stopped (Ctrl-C)\n"
           "\n"
           "Options: --json prints one JSON object per command; --help prints this text.\n"
           "Defaults: test and xid send to DSAP 0x00 (the null SAP, which every LLC station\n"
           "answers) from SSAP 0x04, 5 requests 1000 ms apart, 2000 ms time-out; test carries\n"
           "32 bytes of information.\n"
           "\n"
           "Exit codes: 0 ok, 1 usage or bad input, 2 no such adapter, 3 driver not loaded,\n"
           "4 I/O error (device busy among them), 5 no reply.\n";
}

namespace {

const std::vector<CommandEntry> &Commands()
{
    static const std::vector<CommandEntry> commands = {
        {"list", RunList},       {"info", RunInfo}, {"capture", RunCapture}, {"send", RunSend},
        {"test", RunTest},       {"xid", RunXid},   {"respond", RunRespond},
    };
    return commands;
}

}  // namespace

int RunCommand(const std::vector<std::string> &words, CommandContext &context)
{
    // --json and --help may stand anywhere, before the command name too.
    ArgScanner scanner(words);
    bool json = scanner.Flag("--json");
    bool help = scanner.Flag("--help", "-h");
    std::string name = scanner.Positional().value_or("");
    if (help || name == "help") {
        context.out << UsageText();
        return kExitOk;
    }
    Invocation invocation{name, std::move(scanner), json, context};
    try {
        if (name.empty())
            UsageFailure("no command given");
        auto command = std::find_if(Commands().begin(), Commands().end(),
                                    [&](const CommandEntry &entry) { return name == entry.name; });
        if (command == Commands().end())
            UsageFailure("unknown command '" + name + "'");
        try {
            command->run(invocation);
        } catch (const krvdlc::client::Error &error) {
            LibraryFailure(error);
        }
        return kExitOk;
    } catch (const CommandFailure &failure) {
        context.err << "krvdlcctl: " << failure.what() << "\n";
        if (json && !failure.reported()) {
            Json result = Json::MakeObject();
            result.Set("command", name).Set("ok", false).Set("exit_code", failure.exitCode()).Set("error", failure.what());
            context.out << result.Dump() << "\n";
        }
        context.out.flush();
        context.err.flush();
        return failure.exitCode();
    }
}

}  // namespace krvdlcctl
