#include <windows.h>
#include <shlobj.h>

#include "framework/win32/UserSettings.h"
#include "framework/win32/Win32Host.h"

namespace fw {

namespace {

constexpr int kPorts = 10;
constexpr wchar_t kPortsKey[] = L"Software\\zantu\\zantu-console\\ports";

std::wstring ValueName(int n) { return L"COM" + std::to_wstring(n); }

}  // namespace

std::vector<std::pair<int, std::string>> LoadPortAssignments() {
    std::vector<std::pair<int, std::string>> out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kPortsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    for (int n = 1; n <= kPorts; ++n) {
        wchar_t buf[1024];
        DWORD size = sizeof buf - sizeof(wchar_t);
        DWORD type = 0;
        const std::wstring name = ValueName(n);
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        // A stored string need not end in its NUL.
        std::wstring path(buf, size / sizeof(wchar_t));
        while (!path.empty() && path.back() == L'\0') path.pop_back();
        if (!path.empty()) out.emplace_back(n, Utf8(path));
    }
    RegCloseKey(key);
    return out;
}

void SavePortAssignment(int nPort, const std::optional<std::string>& path) {
    if (nPort < 1 || nPort > kPorts) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kPortsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    const std::wstring name = ValueName(nPort);
    if (path && !path->empty()) {
        const std::wstring w = Wide(*path);
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                       static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteValueW(key, name.c_str());
    }
    RegCloseKey(key);
}

std::string DefaultRecordsDir() {
    PWSTR folder = nullptr;
    std::string dir;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder)
        dir = Utf8(folder) + "\\zantu\\records";
    CoTaskMemFree(folder);
    return dir;
}

}  // namespace fw
