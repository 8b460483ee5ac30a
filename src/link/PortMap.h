// Which device path stands for COMn: /dev/ttyS(n-1) unless overridden.
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
    // Back to the default /dev/ttyS(n-1).
    void Reset(int nPort);
    bool IsOverridden(int nPort) const;
    // Parses "N=PATH" (N 1..10, PATH not empty); false when malformed.
    bool ParseAssignment(std::string_view text);

private:
    std::array<std::optional<std::string>, kPorts + 1> m_paths{};
};
