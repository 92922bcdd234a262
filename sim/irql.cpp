// irql.cpp - the IRQL and name of each simulated processor context (one per host thread).
#include "sim/irql.h"

#include "sim/bugcheck.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    char name[40] = "host";
};

thread_local ThreadContext t_context;

[[noreturn]] void StopWithRoutine(StopCode code, const char *routine, const char *what,
                                  KIRQL level)
{
    char rule[256];
    std::snprintf(rule, sizeof rule, "%s %s %s", routine, what, IrqlName(level));
    BugCheck(code, rule, t_context.irql, level);
}

}  // namespace

KIRQL CurrentIrql()
{
    return t_context.irql;
}

const char *IrqlName(KIRQL level)
{
    switch (level) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: break;
    }
    // Levels above DISPATCH_LEVEL never name a rule of the driver; a fixed text keeps this
    // routine free of per-thread buffers.
    return "an interrupt IRQL";
}

IrqlScope::IrqlScope(KIRQL level) : previous_(RaiseIrql(level)) {}

IrqlScope::~IrqlScope()
{
    LowerIrql(previous_);
}

KIRQL RaiseIrql(KIRQL level)
{
    KIRQL previous = t_context.irql;
    if (level < previous)
        BugCheck(StopCode::IrqlNotGreaterOrEqual, "IRQL raised to a level below the current one",
                 previous, level);
    t_context.irql = level;
    return previous;
}

void LowerIrql(KIRQL level)
{
    KIRQL current = t_context.irql;
    if (level > current)
        BugCheck(StopCode::IrqlNotLessOrEqual, "IRQL lowered to a level above the current one",
                 current, level);
    t_context.irql = level;
}

void RequireIrqlAtMost(KIRQL maximum, const char *routine)
{
    if (t_context.irql > maximum)
        StopWithRoutine(StopCode::DriverVerifierDetectedViolation, routine, "called above",
                        maximum);
}

void RequireIrqlExactly(KIRQL level, const char *routine)
{
    if (t_context.irql != level)
        StopWithRoutine(StopCode::DriverVerifierDetectedViolation, routine,
                        "called at an IRQL other than", level);
}

void BeginThreadContext(const char *name)
{
    t_context.irql = PASSIVE_LEVEL;
    std::snprintf(t_context.name, sizeof t_context.name, "%s", name);
}

const char *CurrentContextName()
{
    return t_context.name;
}

}  // namespace sim

//
// KeGetCurrentIrql - the IRQL of the calling context.
//
extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return sim::CurrentIrql();
}
