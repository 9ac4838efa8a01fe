#include "VivirovVizivurad/App/LaunchSteps.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace vivirov {

bool LaunchSteps::isConsoleRoot(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("VIVIROV_RUZORAVIR")) == u"1" ||
           environment.value(QStringLiteral("VIVIROV_RUZORAVIR_PROOF")) == u"1";
}

std::optional<std::uint64_t> LaunchSteps::residentBytes(const QByteArray& statm, long pageSize) {
    const QList<QByteArray> fields = statm.simplified().split(' ');
    if (fields.size() < 2 || pageSize <= 0) return std::nullopt;
    bool ok = false;
    const qulonglong pages = fields[1].toULongLong(&ok);
    if (!ok) return std::nullopt;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

double LaunchSteps::sampleResidentMegabytes() {
    QFile file(QStringLiteral("/proc/self/statm"));
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const auto bytes = residentBytes(file.readAll(), ::sysconf(_SC_PAGESIZE));
    return bytes ? megabytes(*bytes) : 0;
}

std::string LaunchSteps::bootstrapSkipLine(const std::string& activeProviderID) {
    return "[vizivurad-engine] bootstrap SKIPPED \xE2\x80\x94 " + activeProviderID +
           " is the active brain (memory diet: no local engine loads)\n";
}

} // namespace vivirov
