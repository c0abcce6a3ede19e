// The request path under a script: a fresh in-process server on free
// loopback ports, driven pass by pass on the calling thread, with a seeded
// data folder and up to three control clients and four transfer connections.
//
// The first byte sets who is logged in before the script starts (two bits a
// client: nobody, GUEST, ADMIN, an account). Then each operation is one code
// byte and its arguments, and is followed by one pass of the loop:
//
//   0 raw c n bytes       n bytes on control connection c, as they are
//   1 frame c n bytes     the same bytes behind a correct length header
//   2 passes n            n more passes
//   3 transfer a          a transfer connection from address a
//   4 feed t n r bytes    the bytes, r + 1 times, on transfer connection t
//   5 finish t            transfer connection t stops sending (half-close)
//   6 drop t f            transfer connection t closes (f odd: with a reset)
//   7 hang-up c f         control connection c closes (f odd: with a reset)
//   8 reconnect c         control connection c is made anew (logged out)
//   9 read                every client reads what has arrived
//  10 wait n              the clock moves n * 250 ms
//  11 kick i              the console kicks the i-th session by its name
//
// After the script the loop runs until it is idle, a fresh client must still
// be answered, and once every client has gone (and the clock has moved past
// every time limit) the server must hold no session, no transfer connection
// and no descriptor more than before it started.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vextora::fuzz {

class ScratchFolder;

// Puts the accounts, the administrator password, the catalog and a few files
// the script's requests can reach into the (empty) data folder.
void seedServerData(const ScratchFolder& scratch);

// Runs one script. Empty when every check held; otherwise what failed.
std::string runRequestScript(std::span<const std::uint8_t> script, const ScratchFolder& scratch);

}  // namespace vextora::fuzz
