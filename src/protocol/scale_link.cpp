#include "protocol/scale_link.h"

#include <algorithm>
#include <exception>
#include <span>

#include "platform/dialogs.h"
#include "protocol/pbus_links.h"

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

LinkOpenResult OpenLink(std::unique_ptr<PBusTransport> link, std::uint8_t baudIndex) {
  if (!Usable()) return {};
  try {
    ScaleComm->SetBaudRate(static_cast<TBaudRate>(baudIndex));
    ScaleComm->Open(std::move(link));
    return {ScaleComm->Connect(pbus::kAccessCode) ? 0 : -1, {}};
  } catch (const std::exception& e) {
    return {-3, e.what()};
  }
}

LinkOpenResult OpenSerialLink(const std::string& devicePath, std::uint8_t baudIndex) {
  return OpenLink(MakeSerialLink(devicePath), baudIndex);
}

LinkOpenResult OpenUdpLink(const std::string& host, const UdpLinkOptions& options) {
  return OpenLink(MakeUdpLink(host, LinkUdpPort(), options.anySender), 0);
}

int LinkOpenSerial(const std::string& devicePath, std::uint8_t baudIndex) {
  return OpenSerialLink(devicePath, baudIndex).code;
}
int LinkOpenUdp(const std::string& host) { return OpenUdpLink(host).code; }

int LinkWriteBlock(std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh, const std::uint8_t* data,
                   int length) {
  if (!Usable()) return -1;
  const auto n = static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(pbus::kBlockSize)));
  const auto arg = static_cast<std::uint16_t>(addrHigh * 256 + addrLow);
  return ScaleComm->WriteBlock(command, arg, std::span<const std::uint8_t>(data, data ? n : 0)) ? 0 : -1;
}

int CloseLink() {
  if (!Usable()) return -1;
  int result = -1;
  if (ScaleComm->ReadBlock(pbus::kCmdSession, pbus::kArgRead)) {
    ScaleComm->Disconnect(pbus::kAccessCode);
    result = 0;
  }
  ScaleComm->Close();
  return result;
}

int LinkCloseSerial() { return CloseLink(); }
int LinkCloseUdp(const std::string& /*host*/) { return CloseLink(); }

}  // namespace facset
