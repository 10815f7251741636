// The library file itself: exactly the four entry points are visible, and
// the version note (and the version in EngineInitResult) is the one the
// build asked for, for the default engine and for a variant.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "Common/Platform/FileVersion.h"
#include "EngineTestSupport.h"

extern "C" int ContractHeaderCheckFromC(void);

namespace VexorEngine::Testing {
namespace {

// The names of the defined dynamic symbols, sorted, one per line.
std::string ExportedSymbols(const std::string& library) {
    const std::string command =
        "nm -D --defined-only --format=just-symbols '" + library + "' | LC_ALL=C sort";
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    if (!pipe) {
        return "nm failed";
    }
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        output += buffer;
    }
    return output;
}

TEST(EngineBinary, ExportsOnlyTheFourEntryPoints) {
    EXPECT_EQ("AVClose\nAVInitialise\nAVScanObject\nAVUpdate\n",
              ExportedSymbols(VEXOR_ENGINE_LIBRARY));
}

TEST(EngineBinary, VersionNoteAndInitResultCarryTheBuiltVersion) {
    const struct {
        const char* path;
        const char* version;
        uint32_t major, minor;
    } cases[] = {
        {VEXOR_ENGINE_LIBRARY, "6.1.0.0", 6, 1},
        {VEXOR_ENGINE_VARIANT, "7.3.5.9", 7, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto version = TesselSoftware::ReadFileVersion(c.path);
        ASSERT_TRUE(version.has_value());
        EXPECT_EQ(c.version, version->ToString());

        TesselSoftware::Testing::ScratchDir dir;
        WriteSampleSet(dir / "dat");
        EngineLibrary engine(c.path);
        ASSERT_TRUE(engine.loaded());
        InitCall init(dir / "dat", false);
        ASSERT_EQ(0, init.Run(engine));
        EXPECT_EQ(c.major, init.result.major);
        EXPECT_EQ(c.minor, init.result.minor);
        EXPECT_EQ(0, engine.close(init.result.handle));
    }
}

TEST(EngineBinary, ContractHeaderIsValidC) {
    EXPECT_EQ(36, ContractHeaderCheckFromC());
}

}  // namespace
}  // namespace VexorEngine::Testing
