// image_exports.h - the routines the simulated kernel, HAL and NDIS offer to a driver image
// loaded from its file (sim/image_loader.h), by module and name.
//
// Each entry is the simulator's own implementation of the routine, declared in
// platform/nt.h or platform/ndis.h with the platform's calling convention (stdcall,
// fastcall, or cdecl for DbgPrint, swprintf, memcpy and memset), so the image calls it
// exactly as it would call the real module. In 32-bit builds the simulator is compiled to
// realign the stack on entry, since the image keeps it aligned to 4 bytes only.
#pragma once

#include <string_view>

namespace sim {

struct ImageExport {
    std::string_view module;   // as the platform names it: "ntoskrnl.exe", "HAL.dll", "NDIS.SYS"
    std::string_view name;
    void *address;
};

// The routine `name` of `module` (module names compare without regard to case, as the
// platform's loader does), or null.
const ImageExport *FindImageExport(std::string_view module, std::string_view name);
// True when the simulated machine has a module of that name at all.
bool IsImageExportModule(std::string_view module);

}  // namespace sim
