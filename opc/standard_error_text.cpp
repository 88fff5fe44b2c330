#include "opc/standard_error_text.h"

#include "platform/string_format.h"

namespace {

struct ErrorText {
  HRESULT code;
  const char* text;
};

// The error codes that OPC DA 2.0 servers return, and the COM and RPC codes an OPC
// client meets. Literal values where a name is not declared on every build.
constexpr ErrorText kTexts[] = {
    {E_NOTIMPL, "The operation is not implemented."},
    {E_NOINTERFACE, "The requested interface is not supported."},
    {E_POINTER, "A required pointer is null."},
    {E_ABORT, "The operation was aborted."},
    {E_FAIL, "The operation failed."},
    {E_UNEXPECTED, "An unexpected failure occurred."},
    {E_OUTOFMEMORY, "There is not enough memory to complete the operation."},
    {E_INVALIDARG, "An argument is not valid."},
    {E_HANDLE, "The handle is not valid."},
    {static_cast<HRESULT>(0x80070005), "Access is denied."},
    {CO_E_NOTINITIALIZED, "COM has not been initialized on the calling thread."},
    {CO_E_CLASSSTRING, "The ProgID is empty or not registered."},
    {CO_E_SERVER_EXEC_FAILURE, "The server could not be started."},
    {REGDB_E_CLASSNOTREG, "The class is not registered."},
    {CLASS_E_NOAGGREGATION, "The class cannot be created as part of an aggregate."},
    {RPC_E_CHANGED_MODE, "COM was initialized on this thread with another concurrency model."},
    {RPC_E_DISCONNECTED, "The object is no longer connected to the server."},
    {RPC_E_CALL_CANCELED, "The call was cancelled."},
    {static_cast<HRESULT>(0x80010105), "The server threw an exception."},
    {static_cast<HRESULT>(0x800706BA), "The RPC server is unavailable."},
    {static_cast<HRESULT>(0x800706BE), "The remote procedure call failed."},
    {static_cast<HRESULT>(0x800706BF), "The remote procedure call failed and did not execute."},
    {CONNECT_E_NOCONNECTION, "No callback is connected."},
    {CONNECT_E_ADVISELIMIT, "A callback is already connected to this object."},
    {CONNECT_E_CANNOTCONNECT, "The sink does not support the callback interface."},
    {DISP_E_TYPEMISMATCH, "The value cannot be converted to the requested type."},
    {DISP_E_OVERFLOW, "The value does not fit in the requested type."},
    {DISP_E_BADVARTYPE, "The value type is not valid."},
    {OPC_E_INVALIDHANDLE, "The handle does not refer to an object of the server."},
    {OPC_E_BADTYPE,
     "The item's value cannot be converted between the requested and the canonical type."},
    {OPC_E_PUBLIC, "The operation is not allowed on a public group."},
    {OPC_E_BADRIGHTS, "The item's access rights do not allow this operation."},
    {OPC_E_UNKNOWNITEMID, "The item ID is not defined in the server."},
    {OPC_E_INVALIDITEMID, "The item ID does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, "The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, "The access path is not known to the server."},
    {OPC_E_RANGE, "The value is out of range for the item."},
    {OPC_E_DUPLICATENAME, "A group of this name already exists."},
    {OPC_S_UNSUPPORTEDRATE,
     "The requested update rate is not supported; the revised rate is in use."},
    {OPC_S_CLAMP, "The value was accepted but clamped to the item's limits."},
    {OPC_S_INUSE, "The group is still in use and is removed when its last reference is released."},
    {OPC_E_INVALIDCONFIGFILE, "The server's configuration file is not valid."},
    {OPC_E_NOTFOUND, "The requested object was not found."},
    {OPC_E_INVALID_PID, "The property ID is not valid for the item."},
};

}  // namespace

const char* StandardErrorText(HRESULT code) {
  for (const ErrorText& entry : kTexts)
    if (entry.code == code) return entry.text;
  return nullptr;
}

std::string ErrorTextOrStandard(const std::string& serverText, HRESULT code) {
  if (!serverText.empty()) return serverText;
  if (const char* text = StandardErrorText(code)) return text;
  return StringPrintf("%x", static_cast<unsigned>(code));
}
