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

    void SetUp() override
    {
        base = "SOFTWARE\\talvex-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++g_key_counter);
        leaf = base + "\\Parameters";
    }

    void TearDown() override
    {
        plat_reg_delete_key(plat_reg_root(), leaf.c_str());
        plat_reg_delete_key(plat_reg_root(), base.c_str());
    }

    RegKey CreateLeaf()
    {
        RegKey key = nullptr;
        EXPECT_EQ(0, plat_reg_create(plat_reg_root(), leaf.c_str(), &key));
        EXPECT_NE(nullptr, key);
        return key;
    }
};

TEST_F(RegistryTest, RootIsLocalMachine)
{
    EXPECT_EQ((RegKey)HKEY_LOCAL_MACHINE, plat_reg_root());
}

TEST_F(RegistryTest, CreateMakesTheWholePathAndItCanBeReopened)
{
    RegKey key = CreateLeaf();
    plat_reg_close(key);

    RegKey opened = nullptr;
    ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &opened));
    EXPECT_NE(nullptr, opened);
    plat_reg_close(opened);
}

TEST_F(RegistryTest, CreateOnAnExistingKeyOpensItWithItsValues)
{
    RegKey key = CreateLeaf();
    const char text[] = "keep";
    ASSERT_EQ(0, plat_reg_set(key, "Kept", PLAT_REG_SZ, text, sizeof text));
    plat_reg_close(key);

    RegKey again = CreateLeaf();
    char buf[16] = "";
    uint32_t size = sizeof buf;
    ASSERT_EQ(0, plat_reg_query(again, "Kept", buf, &size));
    EXPECT_EQ(sizeof text, size);
    EXPECT_STREQ("keep", buf);
    plat_reg_close(again);
}

TEST_F(RegistryTest, StringWithTerminatorReadsBackWithItsLength)
{
    RegKey key = CreateLeaf();
    const char text[] = "C:\\Program Files\\Java\\bin\\java.exe";
    ASSERT_EQ(0, plat_reg_set(key, "JavaExe", PLAT_REG_SZ, text, sizeof text));

    char buf[2048];
    memset(buf, 'x', sizeof buf);
    uint32_t size = sizeof buf;
    ASSERT_EQ(0, plat_reg_query(key, "JavaExe", buf, &size));
    EXPECT_EQ(sizeof text, size);
    EXPECT_EQ(0, memcmp(text, buf, sizeof text));
    plat_reg_close(key);
}

TEST_F(RegistryTest, StringWithoutTerminatorReadsBackTheStoredBytes)
{
    RegKey key = CreateLeaf();
    const char text[] = "-Xmx512m";
    ASSERT_EQ(0, plat_reg_set(key, "JvmOptions", PLAT_REG_SZ, text, (uint32_t)strlen(text)));

    char buf[64];
    memset(buf, 'x', sizeof buf);
    uint32_t size = sizeof buf;
    ASSERT_EQ(0, plat_reg_query(key, "JvmOptions", buf, &size));
    // The stored length is what was written; the caller may not rely on a
    // terminator the data never had.
    ASSERT_GE(size, strlen(text));
    EXPECT_LE(size, strlen(text) + 1);
    EXPECT_EQ(0, memcmp(text, buf, strlen(text)));
    plat_reg_close(key);
}

TEST_F(RegistryTest, EmptyStringReadsBackAsAnEmptyValue)
{
    RegKey key = CreateLeaf();
    ASSERT_EQ(0, plat_reg_set(key, "Debug", PLAT_REG_SZ, "", 0));

    char buf[16];
    memset(buf, 'x', sizeof buf);
    uint32_t size = sizeof buf;
    ASSERT_EQ(0, plat_reg_query(key, "Debug", buf, &size));
    EXPECT_LE(size, 1u);
    if (size == 1) {
        EXPECT_EQ('\0', buf[0]);
    }
    plat_reg_close(key);
}

TEST_F(RegistryTest, DwordValueReadsBack)
{
    RegKey key = CreateLeaf();
    uint32_t value = 300;
    ASSERT_EQ(0, plat_reg_set(key, "Start", PLAT_REG_DWORD, &value, sizeof value));

    uint32_t read = 0;
    uint32_t size = sizeof read;
    ASSERT_EQ(0, plat_reg_query(key, "Start", &read, &size));
    EXPECT_EQ(sizeof read, size);
    EXPECT_EQ(300u, read);
    plat_reg_close(key);
}

TEST_F(RegistryTest, ValueLongerThanTheBufferGivesMoreDataAndTheNeededSize)
{
    RegKey key = CreateLeaf();
    const char text[] = "a value that needs more than eight bytes";
    ASSERT_EQ(0, plat_reg_set(key, "Long", PLAT_REG_SZ, text, sizeof text));

    char buf[8];
    uint32_t size = sizeof buf;
    EXPECT_EQ(PLAT_ERROR_MORE_DATA, plat_reg_query(key, "Long", buf, &size));
    EXPECT_EQ(sizeof text, size);
    plat_reg_close(key);
}

TEST_F(RegistryTest, MissingValueIsFileNotFound)
{
    RegKey key = CreateLeaf();
    char buf[16];
    uint32_t size = sizeof buf;
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_query(key, "NoSuchValue", buf, &size));
    plat_reg_close(key);
}

TEST_F(RegistryTest, OpeningAMissingPathFailsWithoutAKey)
{
    RegKey key = (RegKey)&key;
    std::string missing = base + "\\NoSuchKey";
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_open(plat_reg_root(), missing.c_str(), &key));
    EXPECT_EQ(nullptr, key);
}

TEST_F(RegistryTest, KeyOpenedForReadingRefusesWrites)
{
    plat_reg_close(CreateLeaf());
    RegKey key = nullptr;
    ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &key));
    const char text[] = "x";
    EXPECT_EQ(PLAT_ERROR_ACCESS_DENIED, plat_reg_set(key, "Value", PLAT_REG_SZ, text, sizeof text));
    plat_reg_close(key);
}

TEST_F(RegistryTest, DeleteRemovesTheLeafButNotAKeyThatStillHasSubkeys)
{
    plat_reg_close(CreateLeaf());

    // RegDeleteKeyA removes one key without subkeys; the parent must stay
    // while its child exists.
    EXPECT_NE(0, plat_reg_delete_key(plat_reg_root(), base.c_str()));
    RegKey key = nullptr;
    ASSERT_EQ(0, plat_reg_open(plat_reg_root(), leaf.c_str(), &key));
    plat_reg_close(key);

    EXPECT_EQ(0, plat_reg_delete_key(plat_reg_root(), leaf.c_str()));
    EXPECT_EQ(0, plat_reg_delete_key(plat_reg_root(), base.c_str()));
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_open(plat_reg_root(), base.c_str(), &key));
}

TEST_F(RegistryTest, DeletingAMissingKeyIsFileNotFound)
{
    std::string missing = base + "\\NoSuchKey";
    EXPECT_EQ(PLAT_ERROR_FILE_NOT_FOUND, plat_reg_delete_key(plat_reg_root(), missing.c_str()));
}

}  // namespace
