#include "protocol/handler_text.h"

#include "opc/standard_error_text.h"

std::string ServerErrorText(IOPCServer* server, HRESULT error) {
  LPWSTR text = nullptr;
  HRESULT hr = E_POINTER;
  if (server != nullptr) hr = server->GetErrorString(error, 0x409, &text);
  std::string result;
  if (SUCCEEDED(hr) && text != nullptr) result = Narrow(text);
  CoTaskMemFree(text);
  return ErrorTextOrStandard(result, error);
}
