#include "simserver/server_registration.h"

#include "sim/simulator.h"

namespace {

constexpr wchar_t kOpcDa2Category[] = L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";

// The two classes the program serves: the simulator and its flat variant.
struct ServedClass {
  const CLSID* clsid;
  const wchar_t* progId;
  const wchar_t* friendlyName;
  const wchar_t* arguments;  // after the program's path in LocalServer32
};
const ServedClass kClasses[] = {
    {&CLSID_QuarnixSimulator, L"Quarnix.Simulator", L"Quarnix Simulator", L""},
    {&CLSID_QuarnixSimulatorFlat, L"Quarnix.Simulator.Flat", L"Quarnix Simulator (flat)", L""},
    {&CLSID_QuarnixSimulator2, L"Quarnix.Simulator.2", L"Quarnix Simulator 2", L" /Instance2"},
};

std::wstring ClsidText(const ServedClass& served) {
  const std::string narrow = GuidToString(*served.clsid);
  return std::wstring(narrow.begin(), narrow.end());
}

// Creates root\path and sets its default value (none when value is null).
LONG SetKey(HKEY root, const std::wstring& path, const wchar_t* value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  if (value != nullptr) {
    const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  }
  RegCloseKey(key);
  return status;
}

LONG WriteClassKeys(HKEY classes, const ServedClass& served, const std::wstring& serverPath) {
  const std::wstring clsidKey = L"CLSID\\" + ClsidText(served);
  const std::wstring quoted = L"\"" + serverPath + L"\"" + served.arguments;
  const std::wstring progId = served.progId;
  const std::wstring clsid = ClsidText(served);

  struct Entry {
    std::wstring path;
    const wchar_t* value;
  };
  const Entry entries[] = {
      {clsidKey, served.friendlyName},
      {clsidKey + L"\\LocalServer32", quoted.c_str()},
      {clsidKey + L"\\ProgID", progId.c_str()},
      {clsidKey + L"\\Implemented Categories\\" + kOpcDa2Category, nullptr},
      {progId, served.friendlyName},
      {progId + L"\\CLSID", clsid.c_str()},
  };
  for (const Entry& entry : entries) {
    const LONG status = SetKey(classes, entry.path, entry.value);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LONG WriteKeys(HKEY classes, const std::wstring& serverPath) {
  for (const ServedClass& served : kClasses) {
    const LONG status = WriteClassKeys(classes, served, serverPath);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LONG RemoveKeys(HKEY root) {
  HKEY classes = nullptr;
  LONG status = RegOpenKeyExW(root, L"Software\\Classes", 0, KEY_ALL_ACCESS, &classes);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) {
    // Without write access there is nothing this caller could remove anyway, unless it is ours.
    HKEY probe = nullptr;
    const std::wstring clsidKey = L"Software\\Classes\\CLSID\\" + ClsidText(kClasses[0]);
    if (RegOpenKeyExW(root, clsidKey.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS)
      return ERROR_SUCCESS;
    RegCloseKey(probe);
    return status;
  }
  LONG result = ERROR_SUCCESS;
  for (const ServedClass& served : kClasses) {
    const std::wstring paths[] = {L"CLSID\\" + ClsidText(served), served.progId};
    for (const std::wstring& path : paths) {
      const LONG removed = RegDeleteTreeW(classes, path.c_str());  // the key with all below it
      if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS)
        result = removed;
    }
  }
  RegCloseKey(classes);
  return result;
}

}  // namespace

LONG RegisterSimulatorServer(const std::wstring& serverPath, RegistrationScope* scope) {
  HKEY classes = nullptr;
  LONG status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, &classes, nullptr);
  if (status == ERROR_SUCCESS) {
    status = WriteKeys(classes, serverPath);
    RegCloseKey(classes);
    if (status != ERROR_ACCESS_DENIED) {
      *scope = RegistrationScope::kAllUsers;
      return status;
    }
  } else if (status != ERROR_ACCESS_DENIED) {
    return status;
  }
  // Not allowed to register for every user: register for this one.
  status =
      RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, &classes, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = WriteKeys(classes, serverPath);
  RegCloseKey(classes);
  *scope = RegistrationScope::kCurrentUser;
  return status;
}

LONG UnregisterSimulatorServer() {
  const LONG user = RemoveKeys(HKEY_CURRENT_USER);
  const LONG machine = RemoveKeys(HKEY_LOCAL_MACHINE);
  return machine != ERROR_SUCCESS ? machine : user;
}
