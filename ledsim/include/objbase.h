// Stand-in for the Windows SDK's <objbase.h>: only CLSIDFromString.
#pragma once

#include <windows.h>

typedef WCHAR OLECHAR;
typedef const OLECHAR* LPCOLESTR;

#define S_OK             ((HRESULT)0L)
#define E_INVALIDARG     ((HRESULT)0x80070057L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)

#ifdef __cplusplus
extern "C" {
#endif

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

#ifdef __cplusplus
}
#endif
