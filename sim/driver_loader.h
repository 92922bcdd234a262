// driver_loader.h - loading and unloading a driver into the simulated machine.
//
// LoadDriver zeroes the driver's global data (the krvdlc_globals section, as a fresh
// image would have it), creates the driver object \Driver\NAME with every dispatch entry
// refusing requests (STATUS_INVALID_DEVICE_REQUEST) and calls the entry routine at
// PASSIVE_LEVEL on the calling thread. A failed start must leave nothing behind; an
// unload must take everything down. What is left over stops the machine with a
// bug-check that names the rule. Tests pass their own entry routines to load
// deliberately broken drivers.
#pragma once

#include "sim/machine.h"

#include <cstdint>
#include <string>

namespace sim {

struct DriverLoadOptions {
    std::u16string driverName = u"\\Driver\\KRVDLC";
    uint32_t poolTag = 0x636C644Bu;   // "Kdlc": the leak checks look for this tag
};

// Returns what the entry routine returned (STATUS_OBJECT_NAME_COLLISION while a driver
// is loaded).
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string serviceKeyPath,
                    DriverLoadOptions options = {});

// Calls the driver's unload routine and checks that it cleaned up. Returns false, doing
// nothing, while a handle or file object of one of the driver's devices is open, when
// no driver is loaded or when the driver has no unload routine.
bool UnloadDriver();

// The loaded driver's object, or null.
PDRIVER_OBJECT LoadedDriverObject();

// Zeroes the driver's global data; LoadDriver does it first.
void ZeroDriverGlobals();

}  // namespace sim
