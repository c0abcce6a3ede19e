// Arbitrary scripts of bytes, connections and passes against the request
// path of a real server (see request_script.h).
#include "fuzz_entry.h"
#include "request_script.h"

VEXTORA_FUZZ_ENTRY(vextora::fuzz::runRequestScript)
