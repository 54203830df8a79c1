// The settings store and the option readers and writer shared with the
// Preferences dialog.
#include <gtest/gtest.h>

#include "controller_testing.h"
#include "text.h"

namespace {

TEST(MemorySettingsStore, KeepsNumbersAndStringsByName) {
    MemorySettingsStore store;
    uint32_t number = 7;
    NativeString text;
    EXPECT_FALSE(store.readNumber("OptionsOffset", &number));
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(store.readString("MostRecentUsed1", &text));

    EXPECT_TRUE(store.writeNumber("OptionsOffset", 4096));
    EXPECT_TRUE(store.writeNumber("OptionsOffset", 8192));
    EXPECT_TRUE(store.writeNumber("OptionsSize", 1));
    EXPECT_TRUE(store.readNumber("OptionsOffset", &number));
    EXPECT_EQ(number, 8192u);

    const NativeString path = nativeFromUtf8("C:\\fw\\100%.bin");
    EXPECT_TRUE(store.writeString("MostRecentUsed1", path));
    EXPECT_TRUE(store.writeString("MostRecentUsed2", NativeString()));
    EXPECT_TRUE(store.readString("MostRecentUsed1", &text));
    EXPECT_EQ(text, path);
    EXPECT_TRUE(store.readString("MostRecentUsed2", &text));
    EXPECT_TRUE(text.empty());
    // Numbers and strings are separate values.
    EXPECT_FALSE(store.readNumber("MostRecentUsed1", &number));
}

TEST(MemorySettingsStore, FailingKeyStoresNothing) {
    MemorySettingsStore store;
    store.failWrites = true;
    EXPECT_FALSE(store.writeNumber("OptionsInUse", 1));
    EXPECT_FALSE(store.writeString("MostRecentUsed1", nativeFromUtf8("a.bin")));
    store.failWrites = false;
    uint32_t number = 0;
    EXPECT_FALSE(store.readNumber("OptionsInUse", &number));
}

class OptionSettings : public ::testing::Test {
protected:
    void SetUp() override {
        controller = createFlashController(&store);
        ASSERT_NE(controller, nullptr);
    }
    void TearDown() override { destroyFlashController(controller); }
    MemorySettingsStore store;
    FlashController* controller = nullptr;
};

TEST_F(OptionSettings, CreationState) {
    EXPECT_EQ(watchedTargetCount(controller), -1);
    EXPECT_EQ(watchedGeometry(controller).flashSize, 0);
    EXPECT_EQ(loadedImageLength(controller), 0);
    EXPECT_EQ(chosenTargetPosition(controller), 0);
}

TEST_F(OptionSettings, MissingValuesKeepTheControllersOwn) {
    EXPECT_EQ(readStoredOptionsInUse(controller), 0u);
    setOptionArea(controller, 123, 456);
    EXPECT_EQ(reloadOptionAreaOffset(controller), 123);
    EXPECT_EQ(reloadOptionAreaSize(controller), 456);
    store.writeNumber("OptionsOffset", 4096);
    store.writeNumber("OptionsSize", 0);
    store.writeNumber("OptionsInUse", 1);
    EXPECT_EQ(reloadOptionAreaOffset(controller), 4096);
    EXPECT_EQ(optionAreaOffset(controller), 4096);
    EXPECT_EQ(reloadOptionAreaSize(controller), 0);
    EXPECT_EQ(readStoredOptionsInUse(controller), 1u);
    // An unreadable key: options not in use, the controller's values stay.
    store.failReads = true;
    EXPECT_EQ(readStoredOptionsInUse(controller), 0u);
    setOptionArea(controller, 77, 0);
    EXPECT_EQ(reloadOptionAreaOffset(controller), 77);
}

TEST_F(OptionSettings, StoreWritesAllThreeTogether) {
    EXPECT_TRUE(storeOptionArea(controller, 522240, 4096, true));
    uint32_t value = 0;
    ASSERT_TRUE(store.readNumber("OptionsOffset", &value));
    EXPECT_EQ(value, 522240u);
    ASSERT_TRUE(store.readNumber("OptionsSize", &value));
    EXPECT_EQ(value, 4096u);
    ASSERT_TRUE(store.readNumber("OptionsInUse", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(storeOptionArea(controller, 0, 0, false));
    ASSERT_TRUE(store.readNumber("OptionsInUse", &value));
    EXPECT_EQ(value, 0u);
    // Storing does not change what operations use until the values are read back.
    setOptionArea(controller, 5, 0);
    EXPECT_TRUE(storeOptionArea(controller, 100, 200, true));
    EXPECT_EQ(optionAreaOffset(controller), 5);

    store.failWrites = true;
    EXPECT_FALSE(storeOptionArea(controller, 1, 2, true));
    store.failWrites = false;
    ASSERT_TRUE(store.readNumber("OptionsOffset", &value));
    EXPECT_EQ(value, 100u);
}

TEST_F(OptionSettings, NoStoreMeansNotInUse) {
    FlashController* bare = createFlashController(nullptr);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(readStoredOptionsInUse(bare), 0u);
    EXPECT_FALSE(storeOptionArea(bare, 1, 2, true));
    destroyFlashController(bare);
}

TEST_F(OptionSettings, OffsetLimitIsTheStartOfTheLastPage) {
    TargetGeometry geometry;
    geometry.flashSize = 524288;
    geometry.pageSize = 2048;
    recordWatchedTargets(controller, {0}, 0, geometry);
    EXPECT_EQ(clampOptionAreaOffset(controller, 0x7FFFF), 522240);
    EXPECT_EQ(clampOptionAreaOffset(controller, 522240), 522240);
    EXPECT_EQ(clampOptionAreaOffset(controller, 4096), 4096);
    EXPECT_EQ(clampOptionAreaOffset(controller, -1), 0);
    recordWatchedTargets(controller, {}, 0, TargetGeometry());
    EXPECT_EQ(clampOptionAreaOffset(controller, 4096), 0);
}

TEST_F(OptionSettings, ChoosingATargetForcesAFreshLook) {
    recordWatchedTargets(controller, {0, 1}, 0, TargetGeometry());
    chooseTargetPosition(controller, 1);
    EXPECT_EQ(chosenTargetPosition(controller), 1);
    EXPECT_EQ(watchedTargetCount(controller), -1);
    chooseTargetPosition(controller, -1); // a list without a selection
    EXPECT_EQ(chosenTargetPosition(controller), 0);
}

} // namespace

#ifdef _WIN32
#include <windows.h>

namespace {

// Test values of their own in the program's key, removed afterwards.
class RegistryStore : public ::testing::Test {
protected:
    void TearDown() override {
        for (const wchar_t* name : {L"WinCtrlTestNumber", L"WinCtrlTestString", L"WinCtrlTestLong"}) {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\TidewireSTM32Utility\\Prefs", name);
        }
    }
    std::unique_ptr<SettingsStore> store = createRegistrySettingsStore();
};

TEST_F(RegistryStore, NumbersAndStringsRoundTripAsDwordAndSz) {
    ASSERT_TRUE(store->writeNumber("WinCtrlTestNumber", 0x7F800));
    uint32_t number = 0;
    ASSERT_TRUE(store->readNumber("WinCtrlTestNumber", &number));
    EXPECT_EQ(number, 0x7F800u);
    DWORD type = 0;
    DWORD raw = 0;
    DWORD bytes = sizeof raw;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\TidewireSTM32Utility\\Prefs", L"WinCtrlTestNumber",
                           RRF_RT_ANY, &type, &raw, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    const NativeString path = L"C:\\Firmware\\\u00FCber 100%.bin";
    ASSERT_TRUE(store->writeString("WinCtrlTestString", path));
    NativeString text;
    ASSERT_TRUE(store->readString("WinCtrlTestString", &text));
    EXPECT_EQ(text, path);
    ASSERT_TRUE(store->writeString("WinCtrlTestString", NativeString()));
    ASSERT_TRUE(store->readString("WinCtrlTestString", &text));
    EXPECT_TRUE(text.empty());
}

TEST_F(RegistryStore, MissingWrongTypeAndOverlongValuesDoNotRead) {
    uint32_t number = 5;
    NativeString text = L"kept";
    EXPECT_FALSE(store->readNumber("WinCtrlTestNumber", &number));
    EXPECT_EQ(number, 5u);
    ASSERT_TRUE(store->writeString("WinCtrlTestNumber", L"12"));
    EXPECT_FALSE(store->readNumber("WinCtrlTestNumber", &number));
    ASSERT_TRUE(store->writeNumber("WinCtrlTestString", 12));
    EXPECT_FALSE(store->readString("WinCtrlTestString", &text));
    // More than the 520 bytes a path entry has room for.
    ASSERT_TRUE(store->writeString("WinCtrlTestLong", NativeString(400, L'a')));
    EXPECT_FALSE(store->readString("WinCtrlTestLong", &text));
    EXPECT_EQ(text, L"kept");
}

} // namespace
#endif
