// Arbitrary text files through the line reader.
#include "file_checks.h"
#include "fuzz_entry.h"

VEXTORA_FUZZ_ENTRY(vextora::fuzz::checkLineReader)
