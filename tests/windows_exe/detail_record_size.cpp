// The size of the detail record, which the tool prints: 6 bytes in the
// 32-bit SDK, as on Linux, and 8 in the x64 one. It is the only line in
// which the two exes' outputs differ; a build of the other size stops here.
#include <windows.h>

#include <setupapi.h>

static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == EXPECTED_DETAIL_SIZE,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_W is not the size this exe prints");
