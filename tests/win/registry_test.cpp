// The registry functions against the real registry.  Every case works under
// its own key below HKEY_LOCAL_MACHINE\SOFTWARE and removes it afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "common/platform.h"

namespace {

int g_key_counter;

class RegistryTest : public ::testing::Test {
protected:
    std::string base;   // SOFTWARE\talvex-test-<pid>-<n>
    std::string leaf;   // base\Parameters
    RegKey key = nullptr;

    void SetUp() override
    {
        base = "SOFTWARE\\talvex-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++g_key_counter);
        leaf = base + "\\Parameters";
        ASSERT_EQ(0, plat_reg_create(plat_reg_root(), leaf.c_str(), &key));
        ASSERT_NE(nullptr, key);
    }

    void TearDown() override
    {
        if (key != nullptr) plat_reg_close(key);
        plat_reg_delete_key(plat_reg_root(), leaf.c_str());
        plat_reg_delete_key(plat_reg_root(), base.c_str());
    }
};

TEST_F(RegistryTest, RootIsLocalMachine)
{
    EXPECT_EQ((RegKey)HKEY_LOCAL_MACHINE, plat_reg_root());
}

// Values written under a newly created path read back with the stored length
// through a key opened for reading, and through the same path created again.
TEST_F(RegistryTest, ValuesReadBackWithTheirStoredLength)
{
    const uint32_t start = 300;
    const struct {
        const char* name;
        uint32_t type;
        std::string data;
        uint32_t extra;   // NUL bytes a read may report beyond the stored data
    } rows[] = {
        {"JavaExe", PLAT_REG_SZ, std::string("C:\\Program Files\\Java\\bin\\java.exe") + '\0', 0},
        // The stored length is what was written; the caller may not rely on a
        // terminator the data never had.
        {"JvmOptions", PLAT_REG_SZ, "-Xmx512m", 1},
        {"Debug", PLAT_REG_SZ, "", 1},
        {"Start", PLAT_REG_DWORD, std::string((const char*)&start, 4), 0},
    };
    for (const auto& row : rows)
        ASSERT_EQ(0, plat_reg_set(key, row.name, row.type, row.data.data(), (uint32_t)row.data.size())) << row.name;
    plat_reg_close(key);
    key = nullptr;

    for (bool created : {false, true}) {
        RegKey again = nullptr;
        if (created)
            ASSERT_EQ(0, plat_reg_create(plat_reg_root(), leaf.c_str(), &again));
        else
            ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &again));
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (created ? " after create" : " after open"));
            char buf[2048];
            memset(buf, 'x', sizeof buf);
            uint32_t size = sizeof buf;
            ASSERT_EQ(0, plat_reg_query(again, row.name, buf, &size));
            ASSERT_GE(size, row.data.size());
            EXPECT_LE(size, row.data.size() + row.extra);
            EXPECT_EQ(row.data, std::string(buf, row.data.size()));
            for (uint32_t i = row.data.size(); i < size; ++i) EXPECT_EQ('\0', buf[i]);
        }
        plat_reg_close(again);
    }
}

TEST_F(RegistryTest, ReadsReportWhatIsMissingOrTooLong)
{
    const char text[] = "a value that needs more than eight bytes";
    ASSERT_EQ(0, plat_reg_set(key, "Long", PLAT_REG_SZ, text, sizeof text));
    char buf[8];
    uint32_t size = sizeof buf;
    EXPECT_EQ(PLAT_ERROR_MORE_DATA, plat_reg_query(key, "Long", buf, &size));
    EXPECT_EQ(sizeof text, size);

    size = sizeof buf;
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_query(key, "NoSuchValue", buf, &size));

    RegKey missing = (RegKey)&missing;
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_open(plat_reg_root(), (base + "\\NoSuchKey").c_str(), &missing));
    EXPECT_EQ(nullptr, missing);
}

TEST_F(RegistryTest, KeyOpenedForReadingRefusesWrites)
{
    RegKey reading = nullptr;
    ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &reading));
    const char text[] = "x";
    EXPECT_EQ(PLAT_ERROR_ACCESS_DENIED, plat_reg_set(reading, "Value", PLAT_REG_SZ, text, sizeof text));
    plat_reg_close(reading);
}

TEST_F(RegistryTest, DeleteRemovesTheLeafButNotAKeyThatStillHasSubkeys)
{
    plat_reg_close(key);
    key = nullptr;
    // RegDeleteKeyA removes one key without subkeys; the parent must stay
    // while its child exists.
    EXPECT_NE(0, plat_reg_delete_key(plat_reg_root(), base.c_str()));
    RegKey opened = nullptr;
    ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &opened));
    plat_reg_close(opened);

    EXPECT_EQ(0, plat_reg_delete_key(plat_reg_root(), leaf.c_str()));
    EXPECT_EQ(0, plat_reg_delete_key(plat_reg_root(), base.c_str()));
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_open(plat_reg_root(), base.c_str(), &opened));
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_delete_key(plat_reg_root(), (base + "\\NoSuchKey").c_str()));
}

}  // namespace
