#include "VivirovVizivurad/Workspace/WorkspaceListing.h"

#include <QDir>
#include <QFile>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace vivirov {
namespace {

// Puts UTF-16 units in code-point order: surrogates above the rest of the BMP.
char16_t codePointRank(char16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit + 0x2000;
    if (unit >= 0xE000) return unit - 0x800;
    return unit;
}

bool isAscii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

QString composed(const QString& name) {
    return isAscii(name) ? name : name.normalized(QString::NormalizationForm_C);
}

} // namespace

QStringList WorkspaceListing::listNames(const QString& root) {
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(root).constData());
    if (!dir) return names;
    while (const dirent* item = ::readdir(dir)) {
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        names.push_back(QFile::decodeName(name));
    }
    ::closedir(dir);
    return names;
}

bool WorkspaceListing::isSkipped(const QString& name) {
    static const QStringList tools{QStringLiteral(".git"), QStringLiteral("node_modules"), QStringLiteral(".build"),
                                   QStringLiteral("DerivedData"), QStringLiteral(".DS_Store")};
    return name.startsWith(QLatin1Char('.')) || tools.contains(name);
}

bool WorkspaceListing::lessByCodePoint(const QString& a, const QString& b) {
    const QString left = composed(a), right = composed(b);
    return std::lexicographical_compare(left.utf16(), left.utf16() + left.size(), right.utf16(),
                                        right.utf16() + right.size(), [](char16_t x, char16_t y) {
                                            return codePointRank(x) < codePointRank(y);
                                        });
}

std::vector<WorkspaceEntry> WorkspaceListing::scan(const QString& root) {
    std::vector<WorkspaceEntry> entries;
    if (root.isEmpty()) return entries;
    QStringList names = listNames(root);
    names.removeIf(isSkipped);
    const auto kept = names.begin() + std::min<qsizetype>(cap, names.size());
    std::partial_sort(names.begin(), kept, names.end(), lessByCodePoint);
    const QString base = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    for (auto it = names.begin(); it != kept; ++it) {
        const QString path = base + *it;
        struct stat info {};
        // A name gone since the listing reads as a file.
        const bool isDir = ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
        entries.push_back({path, *it, path, isDir});
    }
    return entries;
}

QString WorkspaceListing::icon(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
    if (ext == u"swift") return QStringLiteral("swift");
    static const QStringList code{QStringLiteral("cpp"), QStringLiteral("hpp"), QStringLiteral("h"),
                                  QStringLiteral("c"),   QStringLiteral("mm"),  QStringLiteral("py")};
    if (code.contains(ext)) return QStringLiteral("chevron.left.forwardslash.chevron.right");
    if (ext == u"md") return QStringLiteral("doc.richtext");
    if (ext == u"json" || ext == u"yaml" || ext == u"yml") return QStringLiteral("curlybraces");
    return QStringLiteral("doc");
}

} // namespace vivirov
