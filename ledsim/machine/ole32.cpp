// CLSIDFromString for the braced form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
#include <objbase.h>
#include <string.h>

#include "machine.h"
#include "utf.h"

static int HexDigit(WCHAR c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads `digits` hex digits at text[*at]; false if any is not one.
static bool ReadHex(LPCOLESTR text, size_t* at, int digits, uint32_t* value)
{
    uint32_t result = 0;
    for (int i = 0; i < digits; i++) {
        int digit = HexDigit(text[*at]);
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<uint32_t>(digit);
        (*at)++;
    }
    *value = result;
    return true;
}

static bool Expect(LPCOLESTR text, size_t* at, WCHAR c)
{
    if (text[*at] != c) {
        return false;
    }
    (*at)++;
    return true;
}

static bool ParseBracedGuid(LPCOLESTR text, GUID* guid)
{
    size_t at = 0;
    uint32_t data1 = 0;
    uint32_t data2 = 0;
    uint32_t data3 = 0;
    uint32_t byte = 0;
    if (!Expect(text, &at, '{') || !ReadHex(text, &at, 8, &data1) || !Expect(text, &at, '-') ||
        !ReadHex(text, &at, 4, &data2) || !Expect(text, &at, '-') || !ReadHex(text, &at, 4, &data3) ||
        !Expect(text, &at, '-')) {
        return false;
    }
    guid->Data1 = data1;
    guid->Data2 = static_cast<uint16_t>(data2);
    guid->Data3 = static_cast<uint16_t>(data3);
    for (int i = 0; i < 8; i++) {
        if ((i == 2 && !Expect(text, &at, '-')) || !ReadHex(text, &at, 2, &byte)) {
            return false;
        }
        guid->Data4[i] = static_cast<uint8_t>(byte);
    }
    return Expect(text, &at, '}') && text[at] == 0;
}

extern "C" HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == NULL) {
        return E_INVALIDARG;
    }
    GUID guid;
    HRESULT result = S_OK;
    if (lpsz == NULL) {
        memset(pclsid, 0, sizeof(*pclsid)); // A null string is CLSID_NULL.
    } else if (ParseBracedGuid(lpsz, &guid)) {
        *pclsid = guid;
    } else {
        // Not a braced GUID: a ProgID, and this machine registers none.
        memset(pclsid, 0, sizeof(*pclsid));
        result = CO_E_CLASSSTRING;
    }
    size_t length = 0;
    while (lpsz != NULL && lpsz[length] != 0 && length < 64) {
        length++;
    }
    RecordCall(TheMachine(), "CLSIDFromString text=%s result=0x%08X",
               lpsz != NULL ? Utf16ToUtf8(lpsz, length).c_str() : "(null)", static_cast<unsigned>(result));
    return result;
}
