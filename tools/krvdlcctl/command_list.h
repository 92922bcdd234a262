// command_list.h - the commands krvdlcctl knows; each fails with a CommandFailure.
#pragma once

#include "tools/krvdlcctl/command_support.h"

namespace krvdlcctl {

struct CommandEntry {
    const char *name;
    void (*run)(Invocation &invocation);
};

void RunList(Invocation &invocation);
void RunInfo(Invocation &invocation);
void RunCapture(Invocation &invocation);
void RunSend(Invocation &invocation);
void RunTest(Invocation &invocation);
void RunXid(Invocation &invocation);
void RunRespond(Invocation &invocation);

}  // namespace krvdlcctl
