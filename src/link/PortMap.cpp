#include "link/PortMap.h"

#include <charconv>

std::string PortMap::PathFor(int nPort) const {
    if (nPort < 1 || nPort > kPorts) return {};
    if (m_paths[nPort]) return *m_paths[nPort];
    return DefaultPath(nPort);
}

void PortMap::Set(int nPort, std::string path) {
    if (nPort < 1 || nPort > kPorts) return;
    m_paths[nPort] = std::move(path);
}

void PortMap::Reset(int nPort) {
    if (nPort >= 1 && nPort <= kPorts) m_paths[nPort].reset();
}

bool PortMap::IsOverridden(int nPort) const {
    return nPort >= 1 && nPort <= kPorts && m_paths[nPort].has_value();
}

bool PortMap::ParseAssignment(std::string_view text) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 >= text.size()) return false;
    int n = 0;
    const auto num = text.substr(0, eq);
    auto [p, ec] = std::from_chars(num.data(), num.data() + num.size(), n);
    if (ec != std::errc() || p != num.data() + num.size() || n < 1 || n > kPorts) return false;
    Set(n, std::string(text.substr(eq + 1)));
    return true;
}
