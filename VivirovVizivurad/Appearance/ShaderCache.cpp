#include "VivirovVizivurad/Appearance/ShaderCache.h"

namespace vivirov {

ShaderCache& ShaderCache::shared() {
    static ShaderCache cache;
    return cache;
}

const QByteArray* ShaderCache::find(const QString& name) const {
    auto it = programs_.constFind(name);
    return it == programs_.constEnd() ? nullptr : &*it;
}

} // namespace vivirov
