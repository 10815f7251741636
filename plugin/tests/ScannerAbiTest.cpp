// A host written against the public header only, calling libTSVexor.so by
// vtable slot index as a gateway does, with the real engine and DAT files.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "PluginTestSupport.h"
#include "TSVexor/Scanner.h"
#include "TestSupport.h"

namespace {

using namespace TesselSoftware;

// Calls slot `slot` of object's vtable with the given arguments.
template <typename Result, typename... Args>
Result CallSlot(void* object, int slot, Args... args) {
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Result (*)(void*, Args...)>(table[slot])(object, args...);
}

class AbiTest : public ::testing::Test {
protected:
    void SetUp() override {
        Testing::PluginTestRoot();
        Testing::ClearProductKey();
        library_ = ::dlopen(VEXOR_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, library_) << ::dlerror();
        create_ = reinterpret_cast<CreateScannerInterfaceFn>(::dlsym(library_, "CreateScannerInterface"));
        ASSERT_NE(nullptr, create_);
    }
    void TearDown() override {
        if (library_ != nullptr) ::dlclose(library_);
    }
    void* library_ = nullptr;
    CreateScannerInterfaceFn create_ = nullptr;
    Testing::ScratchDir dir_;
};

TEST_F(AbiTest, OnlyTheFactoryIsExported) {
    EXPECT_EQ(nullptr, ::dlsym(library_, "AVInitialise"));
    EXPECT_EQ(nullptr, ::dlsym(library_, "_ZN14TesselSoftware11EngineState8InstanceEv"));
}

TEST_F(AbiTest, FactoryVersionReferenceCountAndLoggerSlots) {
    EXPECT_EQ(nullptr, create_(0x10001));
    EXPECT_EQ(nullptr, create_(0));
    void* scanner = create_(kScannerInterfaceVersion);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(kScannerInterfaceVersion, (CallSlot<uint32_t>(scanner, 8)));
    void* untouched = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(kScannerNoInterface, (CallSlot<int32_t, const void*, void**>(scanner, 0, nullptr, &untouched)));
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), untouched);
    EXPECT_EQ(2u, (CallSlot<uint32_t>(scanner, 1)));
    EXPECT_EQ(1u, (CallSlot<uint32_t>(scanner, 2)));

    Testing::RecordingLogger old_logger(0xFFFF), logger;
    EXPECT_EQ(0, (CallSlot<int32_t, IScannerLogger*>(scanner, 9, &old_logger)));
    EXPECT_EQ(nullptr, (CallSlot<IScannerLogger*>(scanner, 10)));
    EXPECT_EQ(0, (CallSlot<int32_t, IScannerLogger*>(scanner, 9, nullptr)));
    EXPECT_EQ(1, (CallSlot<int32_t, IScannerLogger*>(scanner, 9, &logger)));
    EXPECT_EQ(&logger, (CallSlot<IScannerLogger*>(scanner, 10)));
    EXPECT_EQ(0, (CallSlot<int32_t, IScannerLogger*>(scanner, 9, &old_logger)));
    EXPECT_EQ(&logger, (CallSlot<IScannerLogger*>(scanner, 10)));
    EXPECT_EQ(0u, (CallSlot<uint32_t>(scanner, 2)));  // destroyed through slot 7
}

TEST_F(AbiTest, ScanAndCleanWithTheRealEngineThroughTheSlots) {
    const std::string dat = Testing::WriteTestDatSet(dir_ / "dat/avvdat-1-files", 1);
    Testing::ConfigureDat(dat, 1);
    Testing::ConfigureEngine(VEXOR_ENGINE_LIBRARY_DIR, "engine-1");
    Testing::WriteFile(dir_ / "clean.txt", "nothing to see here");
    Testing::WriteFile(dir_ / "alpha.bin", std::string("head ") + Testing::kAlphaMarker + " tail");

    void* scanner = create_(kScannerInterfaceVersion);
    ASSERT_NE(nullptr, scanner);
    Testing::RecordingLogger logger;
    CallSlot<int32_t, IScannerLogger*>(scanner, 9, &logger);
    ScannerOptions options{};
    Testing::OwnedInfo info;
    Testing::OwnedText error;
    ASSERT_EQ(kInitReady, (CallSlot<int32_t, const ScannerOptions*, ScannerInfo*, ScannerText*>(
                              scanner, 3, &options, &info, &error)))
        << error.str();
    EXPECT_STREQ("6.1", info.engine_version.text);
    EXPECT_EQ(1, info.ready);

    Testing::OwnedText virus, message;
    EXPECT_EQ(kScanClean, (CallSlot<int32_t, const char*, ScannerText*, ScannerText*>(
                              scanner, 4, (dir_ / "clean.txt").c_str(), &virus, &message)));
    EXPECT_EQ(kScanInfected, (CallSlot<int32_t, const char*, ScannerText*, ScannerText*>(
                                 scanner, 4, (dir_ / "alpha.bin").c_str(), &virus, &message)));
    EXPECT_EQ("Test.Alpha", virus.str());
    EXPECT_EQ(kCleanDone, (CallSlot<int32_t, const char*, ScannerText*>(
                              scanner, 5, (dir_ / "alpha.bin").c_str(), &message)))
        << message.str();
    EXPECT_EQ("head  tail", Testing::ReadFile(dir_ / "alpha.bin"));
    EXPECT_EQ(kScanClean, (CallSlot<int32_t, const char*, ScannerText*, ScannerText*>(
                              scanner, 4, (dir_ / "alpha.bin").c_str(), &virus, &message)));
    CallSlot<void>(scanner, 6);
    EXPECT_EQ(0u, (CallSlot<uint32_t>(scanner, 2)));
    EXPECT_TRUE(logger.Contains("1 Found virus 'Test.Alpha'"));
}

}  // namespace
