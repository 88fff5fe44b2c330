#include "opc/opcda.h"

namespace {
constexpr IID OpcIid(std::uint32_t first) {
  return {first, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
}
constexpr IID ConnectionIid(std::uint32_t first) {
  return {first, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}
}  // namespace

const IID IID_IOPCServer = OpcIid(0x39C13A4D);
const IID IID_IOPCGroupStateMgt = OpcIid(0x39C13A50);
const IID IID_IOPCSyncIO = OpcIid(0x39C13A52);
const IID IID_IOPCItemMgt = OpcIid(0x39C13A54);
const IID IID_IOPCDataCallback = OpcIid(0x39C13A70);
const IID IID_IOPCAsyncIO2 = OpcIid(0x39C13A71);
const IID IID_IOPCBrowseServerAddressSpace = OpcIid(0x39C13A4F);
const IID IID_IOPCItemProperties = OpcIid(0x39C13A72);
const IID IID_IEnumString = {
    0x00000101, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IConnectionPointContainer = ConnectionIid(0xB196B284);
const IID IID_IEnumConnectionPoints = ConnectionIid(0xB196B285);
const IID IID_IConnectionPoint = ConnectionIid(0xB196B286);
const IID IID_IEnumConnections = ConnectionIid(0xB196B287);
