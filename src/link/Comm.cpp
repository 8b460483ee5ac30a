#include "link/Comm.h"

CComm::CComm() = default;
CComm::~CComm() = default;
int CComm::InitOverlapped() { return 1; }
int CComm::Open(std::uint16_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t) { return 0; }
int CComm::Configure(std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t) { return 0; }
int CComm::Close() { return 1; }
std::uint32_t CComm::Read(std::uint8_t*, std::uint32_t) { return 0; }
int CComm::Write(const std::uint8_t*, std::uint32_t) { return 0; }
int CComm::LiveReaders() { return 0; }
void CComm::CommReaderThread(std::stop_token) {}
void CComm::StopReader() {}
