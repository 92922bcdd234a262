// main.cpp - krvdlcctl.exe, the Windows entry of krvdlcctl: runs one command on the
// console; Ctrl-C and Ctrl-Break stop a long-running command through its stop signal, so
// its read is cancelled and its capture file left complete. (On the Linux host the same
// commands run inside krvdlc-sim.)
#include "tools/krvdlcctl/commands.h"

#include <windows.h>

#include <io.h>
#include <stdio.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

// The console control handler runs on a thread of its own and can reach the command only
// through this one object.
krvdlcctl::StopSignal g_stop;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    g_stop.Request();
    return TRUE;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    krvdlcctl::CommandContext context{std::cout, std::cerr, g_stop, _isatty(_fileno(stderr)) != 0, {}};
    int status = krvdlcctl::RunCommand(words, context);
    std::cout.flush();
    return status;
}
