// The COM-port assignments a user made, kept in the platform's usual settings
// place for the application (on Linux ~/.config/zantu/zantu-console.conf), in
// the group "ports" as COM1..COM10 = device path.  The core never sees
// QSettings: it gets these as plain pairs.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

class QSettings;

namespace fw {

// The saved assignments (port number 1..10, path); entries with another key,
// a number out of range or an empty path are passed over.
std::vector<std::pair<int, std::string>> LoadPortAssignments(QSettings& settings);
// Saves an assignment; nothing removes it (back to the default).
void SavePortAssignment(QSettings& settings, int nPort, const std::optional<std::string>& path);

}  // namespace fw
