// The four SetupAPI calls the tool makes, on the simulated machine, with the
// argument checks and error codes of the real ones.
#include <setupapi.h>
#include <string.h>

#include "machine.h"

static const uintptr_t SET_BASE = 0x7E000000;
static const uintptr_t SET_STEP = 16;

static bool SameGuid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

static SimSet* FindSet(SimMachine& machine, HDEVINFO handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < SET_BASE || (value - SET_BASE) % SET_STEP != 0) {
        return NULL;
    }
    size_t index = (value - SET_BASE) / SET_STEP;
    if (index >= machine.sets.size() || !machine.sets[index].open) {
        return NULL;
    }
    return &machine.sets[index];
}

// The set's members of one interface class, listed on the first enumeration
// that asks for that class.
static const std::vector<size_t>& MembersOfClass(const SimMachine& machine, SimSet* set,
                                                 const GUID& interfaceClass)
{
    if (!set->classListed || !SameGuid(set->listedClass, interfaceClass)) {
        set->ofListedClass.clear();
        for (size_t member : set->members) {
            if (SameGuid(machine.interfaces[member].interfaceClass, interfaceClass)) {
                set->ofListedClass.push_back(member);
            }
        }
        set->classListed = true;
        set->listedClass = interfaceClass;
    }
    return set->ofListedClass;
}

static BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, HWND hwndParent,
                                                DWORD Flags)
{
    (void)hwndParent;
    SimMachine& machine = TheMachine();
    DWORD error = ERROR_SUCCESS;
    HDEVINFO result = INVALID_HANDLE_VALUE;

    if (machine.createSetError.active) {
        error = machine.createSetError.error;
    } else if ((ClassGuid == NULL && (Flags & DIGCF_ALLCLASSES) == 0) || Enumerator != NULL) {
        error = ERROR_INVALID_PARAMETER; // Enumerators name buses; none is simulated.
    } else {
        SimSet set = {true, {}, false, {}, {}};
        // Without DIGCF_DEVICEINTERFACE the GUID names a setup class: no interfaces.
        for (size_t i = 0; (Flags & DIGCF_DEVICEINTERFACE) != 0 && i < machine.interfaces.size(); i++) {
            const SimInterface& iface = machine.interfaces[i];
            bool classMatches = (Flags & DIGCF_ALLCLASSES) != 0 || SameGuid(iface.interfaceClass, *ClassGuid);
            bool presenceMatches = iface.present || (Flags & DIGCF_PRESENT) == 0;
            if (classMatches && presenceMatches) {
                set.members.push_back(i);
            }
        }
        machine.sets.push_back(set);
        machine.books.setsCreated++;
        result = reinterpret_cast<HDEVINFO>(SET_BASE + SET_STEP * (machine.sets.size() - 1));
    }
    RecordCall(machine, "SetupDiGetClassDevsW flags=0x%X error=%u", Flags, error);
    if (result == INVALID_HANDLE_VALUE) {
        SetLastError(error); // Even an injected 0: the call still failed.
    }
    return result;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    SimMachine& machine = TheMachine();
    SimSet* set = FindSet(machine, DeviceInfoSet);
    DWORD error = ERROR_SUCCESS;
    bool listed = false;
    size_t found = 0;

    auto injected = machine.enumErrors.find(MemberIndex);
    if (set == NULL) {
        error = ERROR_INVALID_HANDLE;
    } else if (DeviceInterfaceData == NULL || InterfaceClassGuid == NULL || DeviceInfoData != NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        error = ERROR_INVALID_USER_BUFFER;
    } else if (injected != machine.enumErrors.end()) {
        error = injected->second; // Fails even with 0: there is no interface to return.
    } else {
        const std::vector<size_t>& ofClass = MembersOfClass(machine, set, *InterfaceClassGuid);
        listed = MemberIndex < ofClass.size();
        error = listed ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS;
        found = listed ? ofClass[MemberIndex] : 0;
    }

    RecordCall(machine, "SetupDiEnumDeviceInterfaces index=%u error=%u", MemberIndex, error);
    if (!listed) {
        return Fail(error);
    }
    DeviceInterfaceData->InterfaceClassGuid = machine.interfaces[found].interfaceClass;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = found + 1; // Never 0: 0 marks a record never filled.
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData)
{
    (void)DeviceInfoData;
    SimMachine& machine = TheMachine();
    SimSet* set = FindSet(machine, DeviceInfoSet);
    const SimInterface* iface = NULL;
    DWORD error = ERROR_SUCCESS;
    bool copied = false;
    bool reportSize = false;
    DWORD needed = 0;

    if (set == NULL) {
        error = ERROR_INVALID_HANDLE;
    } else if (DeviceInterfaceData == NULL ||
               DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
               DeviceInterfaceData->Reserved == 0 ||
               DeviceInterfaceData->Reserved > machine.interfaces.size()) {
        error = ERROR_INVALID_PARAMETER;
    } else if ((DeviceInterfaceDetailData != NULL &&
                DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) ||
               (DeviceInterfaceDetailData == NULL && DeviceInterfaceDetailDataSize != 0)) {
        error = ERROR_INVALID_USER_BUFFER;
    } else {
        iface = &machine.interfaces[DeviceInterfaceData->Reserved - 1];
        needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    sizeof(WCHAR) * (iface->path.size() + 1));
        if (DeviceInterfaceDetailData == NULL) {
            // The size query: the driver of a scenario may lie about the size.
            if (iface->sizeError.active) {
                error = iface->sizeError.error;
            } else {
                error = ERROR_INSUFFICIENT_BUFFER;
                reportSize = true;
                if (iface->hasRequiredSize) {
                    needed = iface->requiredSize;
                }
            }
        } else if (iface->detailError.active) {
            error = iface->detailError.error;
        } else {
            reportSize = true;
            copied = DeviceInterfaceDetailDataSize >= needed;
            error = copied ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
        }
    }

    RecordCall(machine, "SetupDiGetDeviceInterfaceDetailW size=%u error=%u", DeviceInterfaceDetailDataSize,
               error);
    if (reportSize && RequiredSize != NULL) {
        *RequiredSize = needed;
    }
    // A fault knob fails the call whatever its error code, 0 included.
    if (!copied) {
        return Fail(error);
    }
    memcpy(DeviceInterfaceDetailData->DevicePath, iface->path.c_str(),
           sizeof(WCHAR) * (iface->path.size() + 1));
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    SimMachine& machine = TheMachine();
    SimSet* set = FindSet(machine, DeviceInfoSet);
    DWORD error = ERROR_SUCCESS;
    if (set == NULL) {
        error = ERROR_INVALID_HANDLE;
        machine.books.invalidCloses++;
    } else {
        set->open = false;
        machine.books.setsDestroyed++;
    }
    RecordCall(machine, "SetupDiDestroyDeviceInfoList error=%u", error);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}
