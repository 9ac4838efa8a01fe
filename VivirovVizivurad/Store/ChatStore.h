#pragma once
#include <string>

#include "VivirovKit/Support/SerialQueue.h"
#include "VivirovVizivurad/Store/ChatArchive.h"

namespace vivirov {

// The legacy JSON chat archive, loaded whole at construction and written
// whole, atomically, on its own serial queue at every save(). The owner
// changes `archive` only by appending a message and then calling save().
class ChatStore {
public:
    using Archive = ChatArchive;

    ChatStore(); // the file at chatArchivePath(), its folder created if missing
    explicit ChatStore(std::string url);
    // Waits for the saves already requested.
    ~ChatStore() = default;

    // Writes a copy of the archive in the background; reports nothing.
    // A file that existed but could not be read back is first moved aside
    // to "<url>.corrupt-<unix seconds>", so a save never destroys history it
    // could not understand; when that move fails, nothing is written.
    void save();

    const std::string url;
    Archive archive;

private:
    void load();
    bool protectUnreadableFile_ = false; // set by load(), then touched only on `io`
    // Last member: destroyed first, so queued saves finish while the rest is alive.
    SerialQueue io{"com.dudive.vivirov.chatstore"};
};

} // namespace vivirov
