// The data-file readers and writers on arbitrary file contents, each checked
// against a plain model of the documented line format:
//  - a line ends at LF; a CR right before the LF belongs to the line end;
//  - a last line with no LF is torn;
//  - users.dat pairs its lines into (name, password) records;
//  - shared.dat lists its ended lines of at most 255 bytes.
// Each function writes the file(s) from the input into the scratch data
// folder, runs the operations the input names, and returns what failed
// (empty when every check held).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vextora::fuzz {

class ScratchFolder;

// users.dat and adminpass.cfg: login checks, the duplicate check and account
// creation, which must append without disturbing any earlier record.
std::string checkAccountFiles(std::span<const std::uint8_t> input, const ScratchFolder& scratch);

// shared.dat: listing, look-up, the owner count, publish and withdraw, which
// must keep every other line and leave whole lines and no temporary behind.
std::string checkCatalogFile(std::span<const std::uint8_t> input, const ScratchFolder& scratch);

// The line reader, on a file built by repeating the input so that long lines
// and lines across read boundaries occur. Also takes each line as the
// console's host list will (at most 511 characters a line).
std::string checkLineReader(std::span<const std::uint8_t> input, const ScratchFolder& scratch);

}  // namespace vextora::fuzz
