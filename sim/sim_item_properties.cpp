#include "sim/sim_item_properties.h"

namespace {

constexpr double kScanRateMs = 100.0;  // the worker's tick
// FILETIME of 1899-12-30, the day 0 of a DATE, in 100 ns units; and a day in those units.
constexpr double kDateEpochTicks = 94353120000000000.0;
constexpr double kTicksPerDay = 864000000000.0;

bool IsNumeric(SimType type) {
  return type != SimType::kBoolean && type != SimType::kString && type != SimType::kDate;
}

const WideChar* ControlDescription(SimControl control) {
  switch (control) {
    case SimControl::kRestart:
      return OLESTR("Write N (1 to 600) to crash the server for N seconds");
    case SimControl::kHang:
      return OLESTR("Write N (1 to 600) to make the server stop answering for N seconds");
    case SimControl::kDelay:
      return OLESTR("Write N (0 to 600000) to slow every call by N milliseconds; 0 ends it");
    case SimControl::kInstance:
      return OLESTR("Which simulated server answers: 1 or 2");
    case SimControl::kInstance1Only:
      return OLESTR("Known only to the first simulated server; reads 0");
    case SimControl::kNone:
      break;
  }
  return OLESTR("");
}

const WideChar* Description(const SimItemInfo& info) {
  switch (info.family) {
    case SimFamily::kStatic:
      return OLESTR("Fixed value");
    case SimFamily::kRamp:
      return OLESTR("Count of 100 ms ticks since the server started");
    case SimFamily::kRandom:
      return OLESTR("Pseudo-random value, new every 100 ms");
    case SimFamily::kMemory:
      return OLESTR("Keeps the value last written");
    case SimFamily::kBad:
      return OLESTR("Always of bad quality");
    case SimFamily::kUncertain:
      return OLESTR("Always of uncertain quality");
    case SimFamily::kControl:
      return ControlDescription(info.control);
    case SimFamily::kMany:
      return OLESTR("One of many items, for paging; reads its number");
  }
  return OLESTR("");
}

const WideChar* Units(const SimItemInfo& info) {
  if (info.family == SimFamily::kRamp) return OLESTR("ticks");
  if (info.control == SimControl::kRestart || info.control == SimControl::kHang) return OLESTR("s");
  if (info.control == SimControl::kDelay) return OLESTR("ms");
  if (info.family == SimFamily::kRandom &&
      (info.type == SimType::kReal4 || info.type == SimType::kReal8))
    return OLESTR("%");
  return OLESTR("");
}

// The engineering range: the type's range, 0 to 100 for reals.
void Range(SimType type, double* low, double* high) {
  *low = 0.0;
  *high = 100.0;
  switch (type) {
    case SimType::kInt1:
      *low = -128.0, *high = 127.0;
      break;
    case SimType::kInt2:
      *low = -32768.0, *high = 32767.0;
      break;
    case SimType::kInt4:
      *low = -2147483648.0, *high = 2147483647.0;
      break;
    case SimType::kUInt1:
      *high = 255.0;
      break;
    case SimType::kUInt2:
      *high = 65535.0;
      break;
    case SimType::kUInt4:
      *high = 4294967295.0;
      break;
    case SimType::kInt8:
      *low = -9223372036854775808.0, *high = 9223372036854775807.0;
      break;
    case SimType::kUInt8:
      *high = 18446744073709551615.0;
      break;
    default:
      break;
  }
}

void SetText(VARIANT* out, const WideChar* text) {
  out->vt = VT_BSTR;
  out->bstrVal = SysAllocString(text);
}

}  // namespace

std::vector<SimPropertyInfo> SimPropertyList(const SimItemInfo& info) {
  std::vector<SimPropertyInfo> list = {
      {OPC_PROPERTY_DATATYPE, OLESTR("Item Canonical DataType"), VT_I2},
      {OPC_PROPERTY_VALUE, OLESTR("Item Value"), VT_VARIANT},
      {OPC_PROPERTY_QUALITY, OLESTR("Item Quality"), VT_I2},
      {OPC_PROPERTY_TIMESTAMP, OLESTR("Item Timestamp"), VT_DATE},
      {OPC_PROPERTY_ACCESS_RIGHTS, OLESTR("Item Access Rights"), VT_I4},
      {OPC_PROPERTY_SCAN_RATE, OLESTR("Server Scan Rate"), VT_R4},
      {OPC_PROPERTY_EU_UNITS, OLESTR("EU Units"), VT_BSTR},
      {OPC_PROPERTY_DESCRIPTION, OLESTR("Item Description"), VT_BSTR},
  };
  if (IsNumeric(info.type)) {
    list.push_back({OPC_PROPERTY_HIGH_EU, OLESTR("High EU"), VT_R8});
    list.push_back({OPC_PROPERTY_LOW_EU, OLESTR("Low EU"), VT_R8});
  }
  return list;
}

HRESULT SimPropertyValue(const SimItemInfo& info, DWORD id, const SimCurrentValue& current,
                         VARIANT* out) {
  VariantInit(out);
  double low = 0.0;
  double high = 0.0;
  switch (id) {
    case OPC_PROPERTY_DATATYPE:
      out->vt = VT_I2, out->iVal = static_cast<SHORT>(info.canonicalType);
      return S_OK;
    case OPC_PROPERTY_VALUE:
      return VariantCopy(out, current.value);
    case OPC_PROPERTY_QUALITY:
      out->vt = VT_I2, out->iVal = static_cast<SHORT>(current.quality);
      return S_OK;
    case OPC_PROPERTY_TIMESTAMP: {
      const auto ticks = (static_cast<std::uint64_t>(current.timestamp.dwHighDateTime) << 32) |
                         current.timestamp.dwLowDateTime;
      out->vt = VT_DATE;
      out->date = (static_cast<double>(ticks) - kDateEpochTicks) / kTicksPerDay;
      return S_OK;
    }
    case OPC_PROPERTY_ACCESS_RIGHTS:
      out->vt = VT_I4, out->lVal = static_cast<LONG>(info.accessRights);
      return S_OK;
    case OPC_PROPERTY_SCAN_RATE:
      out->vt = VT_R4, out->fltVal = static_cast<FLOAT>(kScanRateMs);
      return S_OK;
    case OPC_PROPERTY_EU_UNITS:
      SetText(out, Units(info));
      return S_OK;
    case OPC_PROPERTY_DESCRIPTION:
      SetText(out, Description(info));
      return S_OK;
    case OPC_PROPERTY_HIGH_EU:
    case OPC_PROPERTY_LOW_EU:
      if (!IsNumeric(info.type)) return OPC_E_INVALID_PID;
      Range(info.type, &low, &high);
      out->vt = VT_R8, out->dblVal = id == OPC_PROPERTY_HIGH_EU ? high : low;
      return S_OK;
    default:
      return OPC_E_INVALID_PID;
  }
}
