#pragma once
#include <QStringView>

namespace vivirov {

// Trims blanks and tabs only (line feeds and other white space stay): the
// trim of fence language tags.
inline QStringView trimSpacesAndTabs(QStringView text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) --end;
    return text.sliced(begin, end - begin);
}

} // namespace vivirov
