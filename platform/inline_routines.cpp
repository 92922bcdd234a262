//
// inline_routines.cpp - the one out-of-line copy of each INLINE_ROUTINE (platform/nt.h):
// its callers compile the body in, and this copy serves whoever takes its address.
//
#define KRVDLC_EMIT_INLINE_ROUTINES
#include "core/krvdlc.h"
