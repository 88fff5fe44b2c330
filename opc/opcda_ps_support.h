/* Declarations that the proxy/stub DLL (opcda_ps.dll) needs and the mingw-w64 headers lack.
 *
 * The widl-generated proxy code (opcda_idl_p.c, dlldata.c) is compiled with this header included
 * first. It declares the three IUnknown proxy routines that rpcrt4's import library exports but
 * mingw-w64's unknwn.h declares only for C++, and it names the DLL's own proxy/stub class, so
 * that registering our DLL re-points only the interfaces it marshals and never takes over the
 * class of another OPC proxy installed on the same PC.
 *
 * Error rule: none (declarations only). Thread rule: none. Ownership: none.
 * C, not C++: the generated proxy code is C. */
#ifndef QUARNIX_OPC_OPCDA_PS_SUPPORT_H
#define QUARNIX_OPC_OPCDA_PS_SUPPORT_H

#include <objbase.h>

#ifdef __cplusplus
extern "C" {
#endif

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#ifdef __cplusplus
}
#endif

/* CLSID of the DLL's proxy/stub factory: {678091F1-EC92-4C0F-8148-55B673450789}. */
#define PROXY_CLSID_IS                               \
  {                                                  \
    0x678091f1, 0xec92, 0x4c0f, {                    \
      0x81, 0x48, 0x55, 0xb6, 0x73, 0x45, 0x07, 0x89 \
    }                                                \
  }

#endif
