#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VivirovVizivurad/Chat/ImageAttachment.h"
#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov::Attachments {

// Files larger than these are refused like files of another type: their
// whole contents would otherwise be read and carried in memory for a prompt.
inline constexpr uintmax_t maxTextBytes = 2u << 20;
inline constexpr uintmax_t maxImageBytes = 64u << 20;

// The path's extension, lower-cased, without the dot ("" when none).
std::string lowerExtension(const std::string& path);
bool isAttachableText(const std::string& path);
bool isImage(const std::string& path);

// A text or code file read whole as UTF-8; none for another extension, an
// unreadable, too large or ill-formed file. Blocks: call off the GUI thread.
std::optional<Attachment> loadText(const std::string& path);
// An image file decoded and scaled for the vision encoder; none for another
// extension or a file that is too large or that no image plugin reads
// (HEIC without a plugin, say). Blocks: call off the GUI thread.
std::optional<ImageAttachment> loadImage(const std::string& path);

// What a drop of several files gives, in the order of the paths.
struct Batch {
    std::vector<Attachment> texts;
    std::vector<ImageAttachment> images;
    std::vector<std::string> refused; // last path components
};
// Images by extension go to loadImage, everything else to loadText. Blocks.
Batch load(const std::vector<std::string>& paths);

// The composer's notice for refused files; none when nothing was refused.
std::optional<std::string> refusedNotice(const std::vector<std::string>& names);

} // namespace vivirov::Attachments
