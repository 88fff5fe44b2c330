// The COM subset's own declarations for a platform without COM: base types, HRESULTs, IUnknown,
// BSTR, VARIANT, the task allocator, activation and the class registry. Same names, values and
// calling rules as the Windows originals. Included through platform/com/com.h only.
//
// Error rule: every function returns an HRESULT (or a documented plain value); nothing throws.
// Thread rule: CoInitialize/CoUninitialize count per thread. Ownership: as in COM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/wide_string.h"

// --- Base types -------------------------------------------------------------------------------
using BYTE = std::uint8_t;
using CHAR = char;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;
using SCODE = std::int32_t;
using HRESULT = std::int32_t;
using LCID = std::uint32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using WCHAR = WideChar;
using OLECHAR = WideChar;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
  return a == b;
}

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// --- HRESULTs -----------------------------------------------------------------------------------
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT RPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
constexpr HRESULT RPC_E_CALL_CANCELED = static_cast<HRESULT>(0x80010002u);
constexpr HRESULT RPC_E_CALL_COMPLETE = static_cast<HRESULT>(0x80010117u);
constexpr HRESULT CO_E_CANCEL_DISABLED = static_cast<HRESULT>(0x80010140u);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200u);
constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201u);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202u);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

// --- IUnknown and the class factory -------------------------------------------------------------
extern const IID IID_IUnknown;       // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IClassFactory;  // {00000001-0000-0000-C000-000000000046}

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

protected:
  ~IClassFactory() = default;
};

// --- VARIANT and BSTR ---------------------------------------------------------------------------
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct CY {
  LONGLONG int64;
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    void* byref;
  };
};
using VARIANTARG = VARIANT;

// BSTR: length-prefixed UTF-16 text, NUL-terminated; null is the empty BSTR.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// Flags of VariantChangeType.
constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
constexpr USHORT VARIANT_ALPHABOOL = 0x2;  // VT_BOOL to text gives "True"/"False", not "-1"/"0"

void VariantInit(VARIANT* v);
// Frees what the variant owns (BSTR, interface reference) and sets it to VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// Deep copy: the destination is cleared first.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts among the scalar types VT_EMPTY, VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4,
// VT_UI8, VT_BOOL, VT_R4, VT_R8, VT_CY, VT_DATE and VT_BSTR. Text becomes a number as decimal
// (integers and VT_CY exactly, ties to even), a VT_DATE from "YYYY-MM-DD", "YYYY-MM-DD hh:mm" or
// "YYYY-MM-DD hh:mm:ss"; a VT_DATE does not become text (that needs regional settings). Out of
// range: DISP_E_OVERFLOW; not convertible: DISP_E_TYPEMISMATCH; unknown type: DISP_E_BADVARTYPE.
// dest may equal src.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// --- Task allocator -----------------------------------------------------------------------------
void* CoTaskMemAlloc(std::size_t size);
void* CoTaskMemRealloc(void* block, std::size_t size);
void CoTaskMemFree(void* block);

// --- Library and activation ---------------------------------------------------------------------
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_ALL = 0x17;

// S_OK for the first call on a thread, S_FALSE for each further one; the thread gets an apartment.
HRESULT CoInitialize(void* reserved);
// Undoes one CoInitialize; the last one ends the thread's COM apartment (see ComApartmentRef).
void CoUninitialize();
// CO_E_CLASSSTRING when the ProgID is empty or not registered.
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
// CO_E_NOTINITIALIZED on a thread without CoInitialize, REGDB_E_CLASSNOTREG for an unknown CLSID,
// CLASS_E_NOAGGREGATION for an outer object; otherwise the factory's result.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

// The class registry stands in for the system's: a server registers its ProgID, CLSID and factory.
// The factory creates one object and returns it through ppv with one reference for riid.
using ComClassFactoryFn = std::function<HRESULT(REFIID riid, void** ppv)>;
// --- Call cancellation
// ---------------------------------------------------------------------------- A thread's pending
// call into a server can be cancelled from another thread while the thread has cancellation enabled
// (counted, paired). The cancelled call returns RPC_E_CALL_CANCELED at once, as a proxy does; the
// server may still finish its work. Thread ids: ComCurrentThreadId().
HRESULT CoEnableCallCancellation(void* reserved);
HRESULT CoDisableCallCancellation(void* reserved);
// S_OK when the thread's pending call was marked cancelled; CO_E_CANCEL_DISABLED when the thread
// has not enabled cancellation; RPC_E_CALL_COMPLETE when it has no pending call.
HRESULT CoCancelCall(DWORD threadId, ULONG timeout);

void CoRegisterProgId(const WideString& progId, REFCLSID clsid, ComClassFactoryFn factory);
void CoUnregisterProgId(const WideString& progId);
