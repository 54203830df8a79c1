// Loading image files, with the target's geometry set by hand (no board).
#include <gtest/gtest.h>

#include "controller_testing.h"
#include "image_loader.h"
#include "recorder.h"
#include "temp_files.h"
#include "text.h"

namespace {

constexpr int32_t kFlash = 8192;
constexpr uint32_t kStart = 0x08000000;

class ImageLoading : public ::testing::Test {
protected:
    void SetUp() override {
        controller = createFlashController(&store);
        ASSERT_NE(controller, nullptr);
        recorder.attach(controller);
    }
    void TearDown() override { destroyFlashController(controller); }

    void setTarget(int32_t flashSize = kFlash, int32_t pageSize = 1024) {
        TargetGeometry geometry;
        geometry.flashSize = flashSize;
        geometry.pageSize = pageSize;
        geometry.flashStart = kStart;
        recordWatchedTargets(controller, {0}, 0, geometry);
    }
    int load(const std::string& path) {
        const NativeString native = nativeFromUtf8(path, 4096);
        return loadImageFile(controller, &native);
    }
    // A failed load leaves nothing loaded and the buffers freed.
    void expectNothingLoaded() {
        EXPECT_EQ(loadedImageLength(controller), 0);
        EXPECT_TRUE(loadedImageBytes(controller).empty());
        EXPECT_TRUE(downloadBufferSize(controller) == 0);
    }

    MemorySettingsStore store;
    FlashController* controller = nullptr;
    Recorder recorder;
    TempFolder folder;
};

TEST_F(ImageLoading, NoTargetRefusesAndKeepsThePath) {
    const std::string path = folder.write("a.bin", patternBytes(16, 1));
    EXPECT_EQ(load(path), -1);
    EXPECT_EQ(recorder.lines(),
              std::vector<std::string>{"STM32 DFU Target not available(enable via User and Reset button)."});
    EXPECT_EQ(utf8FromNative(imageFilePath(controller)), path);
    expectNothingLoaded();

    // With a target now known, the stored path is used.
    setTarget();
    EXPECT_EQ(loadImageFile(controller, nullptr), 0);
    EXPECT_EQ(loadedImageLength(controller), 16);
}

TEST_F(ImageLoading, BinaryFillsTheImageAndTheRestReadsErased) {
    setTarget();
    const auto bytes = patternBytes(1000, 2);
    ASSERT_EQ(load(folder.write("fw.bin", bytes)), 0);
    EXPECT_TRUE(recorder.lines().empty());
    EXPECT_EQ(loadedImageLength(controller), 1000);
    ASSERT_EQ(loadedImageBytes(controller).size(), static_cast<size_t>(kFlash));
    ASSERT_EQ(downloadBufferSize(controller), static_cast<size_t>(kFlash));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), loadedImageBytes(controller).begin()));
    EXPECT_EQ(loadedImageBytes(controller)[1000], 0xFF);
}

TEST_F(ImageLoading, BinaryExactlyFlashSizeLoadsOneMoreIsTooBig) {
    setTarget();
    ASSERT_EQ(load(folder.write("full.bin", patternBytes(kFlash, 3))), 0);
    EXPECT_EQ(loadedImageLength(controller), kFlash);

    const std::string big = folder.write("big.bin", patternBytes(kFlash + 1, 3));
    EXPECT_EQ(load(big), -1);
    EXPECT_TRUE(recorder.hasLine("File (" + big + ") too big for device."));
    expectNothingLoaded();
}

TEST_F(ImageLoading, MissingEmptyAndUnreadableFilesAreReadErrors) {
    setTarget();
    const std::string missing = folder.file("missing.bin");
    const std::string empty = folder.write("empty.bin", {});
    const std::string directory = folder.file("folder.bin");
    std::filesystem::create_directory(fsPath(directory));
    for (const std::string& path : {missing, empty, directory}) {
        recorder.clear();
        EXPECT_EQ(load(path), -1) << path;
        EXPECT_EQ(recorder.lines(), std::vector<std::string>{"File (" + path + ") read error."});
        expectNothingLoaded();
    }
}

TEST_F(ImageLoading, PathsAreShownVerbatimAndOverLongOnesRefused) {
    setTarget();
    const std::string percent = folder.write("100%s%d.bin", patternBytes(8, 4));
    ASSERT_EQ(load(percent), 0);
    EXPECT_EQ(utf8FromNative(imageFilePath(controller)), percent);

    // A path that does not fit the 260-unit field is refused rather than cut
    // (a cut path could name a different file).
    const std::string longPath = folder.file(std::string(300, 'n') + ".bin");
    EXPECT_EQ(load(longPath), -1);
    EXPECT_TRUE(recorder.hasLineStartingWith("File ("));
    EXPECT_TRUE(recorder.lines().back().find(") read error.") != std::string::npos);
    expectNothingLoaded();
}

TEST_F(ImageLoading, NonAsciiPathsReachTheFileAndTheMessage) {
    setTarget();
    const std::string name = "\xC3\xBC" "ber-\xE2\x82\xAC-\xF0\x9F\x98\x80.bin"; // u-umlaut, euro, emoji
    const auto bytes = patternBytes(100, 8);
    ASSERT_EQ(load(folder.write(name, bytes)), 0);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), loadedImageBytes(controller).begin()));

    const std::string missing = folder.file("fehlt-\xC3\xBC.bin");
    EXPECT_EQ(load(missing), -1);
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{"File (" + missing + ") read error."});
}

TEST_F(ImageLoading, OnlyLowerOrUpperHexExtensionSelectsIntelHex) {
    setTarget();
    const std::string text = hexRecord(0, {1, 2, 3, 4}) + hexEnd();
    for (const char* name : {"a.hex", "b.HEX"}) {
        ASSERT_EQ(load(folder.writeText(name, text)), 0) << name;
        EXPECT_EQ(loadedImageLength(controller), 4) << name;
        EXPECT_EQ(loadedImageBytes(controller)[3], 4);
    }
    for (const char* name : {"c.Hex", "d.hex.bin", "hexfile"}) {
        ASSERT_EQ(load(folder.writeText(name, text)), 0) << name;
        EXPECT_EQ(loadedImageLength(controller), static_cast<int32_t>(text.size())) << name;
        EXPECT_EQ(loadedImageBytes(controller)[0], ':') << name;
    }
}

TEST_F(ImageLoading, IntelHexPlacesRecordsRelativeToFlashStartAndLeavesGapsErased) {
    setTarget();
    const std::string text =
        hexLinearBase(0x0800) + hexRecord(0x0000, {0xAA, 0xBB}) + hexRecord(0x0100, {0xCC}) + hexEnd();
    ASSERT_EQ(load(folder.writeText("fw.hex", text)), 0);
    EXPECT_EQ(loadedImageLength(controller), 0x101);
    EXPECT_EQ(loadedImageBytes(controller)[0], 0xAA);
    EXPECT_EQ(loadedImageBytes(controller)[1], 0xBB);
    EXPECT_EQ(loadedImageBytes(controller)[2], 0xFF);
    EXPECT_EQ(loadedImageBytes(controller)[0xFF], 0xFF);
    EXPECT_EQ(loadedImageBytes(controller)[0x100], 0xCC);
}

TEST_F(ImageLoading, IntelHexTextHasTheLoadersLimit) {
    // A file of exactly the longest record text still loads; one byte more does not.
    setTarget(64, 16);
    std::string text = hexRecord(0, {0x11}) + hexEnd();
    text.resize(stm32LargestImageFile(STM32_IMAGE_INTEL_HEX, 64), '\n');
    ASSERT_EQ(load(folder.writeText("exact.hex", text)), 0);
    EXPECT_EQ(loadedImageLength(controller), 1);

    const std::string bigger = folder.writeText("bigger.hex", text + "\n");
    EXPECT_EQ(load(bigger), -1);
    EXPECT_TRUE(recorder.hasLine("File (" + bigger + ") too big for device."));
}

TEST_F(ImageLoading, IntelHexErrors) {
    setTarget();
    const std::string garbage = folder.writeText("bad.hex", "this is not intel hex\n");
    EXPECT_EQ(load(garbage), -1);
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{"File (" + garbage + ") decoding error."});
    expectNothingLoaded();

    // Data past the end of the 8 KB flash.
    recorder.clear();
    const std::string beyond =
        folder.writeText("beyond.hex", hexLinearBase(0x0800) + hexRecord(0x2000, {0x01}) + hexEnd());
    EXPECT_EQ(load(beyond), -1);
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{"File (" + beyond + ") too big for device."});
    expectNothingLoaded();
}

TEST_F(ImageLoading, SRecordFilesLoadByAnyOfTheirNamesAndSayWhatIsWrong) {
    setTarget();
    const std::string text = srecRecord(kStart + 0x10, {0xDE, 0xAD}) + srecRecord(kStart + 0x20, {0xBE}) + srecEnd();
    for (const char* name : {"fw.s19", "fw.S37", "fw.srec", "fw.mot"}) {
        ASSERT_EQ(load(folder.writeText(name, text)), 0) << name;
        EXPECT_EQ(loadedImageLength(controller), 0x21) << name;
        EXPECT_EQ(loadedImageBytes(controller)[0x10], 0xDE);
        EXPECT_EQ(loadedImageBytes(controller)[0x11], 0xAD);
        EXPECT_EQ(loadedImageBytes(controller)[0x12], 0xFF);
        EXPECT_EQ(loadedImageBytes(controller)[0x20], 0xBE);
    }

    // A wrong checksum: the line users know, then the loader's own reason.
    recorder.clear();
    std::string damaged = srecRecord(kStart, {0x01, 0x02});
    damaged[damaged.size() - 2] = damaged[damaged.size() - 2] == '0' ? '1' : '0';
    const std::string bad = folder.writeText("bad.srec", damaged + srecEnd());
    EXPECT_EQ(load(bad), -1);
    ASSERT_EQ(recorder.lines().size(), 2u);
    EXPECT_EQ(recorder.lines()[0], "File (" + bad + ") decoding error.");
    EXPECT_FALSE(recorder.lines()[1].empty());
    expectNothingLoaded();
}

TEST_F(ImageLoading, RecordTextHasTheLoadersLimit) {
    setTarget(64, 16);
    std::string text = srecRecord(kStart, {0x11}) + srecEnd();
    text.resize(stm32LargestImageFile(STM32_IMAGE_SREC, 64), '\n');
    ASSERT_EQ(load(folder.writeText("exact.s19", text)), 0);
    const std::string bigger = folder.writeText("bigger.s19", text + "\n");
    EXPECT_EQ(load(bigger), -1);
    EXPECT_TRUE(recorder.hasLine("File (" + bigger + ") too big for device."));
}

TEST_F(ImageLoading, OpenDialogOffersEveryKindTheLoaderReadsOnce) {
    const std::vector<ImageFileType> types = openDialogFileTypes();
    ASSERT_GE(types.size(), 4u);
    EXPECT_EQ(utf8FromNative(types[0].label), "Binary files");
    EXPECT_EQ(utf8FromNative(types[0].patterns), "*.bin");
    EXPECT_EQ(utf8FromNative(types[1].label), "Intel Hex files");
    EXPECT_EQ(utf8FromNative(types[1].patterns), "*.hex");
    EXPECT_EQ(utf8FromNative(types.back().patterns), "*.*");
    std::string all;
    for (size_t i = 0; i + 1 < types.size(); ++i) all += utf8FromNative(types[i].patterns) + ";";
    for (const char* extension : {"*.srec;", "*.s19;", "*.s28;", "*.s37;", "*.mot;", "*.elf;", "*.dfu;"}) {
        const size_t at = all.find(extension);
        ASSERT_NE(at, std::string::npos) << extension;
        EXPECT_EQ(all.find(extension, at + 1), std::string::npos) << extension;
    }
}

TEST_F(ImageLoading, OptionSizeLimitsTheImageOnlyWhileInUse) {
    setTarget();
    setOptionArea(controller, 0, 4096);
    const std::string path = folder.write("4097.bin", patternBytes(4097, 5));
    ASSERT_EQ(load(path), 0); // options not in use

    store.writeNumber("OptionsInUse", 1);
    EXPECT_EQ(load(path), -1);
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{"File too big : 4097 (max option size : 4096)."});
    expectNothingLoaded();
    EXPECT_EQ(load(folder.write("4096.bin", patternBytes(4096, 5))), 0);

    // An option size of 0 stands for the whole flash.
    setOptionArea(controller, 0, 0);
    EXPECT_EQ(load(folder.write("full.bin", patternBytes(kFlash, 6))), 0);
}

TEST_F(ImageLoading, OperationsWithoutATargetAreRefused) {
    EXPECT_EQ(downloadFromTarget(controller), -1);
    EXPECT_TRUE(recorder.hasLine("STM32 DFU Target not available(enable via User and Reset button)."));
    EXPECT_EQ(controllerIsIdle(controller), 1); // back to idle after the refusal
    EXPECT_EQ(writeDownloadFile(controller, nativeFromUtf8(folder.file("none.bin"))), -1);
    EXPECT_FALSE(fileExists(folder.file("none.bin")));
    startUpload(controller); // nothing loaded: nothing happens
    EXPECT_FALSE(uploadWasStarted(controller));
}

} // namespace
