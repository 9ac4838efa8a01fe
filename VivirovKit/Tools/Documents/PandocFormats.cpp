#include "VivirovKit/Tools/Documents/PandocFormats.h"

#include <map>
#include <set>

#ifndef VIVIROV_RESOURCES_DIR
#define VIVIROV_RESOURCES_DIR "resources"
#endif

namespace vivirov {

std::string PandocFormats::documentReader(const std::string& ext) {
    static const std::map<std::string, std::string> readers = {
        {"docx", "docx"}, {"odt", "odt"},    {"rtf", "rtf"},   {"html", "html"},
        {"htm", "html"},  {"xhtml", "html"}, {"epub", "epub"},
    };
    auto it = readers.find(ext);
    return it == readers.end() ? std::string() : it->second;
}

bool PandocFormats::isUnreadable(const std::string& ext) {
    static const std::set<std::string> binary = {"doc",  "ppt",     "pptx",  "key", "pdf",
                                                 "xls",  "xlsx",    "numbers", "pages", "webarchive"};
    return binary.count(ext) > 0;
}

std::string PandocFormats::plainTextReader() {
    return std::string(VIVIROV_RESOURCES_DIR) + "/documents/plain_text_reader.lua";
}

} // namespace vivirov
