// The console's settings per user, where Windows keeps them: the COM-port
// assignments under HKEY_CURRENT_USER\Software\zantu\zantu-console\ports
// (values COM1..COM10, each a device path), the batch records in
// %LOCALAPPDATA%\zantu\records.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fw {

std::vector<std::pair<int, std::string>> LoadPortAssignments();
// An empty or missing path removes the assignment.
void SavePortAssignment(int nPort, const std::optional<std::string>& path);
// The folder of the user's batch records ("" when Windows names none).
std::string DefaultRecordsDir();

}  // namespace fw
