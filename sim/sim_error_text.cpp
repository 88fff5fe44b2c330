#include "sim/sim_error_text.h"

namespace {
struct ErrorText {
  HRESULT code;
  const char16_t* text;
};

constexpr ErrorText kTexts[] = {
    {S_OK, u"The operation succeeded."},
    {S_FALSE, u"The operation completed, but not for every item."},
    {E_NOTIMPL, u"The operation is not implemented."},
    {E_NOINTERFACE, u"The requested interface is not supported."},
    {E_POINTER, u"A required pointer is null."},
    {E_ABORT, u"The operation was aborted."},
    {E_FAIL, u"The operation failed."},
    {E_UNEXPECTED, u"An unexpected failure occurred."},
    {E_OUTOFMEMORY, u"There is not enough memory to complete the operation."},
    {E_INVALIDARG, u"An argument is not valid."},
    {E_HANDLE, u"The handle is not valid."},
    {CO_E_NOTINITIALIZED, u"COM has not been initialized on the calling thread."},
    {CO_E_CLASSSTRING, u"The ProgID is empty or not registered."},
    {CO_E_SERVER_EXEC_FAILURE, u"The server could not be started."},
    {REGDB_E_CLASSNOTREG, u"The class is not registered."},
    {CLASS_E_NOAGGREGATION, u"The class cannot be created as part of an aggregate."},
    {RPC_E_CHANGED_MODE, u"COM was initialized on this thread with another concurrency model."},
    {RPC_E_DISCONNECTED, u"The object is no longer connected to the server."},
    {CONNECT_E_NOCONNECTION, u"No callback is connected."},
    {CONNECT_E_ADVISELIMIT, u"A callback is already connected to this object."},
    {CONNECT_E_CANNOTCONNECT, u"The sink does not support the callback interface."},
    {DISP_E_TYPEMISMATCH, u"The value cannot be converted to the requested type."},
    {DISP_E_OVERFLOW, u"The value does not fit in the requested type."},
    {DISP_E_BADVARTYPE, u"The value type is not valid."},
    {OPC_E_INVALIDHANDLE, u"The handle does not refer to an object of the server."},
    {OPC_E_BADTYPE,
     u"The item's value cannot be converted between the requested and the canonical type."},
    {OPC_E_PUBLIC, u"The operation is not allowed on a public group."},
    {OPC_E_BADRIGHTS, u"The item's access rights do not allow this operation."},
    {OPC_E_UNKNOWNITEMID, u"The item ID is not defined in the server."},
    {OPC_E_INVALIDITEMID, u"The item ID does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, u"The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, u"The access path is not known to the server."},
    {OPC_E_RANGE, u"The value is out of range for the item."},
    {OPC_E_DUPLICATENAME, u"A group of this name already exists."},
    {OPC_S_UNSUPPORTEDRATE,
     u"The requested update rate is not supported; the revised rate is in use."},
    {OPC_S_CLAMP, u"The value was accepted but clamped to the item's limits."},
    {OPC_S_INUSE, u"The group is still in use and is removed when its last reference is released."},
    {OPC_E_INVALIDCONFIGFILE, u"The server's configuration file is not valid."},
    {OPC_E_NOTFOUND, u"The requested object was not found."},
    {OPC_E_INVALID_PID, u"The property ID is not valid for the item."},
};
}  // namespace

const char16_t* SimErrorText(HRESULT code) {
  for (const auto& entry : kTexts)
    if (entry.code == code) return entry.text;
  return nullptr;
}
