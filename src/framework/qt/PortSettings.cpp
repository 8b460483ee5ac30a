#include "framework/qt/PortSettings.h"

#include <QSettings>
#include <QString>

namespace fw {

namespace {
constexpr int kPorts = 10;
QString Key(int n) { return QStringLiteral("ports/COM%1").arg(n); }
}  // namespace

std::vector<std::pair<int, std::string>> LoadPortAssignments(QSettings& settings) {
    std::vector<std::pair<int, std::string>> out;
    for (int n = 1; n <= kPorts; ++n) {
        const QString path = settings.value(Key(n)).toString();
        if (!path.isEmpty()) out.emplace_back(n, path.toStdString());
    }
    return out;
}

void SavePortAssignment(QSettings& settings, int nPort, const std::optional<std::string>& path) {
    if (nPort < 1 || nPort > kPorts) return;
    if (path && !path->empty())
        settings.setValue(Key(nPort), QString::fromStdString(*path));
    else
        settings.remove(Key(nPort));
    settings.sync();
}

}  // namespace fw
