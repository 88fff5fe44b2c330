// The properties the simulator offers for its items (IOPCItemProperties): the standard ones 1 to 6
// (canonical type, value, quality, timestamp, access rights, scan rate), 100 (units) and 101
// (description) for every item, and 102 and 103 (high and low end of the engineering range) for
// numeric items (not Boolean, not String).
//
// Error rule: SimPropertyValue returns S_OK or OPC_E_INVALID_PID. Thread rule: pure functions, any
// thread. Ownership: values are written into the caller's VARIANT (the caller clears it).
#pragma once

#include <vector>

#include "sim/sim_item_catalog.h"

struct SimPropertyInfo {
  DWORD id;
  const WideChar* description;
  VARTYPE type;
};

// The item's properties in id order.
std::vector<SimPropertyInfo> SimPropertyList(const SimItemInfo& info);

// What the item's state is now: the inputs of properties 2 to 4.
struct SimCurrentValue {
  const VARIANT* value;
  WORD quality;
  FILETIME timestamp;
};

// Property id of the item into *out: S_OK, or OPC_E_INVALID_PID (out left VT_EMPTY) when the item
// has no such property.
HRESULT SimPropertyValue(const SimItemInfo& info, DWORD id, const SimCurrentValue& current,
                         VARIANT* out);
