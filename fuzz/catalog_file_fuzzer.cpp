// Arbitrary shared.dat contents under every catalog operation.
#include "file_checks.h"
#include "fuzz_entry.h"

VEXTORA_FUZZ_ENTRY(vextora::fuzz::checkCatalogFile)
