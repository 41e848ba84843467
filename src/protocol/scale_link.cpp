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
bool Usable(const TPBusComm& engine) { return !engine.Busy(); }
bool Usable() { return ScaleComm && Usable(*ScaleComm); }
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

LinkOpenResult OpenSerialLink(TPBusComm& engine, const std::string& devicePath, std::uint8_t baudIndex) {
  if (!Usable(engine)) return {};
  try {
    engine.SetMode(TMode::tmCOM);
    engine.SetBaudRate(static_cast<TBaudRate>(baudIndex));
    engine.SetCommName(devicePath);
    engine.SetActive(true, "", 0);
    return {engine.Connect(kAccessCode) ? 0 : -1, {}};
  } catch (const std::exception& e) {
    return {-3, e.what()};
  }
}

LinkOpenResult OpenUdpLink(TPBusComm& engine, const std::string& host, int port) {
  if (!Usable(engine)) return {};
  try {
    engine.SetMode(TMode::tmTCPIP);
    engine.SetHost(host);
    engine.SetPort(port);
    engine.SetActive(true, host, port);
    return {engine.Connect(kAccessCode) ? 0 : -1, {}};
  } catch (const std::exception& e) {
    return {-3, e.what()};
  }
}

LinkOpenResult OpenSerialLink(const std::string& devicePath, std::uint8_t baudIndex) {
  if (!Usable()) return {};
  return OpenSerialLink(*ScaleComm, devicePath, baudIndex);
}

LinkOpenResult OpenUdpLink(const std::string& host) {
  if (!Usable()) return {};
  return OpenUdpLink(*ScaleComm, host, LinkUdpPort());
}

int LinkOpenSerial(const std::string& devicePath, std::uint8_t baudIndex) {
  return OpenSerialLink(devicePath, baudIndex).code;
}
int LinkOpenUdp(const std::string& host) { return OpenUdpLink(host).code; }

int LinkWriteBlock(TPBusComm& engine, std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh,
                   const std::uint8_t* data, int length) {
  if (!Usable(engine)) return -1;
  auto& block = engine.BlockData;
  std::fill_n(block.begin(), kPayloadSize, 0);
  const int n = std::clamp(length, 0, static_cast<int>(kPayloadSize));
  if (data && n > 0) std::memcpy(block.data(), data, static_cast<std::size_t>(n));
  const auto arg = static_cast<std::uint16_t>(addrHigh * 256 + addrLow);
  return engine.WriteBlock(command, arg) ? 0 : -1;
}

int LinkWriteBlock(std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh, const std::uint8_t* data,
                   int length) {
  if (!Usable()) return -1;
  return LinkWriteBlock(*ScaleComm, command, addrLow, addrHigh, data, length);
}

namespace {
int CloseLink(TPBusComm& engine, TMode mode, const std::string& host, int port) {
  if (!Usable(engine)) return -1;
  engine.BlockData.fill(0);
  int result = -1;
  if (engine.ReadBlock(pbus::kCmdSession, pbus::kArgRead)) {
    engine.Disconnect(kAccessCode);
    result = 0;
  }
  engine.SetMode(mode);
  engine.SetActive(false, host, port);
  return result;
}
}  // namespace

int LinkCloseSerial(TPBusComm& engine) { return CloseLink(engine, TMode::tmCOM, "", 0); }
int LinkCloseUdp(TPBusComm& engine, const std::string& host, int port) {
  return CloseLink(engine, TMode::tmTCPIP, host, port);
}

void LinkRelease(TPBusComm& engine, bool serial) {
  if (!serial || engine.Busy()) return;
  engine.SetMode(TMode::tmCOM);
  engine.SetActive(false, "", 0);
}

int LinkCloseSerial() { return Usable() ? LinkCloseSerial(*ScaleComm) : -1; }
int LinkCloseUdp(const std::string& host) { return Usable() ? LinkCloseUdp(*ScaleComm, host, LinkUdpPort()) : -1; }

}  // namespace facset
