// irql.h - the IRQL of each simulated processor context.
//
// Every host thread that enters the simulator is a processor context of its own, at
// PASSIVE_LEVEL until something raises it. NDIS handlers and completions run with the
// IRQL raised to DISPATCH_LEVEL on the calling thread, as on one processor.
#pragma once

#include "sim/machine.h"

namespace sim {

KIRQL CurrentIrql();

// Raises to `level` for the scope; bug-checks when that would lower the IRQL.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL level);
    ~IrqlScope();
    IrqlScope(const IrqlScope &) = delete;
    IrqlScope &operator=(const IrqlScope &) = delete;

private:
    KIRQL previous_;
};

// Raw raise and lower for the kernel routines themselves (spin locks, cancel lock).
KIRQL RaiseIrql(KIRQL level);
void LowerIrql(KIRQL level);

// Verifier: `routine` may be called only at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const char *routine);
// Verifier: `routine` must be called exactly at `level`.
void RequireIrqlExactly(KIRQL level, const char *routine);

// "PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL" or "IRQL n".
const char *IrqlName(KIRQL level);

// A host thread that starts to act as a simulated processor context (the DPC thread, a
// system thread, the thread that boots a machine) begins at PASSIVE_LEVEL under a name
// that bug-check reports show ("DPC", "system thread 2", "test").
void BeginThreadContext(const char *name);
// The name given by BeginThreadContext, or "host" for a thread that never called it.
const char *CurrentContextName();

}  // namespace sim
