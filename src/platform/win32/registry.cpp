// Registry access under HKEY_LOCAL_MACHINE.  The registry API returns its
// error code instead of setting the thread's last error, and these functions
// pass that code on unchanged.
#include <windows.h>

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
    LONG rc = RegCreateKeyExA((HKEY)parent, name, 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE, &sa, &key, NULL);
    *out = rc == ERROR_SUCCESS ? (RegKey)key : NULL;
    return rc;
}

long plat_reg_query(RegKey key, const char* name, void* buf, uint32_t* size)
{
    DWORD length = *size;
    LONG rc = RegQueryValueExA((HKEY)key, name, NULL, NULL, (LPBYTE)buf, &length);
    *size = length;
    return rc;
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
