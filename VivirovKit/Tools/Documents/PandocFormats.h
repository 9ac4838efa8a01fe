#pragma once
// Which pandoc reader the document tools use for a file extension.
#include <string>

namespace vivirov {

class PandocFormats {
public:
    // The reader for a document format pandoc understands (docx, odt, rtf,
    // html, epub); "" for anything else.
    static std::string documentReader(const std::string& lowercasedExtension);
    // Formats neither pandoc nor the plain-text reader can make sense of.
    static bool isUnreadable(const std::string& lowercasedExtension);
    // pandoc has no plain-text reader of its own: this one makes every line a
    // paragraph and reads nothing as markup.
    static std::string plainTextReader();
};

} // namespace vivirov
