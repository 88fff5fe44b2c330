// The OPC Data Access 2.0 custom interfaces, structures, IIDs and error codes, and the COM
// connection-point interfaces they use, as published: the same interface names, method order,
// argument lists, structures and values on every platform, so that the gateway and the simulator
// compile unchanged on the real COM and on the COM subset.
//
// On Windows the interfaces, structures, enumerations and IIDs come from opcda_idl.h, which widl
// generates from our IDL (opc/opcda.idl) into the build tree, and the connection-point interfaces
// from the system headers. Elsewhere they are our own declarations below, written from the same
// published definitions. The error codes, quality bits and access rights are shared.
//
// Error rule: every method returns an HRESULT; arrays returned through out-pointers come from
// CoTaskMemAlloc and are freed by the caller with CoTaskMemFree.
// Thread rule: the gateway calls these on its UI thread only; callbacks reach that thread through
// its apartment.
#pragma once

#include "platform/com/com.h"

// --- Access rights and quality ------------------------------------------------------------------
constexpr DWORD OPC_READABLE = 0x1;
constexpr DWORD OPC_WRITEABLE = 0x2;

// Quality word: quality (bits 6-7), substatus (bits 2-5), limit (bits 0-1).
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;

// --- Error codes ---------------------------------------------------------------------------------
constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001u);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004u);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005u);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006u);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007u);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008u);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009u);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000Au);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000Bu);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000Cu);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000Du);
constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000Eu);
constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000Fu);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010u);
constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011u);
constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203u);

// --- Item property ids (IOPCItemProperties) -----------------------------------------------------
constexpr DWORD OPC_PROPERTY_DATATYPE = 1;
constexpr DWORD OPC_PROPERTY_VALUE = 2;
constexpr DWORD OPC_PROPERTY_QUALITY = 3;
constexpr DWORD OPC_PROPERTY_TIMESTAMP = 4;
constexpr DWORD OPC_PROPERTY_ACCESS_RIGHTS = 5;
constexpr DWORD OPC_PROPERTY_SCAN_RATE = 6;
constexpr DWORD OPC_PROPERTY_EU_UNITS = 100;
constexpr DWORD OPC_PROPERTY_DESCRIPTION = 101;
constexpr DWORD OPC_PROPERTY_HIGH_EU = 102;
constexpr DWORD OPC_PROPERTY_LOW_EU = 103;

// --- Interfaces, structures, enumerations and IIDs ----------------------------------------------
#if defined(_WIN32)
#include "opcda_idl.h"
#else

// --- Handles and enumerations -------------------------------------------------------------------
using OPCHANDLE = DWORD;

enum OPCDATASOURCE : DWORD { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };

enum OPCENUMSCOPE : DWORD {
  OPC_ENUM_PRIVATE_CONNECTIONS = 1,
  OPC_ENUM_PUBLIC_CONNECTIONS = 2,
  OPC_ENUM_ALL_CONNECTIONS = 3,
  OPC_ENUM_PRIVATE = 4,
  OPC_ENUM_PUBLIC = 5,
  OPC_ENUM_ALL = 6,
};

enum OPCBROWSETYPE : DWORD { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };

enum OPCNAMESPACETYPE : DWORD { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };

enum OPCBROWSEDIRECTION : DWORD { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };

enum OPCSERVERSTATE : DWORD {
  OPC_STATUS_RUNNING = 1,
  OPC_STATUS_FAILED = 2,
  OPC_STATUS_NOCONFIG = 3,
  OPC_STATUS_SUSPENDED = 4,
  OPC_STATUS_TEST = 5,
};

// --- Structures ---------------------------------------------------------------------------------
struct OPCITEMDEF {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  WORD wReserved;
};

struct OPCITEMRESULT {
  OPCHANDLE hServer;
  VARTYPE vtCanonicalDataType;
  WORD wReserved;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
};

struct OPCITEMSTATE {
  OPCHANDLE hClient;
  FILETIME ftTimeStamp;
  WORD wQuality;
  WORD wReserved;
  VARIANT vDataValue;
};

struct OPCSERVERSTATUS {
  FILETIME ftStartTime;
  FILETIME ftCurrentTime;
  FILETIME ftLastUpdateTime;
  OPCSERVERSTATE dwServerState;
  DWORD dwGroupCount;
  DWORD dwBandWidth;
  WORD wMajorVersion;
  WORD wMinorVersion;
  WORD wBuildNumber;
  WORD wReserved;
  LPWSTR szVendorInfo;
};

// --- Interface identifiers ----------------------------------------------------------------------
extern const IID IID_IOPCServer;                    // {39C13A4D-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCGroupStateMgt;             // {39C13A50-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCSyncIO;                    // {39C13A52-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCItemMgt;                   // {39C13A54-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCDataCallback;              // {39C13A70-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCAsyncIO2;                  // {39C13A71-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCBrowseServerAddressSpace;  // {39C13A4F-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IOPCItemProperties;            // {39C13A72-011E-11D0-9675-0020AFD8ADB3}
extern const IID IID_IEnumString;                   // {00000101-0000-0000-C000-000000000046}
extern const IID IID_IConnectionPointContainer;     // {B196B284-BAB4-101A-B69C-00AA00341D07}
extern const IID IID_IConnectionPoint;              // {B196B286-BAB4-101A-B69C-00AA00341D07}
extern const IID IID_IEnumConnectionPoints;         // {B196B285-BAB4-101A-B69C-00AA00341D07}
extern const IID IID_IEnumConnections;              // {B196B287-BAB4-101A-B69C-00AA00341D07}

// --- Connection points --------------------------------------------------------------------------
struct IConnectionPointContainer;
struct IConnectionPoint;

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
  virtual HRESULT Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;

protected:
  ~IEnumConnections() = default;
};

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;

protected:
  ~IEnumConnectionPoints() = default;
};

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;

protected:
  ~IConnectionPoint() = default;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

protected:
  ~IConnectionPointContainer() = default;
};

// --- String enumerator (the system's IEnumString) ------------------------------------------------
struct IEnumString : IUnknown {
  // Up to celt strings, each from CoTaskMemAlloc (the caller frees them): S_OK when celt came,
  // S_FALSE when fewer; *pceltFetched may be null only when celt is 1.
  virtual HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumString** ppenum) = 0;

protected:
  ~IEnumString() = default;
};
using LPENUMSTRING = IEnumString*;

// --- OPC DA 2.0 custom interfaces ---------------------------------------------------------------
struct IOPCServer : IUnknown {
  virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                           OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                           DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                           REFIID riid, LPUNKNOWN* ppUnk) = 0;
  virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
  virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) = 0;
  virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
  virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
  virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) = 0;

protected:
  ~IOPCServer() = default;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
  virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
  virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
  virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                   VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                   LPENUMSTRING* ppIEnumString) = 0;
  virtual HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
  virtual HRESULT BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) = 0;

protected:
  ~IOPCBrowseServerAddressSpace() = default;
};

struct IOPCItemProperties : IUnknown {
  virtual HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                           LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) = 0;
  virtual HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                    VARIANT** ppvData, HRESULT** ppErrors) = 0;
  virtual HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) = 0;

protected:
  ~IOPCItemProperties() = default;
};

struct IOPCGroupStateMgt : IUnknown {
  virtual HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                           OPCHANDLE* phServerGroup) = 0;
  virtual HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                           LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                           OPCHANDLE* phClientGroup) = 0;
  virtual HRESULT SetName(LPCWSTR szName) = 0;
  virtual HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) = 0;

protected:
  ~IOPCGroupStateMgt() = default;
};

struct IOPCSyncIO : IUnknown {
  virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        HRESULT** ppErrors) = 0;

protected:
  ~IOPCSyncIO() = default;
};

struct IOPCItemMgt : IUnknown {
  virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                           HRESULT** ppErrors) = 0;
  virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
  virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
  virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                 HRESULT** ppErrors) = 0;
  virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                   HRESULT** ppErrors) = 0;
  virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                               HRESULT** ppErrors) = 0;
  virtual HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) = 0;

protected:
  ~IOPCItemMgt() = default;
};

struct IOPCAsyncIO2 : IUnknown {
  virtual HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) = 0;
  virtual HRESULT Cancel2(DWORD dwCancelID) = 0;
  virtual HRESULT SetEnable(BOOL bEnable) = 0;
  virtual HRESULT GetEnable(BOOL* pbEnable) = 0;

protected:
  ~IOPCAsyncIO2() = default;
};

struct IOPCDataCallback : IUnknown {
  virtual HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                               HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                               VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                               HRESULT* pErrors) = 0;
  virtual HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                 HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                 VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                 HRESULT* pErrors) = 0;
  virtual HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                  DWORD dwCount, OPCHANDLE* pClienthandles, HRESULT* pErrors) = 0;
  virtual HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;

protected:
  ~IOPCDataCallback() = default;
};

#endif
