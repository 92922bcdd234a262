// ndis_events.cpp - NDIS events: notification events of the kernel's dispatcher, waited
// for in the machine's virtual time.
#include "sim/dispatcher.h"
#include "sim/irql.h"

#include <optional>

using namespace sim;

extern "C" {

VOID NTAPI NdisInitializeEvent(PNDIS_EVENT Event)
{
    KeInitializeEvent(&Event->Event, NotificationEvent, FALSE);
}

VOID NTAPI NdisSetEvent(PNDIS_EVENT Event)
{
    KeSetEvent(&Event->Event, 0, FALSE);
}

VOID NTAPI NdisResetEvent(PNDIS_EVENT Event)
{
    KeResetEvent(&Event->Event);
}

BOOLEAN NTAPI NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisWaitEvent");
    std::optional<int64_t> timeout;
    if (MsToWait != 0)
        timeout = static_cast<int64_t>(MsToWait) * 10000;
    return WaitForObjectAs("NdisWaitEvent", &Event->Event, timeout) == STATUS_SUCCESS ? TRUE : FALSE;
}

}  // extern "C"
