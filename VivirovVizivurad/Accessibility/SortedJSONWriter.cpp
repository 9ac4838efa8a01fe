#include "VivirovVizivurad/Accessibility/SortedJSONWriter.h"

#include <cstdio>

namespace vivirov {

namespace {

void writeString(const std::string& text, std::string& out) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

void newline(std::string& out, bool pretty, int level) {
    if (!pretty) return;
    out += '\n';
    out.append(size_t(level) * 2, ' ');
}

void write(const json::Value& value, bool pretty, int level, std::string& out) {
    if (value.is_object()) {
        if (value.empty()) { out += "{}"; return; }
        out += '{';
        bool first = true;
        // The object's map keeps its keys in byte order, which for UTF-8 is
        // the order of code points.
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ',';
            first = false;
            newline(out, pretty, level + 1);
            writeString(it.key(), out);
            out += pretty ? " : " : ":";
            write(it.value(), pretty, level + 1, out);
        }
        newline(out, pretty, level);
        out += '}';
    } else if (value.is_array()) {
        if (value.empty()) { out += "[]"; return; }
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ',';
            first = false;
            newline(out, pretty, level + 1);
            write(element, pretty, level + 1, out);
        }
        newline(out, pretty, level);
        out += ']';
    } else if (value.is_string()) {
        writeString(value.get_ref<const std::string&>(), out);
    } else {
        out += value.dump(); // numbers, booleans, null
    }
}

} // namespace

std::string writeSortedJSON(const json::Value& value, bool pretty) {
    std::string out;
    write(value, pretty, 0, out);
    return out;
}

} // namespace vivirov
