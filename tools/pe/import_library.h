// Import libraries (ar archives of COFF import members, as dlltool and the mingw-w64 runtime
// ship them): which module a library imports from and which names it can import.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/pe/byte_view.h"

namespace krvdlc::pe {

struct ImportLibrary {
    std::string module;           // e.g. "ntoskrnl.exe"
    std::set<std::string> names;  // names in the module's export table that the library imports
};

// Reads both long-format members (.idata$6 hint/name, .idata$7 module name defined by the
// "_iname" symbol) and short import members. Throws FormatError on a malformed archive or
// when the members name more than one module.
ImportLibrary read_import_library(ByteView archive);

}  // namespace krvdlc::pe
