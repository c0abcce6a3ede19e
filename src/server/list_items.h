// ListItems: the entries of one listing reply, made one at a time while the
// client takes the reply (see ClientSession::replyListing). A source holds
// what it reads from, an open file or folder, never the listing itself.
#pragma once

#include <string>

namespace vextora {

class ListItems {
public:
    virtual ~ListItems() = default;
    // The next entry's text (at most 255 bytes); false once none is left.
    virtual bool next(std::string& text) = 0;
};

}  // namespace vextora
