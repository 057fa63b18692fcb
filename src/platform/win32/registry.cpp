// Registry access under HKEY_LOCAL_MACHINE.  The registry API returns its
// error code instead of setting the thread's last error, and these functions
// pass that code on unchanged.
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>

#include <string.h>

#include "common/platform.h"

RegKey plat_reg_root(void)
{
    return (RegKey)HKEY_LOCAL_MACHINE;
}

long plat_reg_open(RegKey parent, const char* name, RegKey* out)
{
    HKEY key = NULL;
    LONG rc = RegOpenKeyExA((HKEY)parent, name, 0, KEY_READ, &key);
    *out = rc == ERROR_SUCCESS ? (RegKey)key : NULL;
    return rc;
}

long plat_reg_create(RegKey parent, const char* name, RegKey* out)
{
    // No security descriptor means the key gets the default one, inherited
    // from its parent; only the handle is marked inheritable.
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof sa);
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = TRUE;
    HKEY key = NULL;
    // WRITE_DAC: the installer gives the Parameters key a DACL of its own.
    LONG rc = RegCreateKeyExA((HKEY)parent, name, 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE | WRITE_DAC, &sa, &key, NULL);
    *out = rc == ERROR_SUCCESS ? (RegKey)key : NULL;
    return rc;
}

long plat_reg_query(RegKey key, const char* name, uint32_t* type, void* buf, uint32_t* size)
{
    DWORD length = *size;
    DWORD kind = REG_NONE;
    LONG rc = RegQueryValueExA((HKEY)key, name, NULL, &kind, (LPBYTE)buf, &length);
    *size = length;
    *type = kind;
    return rc;
}

int plat_reg_protect(RegKey key, const char* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL)) return 0;
    LONG rc = RegSetKeySecurity((HKEY)key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    SetLastError((DWORD)rc);
    return rc == ERROR_SUCCESS ? 1 : 0;
}

int plat_grant_modify(const char* path, const char* sid)
{
    PSID trustee = NULL;
    if (!ConvertStringSidToSidA(sid, &trustee)) return 0;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                     &descriptor);
    PACL granted = NULL;
    if (rc == ERROR_SUCCESS) {
        EXPLICIT_ACCESSA entry;
        ZeroMemory(&entry, sizeof entry);
        // Modify: read, write, execute and delete, for the directory and all
        // it will hold.
        entry.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
        entry.grfAccessMode = GRANT_ACCESS;
        entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = (LPSTR)trustee;
        rc = SetEntriesInAclA(1, &entry, dacl, &granted);
    }
    if (rc == ERROR_SUCCESS)
        rc = SetNamedSecurityInfoA((LPSTR)path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, granted, NULL);
    if (granted != NULL) LocalFree(granted);
    if (descriptor != NULL) LocalFree(descriptor);
    LocalFree(trustee);
    SetLastError(rc);
    return rc == ERROR_SUCCESS ? 1 : 0;
}

int plat_account_sid(const char* account, char* buf, uint32_t cap)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountNameA(NULL, account, sid, &sidSize, domain, &domainSize, &use)) return 0;
    char* text = NULL;
    if (!ConvertSidToStringSidA(sid, &text)) return 0;
    int fits = strlen(text) < cap;
    if (fits) memcpy(buf, text, strlen(text) + 1);
    LocalFree(text);
    if (!fits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return fits;
}

long plat_reg_set(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size)
{
    return RegSetValueExA((HKEY)key, name, 0, type, (const BYTE*)data, size);
}

long plat_reg_delete_key(RegKey parent, const char* name)
{
    return RegDeleteKeyA((HKEY)parent, name);
}

void plat_reg_close(RegKey key)
{
    RegCloseKey((HKEY)key);
}
