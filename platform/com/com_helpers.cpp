// The helpers this project adds to COM on every platform: the text form of GUIDs and the list
// of scalar types that VariantChangeType converts among.
#include <cstdio>

#include "platform/com/com.h"

std::string GuidToString(REFGUID guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool VariantTypeIsConvertible(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_BOOL:
    case VT_R4:
    case VT_R8:
    case VT_BSTR:
      return true;
    default:
      return false;
  }
}
