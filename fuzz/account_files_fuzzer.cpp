// Arbitrary users.dat and adminpass.cfg contents under login and creation.
#include "file_checks.h"
#include "fuzz_entry.h"

VEXTORA_FUZZ_ENTRY(vextora::fuzz::checkAccountFiles)
