#include "sim/sim_error_text.h"

#include "sim/sim_group_state.h"

namespace {
struct ErrorText {
  HRESULT code;
  const WideChar* text;
};

constexpr ErrorText kTexts[] = {
    {S_OK, OLESTR("The operation succeeded.")},
    {S_FALSE, OLESTR("The operation completed, but not for every item.")},
    {E_NOTIMPL, OLESTR("The operation is not implemented.")},
    {E_NOINTERFACE, OLESTR("The requested interface is not supported.")},
    {E_POINTER, OLESTR("A required pointer is null.")},
    {E_ABORT, OLESTR("The operation was aborted.")},
    {E_FAIL, OLESTR("The operation failed.")},
    {E_UNEXPECTED, OLESTR("An unexpected failure occurred.")},
    {E_OUTOFMEMORY, OLESTR("There is not enough memory to complete the operation.")},
    {E_INVALIDARG, OLESTR("An argument is not valid.")},
    {E_HANDLE, OLESTR("The handle is not valid.")},
    {CO_E_NOTINITIALIZED, OLESTR("COM has not been initialized on the calling thread.")},
    {CO_E_CLASSSTRING, OLESTR("The ProgID is empty or not registered.")},
    {CO_E_SERVER_EXEC_FAILURE, OLESTR("The server could not be started.")},
    {REGDB_E_CLASSNOTREG, OLESTR("The class is not registered.")},
    {CLASS_E_NOAGGREGATION, OLESTR("The class cannot be created as part of an aggregate.")},
    {RPC_E_CHANGED_MODE,
     OLESTR("COM was initialized on this thread with another concurrency model.")},
    {RPC_E_DISCONNECTED, OLESTR("The object is no longer connected to the server.")},
    {kSimCrashedCode, OLESTR("The server process is not available.")},
    {CONNECT_E_NOCONNECTION, OLESTR("No callback is connected.")},
    {CONNECT_E_ADVISELIMIT, OLESTR("A callback is already connected to this object.")},
    {CONNECT_E_CANNOTCONNECT, OLESTR("The sink does not support the callback interface.")},
    {DISP_E_TYPEMISMATCH, OLESTR("The value cannot be converted to the requested type.")},
    {DISP_E_OVERFLOW, OLESTR("The value does not fit in the requested type.")},
    {DISP_E_BADVARTYPE, OLESTR("The value type is not valid.")},
    {OPC_E_INVALIDHANDLE, OLESTR("The handle does not refer to an object of the server.")},
    {OPC_E_BADTYPE,
     OLESTR("The item's value cannot be converted between the requested and the canonical type.")},
    {OPC_E_PUBLIC, OLESTR("The operation is not allowed on a public group.")},
    {OPC_E_BADRIGHTS, OLESTR("The item's access rights do not allow this operation.")},
    {OPC_E_UNKNOWNITEMID, OLESTR("The item ID is not defined in the server.")},
    {OPC_E_INVALIDITEMID, OLESTR("The item ID does not conform to the server's syntax.")},
    {OPC_E_INVALIDFILTER, OLESTR("The filter string is not valid.")},
    {OPC_E_UNKNOWNPATH, OLESTR("The access path is not known to the server.")},
    {OPC_E_RANGE, OLESTR("The value is out of range for the item.")},
    {OPC_E_DUPLICATENAME, OLESTR("A group of this name already exists.")},
    {OPC_S_UNSUPPORTEDRATE,
     OLESTR("The requested update rate is not supported; the revised rate is in use.")},
    {OPC_S_CLAMP, OLESTR("The value was accepted but clamped to the item's limits.")},
    {OPC_S_INUSE,
     OLESTR("The group is still in use and is removed when its last reference is released.")},
    {OPC_E_INVALIDCONFIGFILE, OLESTR("The server's configuration file is not valid.")},
    {OPC_E_NOTFOUND, OLESTR("The requested object was not found.")},
    {OPC_E_INVALID_PID, OLESTR("The property ID is not valid for the item.")},
};
}  // namespace

const WideChar* SimErrorText(HRESULT code) {
  for (const auto& entry : kTexts)
    if (entry.code == code) return entry.text;
  return nullptr;
}
