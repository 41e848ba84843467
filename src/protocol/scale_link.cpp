#include "protocol/scale_link.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/dialogs.h"
#include "protocol/pbus_commands.h"

namespace facset {

TPBusComm* ScaleComm = nullptr;

namespace {
int g_udpPortOverride = 0;

// A link call made while another request waits must not disturb it.
bool Usable() { return ScaleComm && !ScaleComm->Busy(); }
}  // namespace

void CreateScaleComm() {
  if (ScaleComm) return;
  ScaleComm = new TPBusComm();
  ScaleComm->OnSendException = [] { AppDialogs().ShowMessage("Send exception", "", MsgIcon::Information); };
}

void DestroyScaleComm() {
  TPBusComm* e = ScaleComm;
  if (!e) return;
  ScaleComm = nullptr;
  e->Abort();
  if (!e->Busy()) delete e;
}

int LinkUdpPort() { return g_udpPortOverride > 0 ? g_udpPortOverride : kScaleUdpPort; }
void OverrideLinkUdpPort(int port) { g_udpPortOverride = port > 0 ? port : 0; }

LinkOpenResult OpenSerialLink(const std::string& devicePath, std::uint8_t baudIndex) {
  if (!Usable()) return {};
  try {
    ScaleComm->SetMode(TMode::tmCOM);
    ScaleComm->SetBaudRate(static_cast<TBaudRate>(baudIndex));
    ScaleComm->SetCommName(devicePath);
    ScaleComm->SetActive(true, "", 0);
    return {ScaleComm->Connect(kAccessCode) ? 0 : -1, {}};
  } catch (const std::exception& e) {
    return {-3, e.what()};
  }
}

LinkOpenResult OpenUdpLink(const std::string& host) {
  if (!Usable()) return {};
  try {
    const int port = LinkUdpPort();
    ScaleComm->SetMode(TMode::tmTCPIP);
    ScaleComm->SetHost(host);
    ScaleComm->SetPort(port);
    ScaleComm->SetActive(true, host, port);
    return {ScaleComm->Connect(kAccessCode) ? 0 : -1, {}};
  } catch (const std::exception& e) {
    return {-3, e.what()};
  }
}

int LinkOpenSerial(const std::string& devicePath, std::uint8_t baudIndex) {
  return OpenSerialLink(devicePath, baudIndex).code;
}
int LinkOpenUdp(const std::string& host) { return OpenUdpLink(host).code; }

int LinkWriteBlock(std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh, const std::uint8_t* data,
                   int length) {
  if (!Usable()) return -1;
  auto& block = ScaleComm->BlockData;
  std::fill_n(block.begin(), kPayloadSize, 0);
  const int n = std::clamp(length, 0, static_cast<int>(kPayloadSize));
  if (data && n > 0) std::memcpy(block.data(), data, static_cast<std::size_t>(n));
  const auto arg = static_cast<std::uint16_t>(addrHigh * 256 + addrLow);
  return ScaleComm->WriteBlock(command, arg) ? 0 : -1;
}

namespace {
int CloseLink(TMode mode, const std::string& host, int port) {
  if (!Usable()) return -1;
  ScaleComm->BlockData.fill(0);
  int result = -1;
  if (ScaleComm->ReadBlock(pbus::kCmdSession, pbus::kArgRead)) {
    ScaleComm->Disconnect(kAccessCode);
    result = 0;
  }
  ScaleComm->SetMode(mode);
  ScaleComm->SetActive(false, host, port);
  return result;
}
}  // namespace

int LinkCloseSerial() { return CloseLink(TMode::tmCOM, "", 0); }
int LinkCloseUdp(const std::string& host) { return CloseLink(TMode::tmTCPIP, host, LinkUdpPort()); }

}  // namespace facset
