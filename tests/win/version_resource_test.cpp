// What Windows shows of talvex.exe and its two libraries: the version
// information of each file, the manifest of the executable, and the export of
// the utility library.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::string beside_this_program(const char* name)
{
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

// The version API lives in version.dll, which the test program does not link.
typedef DWORD(WINAPI* SizeFn)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI* InfoFn)(LPCSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* QueryFn)(LPCVOID, LPCSTR, LPVOID*, PUINT);

struct VersionInfo {
    bool found = false;
    VS_FIXEDFILEINFO fixed = {};
    std::string description, product, file_version, product_version, original_name;
};

VersionInfo read_version(const std::string& file)
{
    VersionInfo info;
    HMODULE api = LoadLibraryA("version.dll");
    if (!api) return info;
    SizeFn size_of = (SizeFn)(void*)GetProcAddress(api, "GetFileVersionInfoSizeA");
    InfoFn read = (InfoFn)(void*)GetProcAddress(api, "GetFileVersionInfoA");
    QueryFn query = (QueryFn)(void*)GetProcAddress(api, "VerQueryValueA");
    DWORD ignored = 0;
    DWORD size = size_of ? size_of(file.c_str(), &ignored) : 0;
    std::vector<char> block(size);
    if (size && read(file.c_str(), 0, size, block.data())) {
        void* p = nullptr;
        UINT len = 0;
        if (query(block.data(), "\\", &p, &len) && len >= sizeof(VS_FIXEDFILEINFO)) {
            info.fixed = *(VS_FIXEDFILEINFO*)p;
            info.found = true;
        }
        auto text = [&](const char* name) {
            std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
            void* value = nullptr;
            UINT chars = 0;
            if (!query(block.data(), key.c_str(), &value, &chars) || !value) return std::string();
            return std::string((const char*)value);
        };
        info.description = text("FileDescription");
        info.product = text("ProductName");
        info.file_version = text("FileVersion");
        info.product_version = text("ProductVersion");
        info.original_name = text("OriginalFilename");
    }
    FreeLibrary(api);
    return info;
}

std::string fixed_version_text(const VS_FIXEDFILEINFO& f)
{
    return std::to_string(HIWORD(f.dwFileVersionMS)) + "." + std::to_string(LOWORD(f.dwFileVersionMS)) + "." +
           std::to_string(HIWORD(f.dwFileVersionLS));
}

struct FileRow {
    const char* name;
    const char* description;
    DWORD type;
};

const FileRow FILES[] = {
    {"talvex.exe", "Orvane management framework windows service wrapper", VFT_APP},
    {"talvexMSG.dll", "Talvex event log message texts", VFT_DLL},
    {"talvexUtil.dll", "Talvex utility library", VFT_DLL},
};

TEST(VersionResourceTest, EachFileDescribesItselfWithOneProductAndVersion)
{
    VersionInfo exe = read_version(beside_this_program("talvex.exe"));
    ASSERT_TRUE(exe.found) << "no version information in talvex.exe";
    ASSERT_FALSE(exe.product.empty());
    for (const FileRow& row : FILES) {
        VersionInfo v = read_version(beside_this_program(row.name));
        ASSERT_TRUE(v.found) << row.name;
        EXPECT_EQ(row.description, v.description) << row.name;
        EXPECT_EQ(row.name, v.original_name);
        EXPECT_EQ(row.type, v.fixed.dwFileType) << row.name;
        EXPECT_EQ((DWORD)0xFEEF04BD, v.fixed.dwSignature) << row.name;
        // The text and the numbers that Explorer shows side by side agree,
        // and all three files belong to one release of one product.
        EXPECT_EQ(fixed_version_text(v.fixed), v.file_version) << row.name;
        EXPECT_EQ(v.file_version, v.product_version) << row.name;
        EXPECT_EQ(exe.product, v.product) << row.name;
        EXPECT_EQ(exe.file_version, v.file_version) << row.name;
    }
}

TEST(VersionResourceTest, UtilityLibraryReportsTheReleaseOfItsFile)
{
    HMODULE util = LoadLibraryA(beside_this_program("talvexUtil.dll").c_str());
    ASSERT_NE(nullptr, util) << "error " << GetLastError();
    typedef const char* (*VersionFn)(void);
    VersionFn version = (VersionFn)(void*)GetProcAddress(util, "TalvexUtilVersion");
    ASSERT_NE(nullptr, version);
    VersionInfo v = read_version(beside_this_program("talvexUtil.dll"));
    ASSERT_TRUE(v.found);
    EXPECT_EQ(v.file_version, std::string(version()));
    FreeLibrary(util);
}

TEST(VersionResourceTest, MessageLibraryHasNoCode)
{
    // The Event Viewer maps the library as data; it must need nothing at
    // load time, so it has no entry point.
    HMODULE msg = LoadLibraryExA(beside_this_program("talvexMSG.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, msg) << "error " << GetLastError();
    const BYTE* base = (const BYTE*)msg;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    EXPECT_EQ(0u, nt->OptionalHeader.AddressOfEntryPoint);
    EXPECT_NE(nullptr, FindResourceA(msg, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(11)));   // RT_MESSAGETABLE
    FreeLibrary(msg);
}

TEST(VersionResourceTest, ExecutableAsksForAdministratorRights)
{
    HMODULE exe = LoadLibraryExA(beside_this_program("talvex.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, exe) << "error " << GetLastError();
    HRSRC res = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));   // RT_MANIFEST
    ASSERT_NE(nullptr, res);
    HGLOBAL data = LoadResource(exe, res);
    ASSERT_NE(nullptr, data);
    std::string manifest((const char*)LockResource(data), SizeofResource(exe, res));
    EXPECT_NE(std::string::npos,
              manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"));
    EXPECT_NE(std::string::npos,
              manifest.find("<description>Orvane management framework windows service wrapper</description>"));
    FreeLibrary(exe);
}

}  // namespace
