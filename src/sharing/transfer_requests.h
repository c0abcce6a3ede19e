// The two requests that start a transfer. Each reads its payload through the
// reader, answers what it must at once, and hands the transfer it sets up to
// the transfer engine, which waits for its connection and runs it.
//
// Upload:   request; no answer (19 when refused); the client connects to the
//           transfer port, sends the bytes and closes its end; the server
//           answers 18 (19 when the file could not be stored).
// Download: request; the server answers the size (4 bytes, FF FF FF FF when
//           the file cannot be opened); the client connects; the server sends
//           exactly that many bytes and closes.
// During either, the byte 17 on the control connection cancels: an upload's
// partial data is dropped and 18 answered; a download just stops.
#pragma once

namespace vextora {

class ClientSession;
class PayloadReader;

// REQ_UPLOAD: name, piece size, announced size. Names with a ".." part, and
// names an upload's hidden file could have, are refused with 19.
void startUpload(ClientSession& session, PayloadReader& payload);
// REQ_DOWNLOAD: name, piece size, selector. 24 reads the caller's own folder;
// any other selector only a line of the catalog, anything else looks missing.
void startDownload(ClientSession& session, PayloadReader& payload);

}  // namespace vextora
