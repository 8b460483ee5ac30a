// Which device path stands for COMn: the platform's name for it unless
// overridden (/dev/ttyS(n-1) on Linux, \\.\COMn on Windows).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

class PortMap {
public:
    static constexpr int kPorts = 10;
    // Device path for port n (1..10); empty for other numbers.
    std::string PathFor(int nPort) const;
    void Set(int nPort, std::string path);
    // Back to the default.
    void Reset(int nPort);
    // The platform's path for COMn (1..10).
    static std::string DefaultPath(int nPort);
    bool IsOverridden(int nPort) const;
    // Parses "N=PATH" (N 1..10, PATH not empty); false when malformed.
    bool ParseAssignment(std::string_view text);

private:
    std::array<std::optional<std::string>, kPorts + 1> m_paths{};
};
