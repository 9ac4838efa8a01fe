#pragma once
#include <QByteArray>
#include <QHash>
#include <QString>

namespace vivirov {

// Compiled shader programs by name, built again on next use once cleared.
// GUI thread only.
class ShaderCache {
public:
    static ShaderCache& shared();

    void insert(const QString& name, QByteArray program) { programs_.insert(name, std::move(program)); }
    const QByteArray* find(const QString& name) const;
    qsizetype size() const { return programs_.size(); }
    void clear() { programs_.clear(); }

private:
    QHash<QString, QByteArray> programs_;
};

} // namespace vivirov
