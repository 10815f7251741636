// AVScanObject through dlopen: whole callback sequences for plain files,
// containers and the objects that cannot be scanned.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineTestSupport.h"
#include "TestSupport.h"

namespace VexorEngine::Testing {
namespace {

using TesselSoftware::Testing::ScratchDir;
using TesselSoftware::Testing::WriteFile;

using EngineScan = StartedEngineTest;

TEST_F(EngineScan, PlainFilesReportEachSignatureOnceAtItsFirstOffset) {
    const std::string filler(65530, 'f');
    const struct {
        const char* label;
        std::string content;
        std::string expected;
    } cases[] = {
        {"clean", "nothing to see here\n", "enter\nname $/f\nsummary 0\nleave"},
        {"eicar", kEicar,
         "enter\nname $/f\ninfected EICAR-Test-File in $/f at 0\nsummary 3\nleave"},
        {"wildcards", std::string("hello VXWILDabMARK\0\xff bye", 24),
         "enter\nname $/f\ninfected Vexor.Test.Wildcard in $/f at 6\nsummary 3\nleave"},
        {"wildcard with a wrong fixed byte", std::string("VXWILDabMARK\0\xfe", 14),
         "enter\nname $/f\nsummary 0\nleave"},
        {"two signatures, reported by where they end",
         "VEXOR-UNCLEANABLE-TEST-SIGNATURE VEXOR-REPAIRABLE-TEST-SIGNATURE",
         "enter\nname $/f\ninfected Vexor.Test.Uncleanable in $/f at 0\n"
         "infected Vexor.Test.Repairable in $/f at 33\nsummary 3\nleave"},
        {"one signature twice", "xxVEXOR-REPAIRABLE-TEST-SIGNATURE VEXOR-REPAIRABLE-TEST-SIGNATURE",
         "enter\nname $/f\ninfected Vexor.Test.Repairable in $/f at 2\nsummary 3\nleave"},
        {"across a read boundary", filler + kEicar,
         "enter\nname $/f\ninfected EICAR-Test-File in $/f at 65530\nsummary 3\nleave"},
        {"truncated signature", std::string(kEicar, 60), "enter\nname $/f\nsummary 0\nleave"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFile(dir_ / "f", c.content);
        EXPECT_EQ(c.expected, Scan("f"));
    }
}

TEST_F(EngineScan, InfectedZipMemberIsReportedInsideItsContainer) {
    WriteFile(dir_ / "mail.zip", MakeZip({{"readme.txt", "hello"}, {"eicar.com", kEicar}}));
    EXPECT_EQ(
        "enter\nname $/mail.zip\ncontainer-start\n"
        "enter\nname $/mail.zip/readme.txt\nleave\n"
        "enter\nname $/mail.zip/eicar.com\n"
        "infected EICAR-Test-File in $/mail.zip/eicar.com at 0\nleave\n"
        "container-end\nsummary 3\nleave",
        Scan("mail.zip"));
}

TEST_F(EngineScan, NestedZipIsScannedMemberByMember) {
    const std::string inner = MakeZip({{"deep/drop.txt", "xxVEXOR-REPAIRABLE-TEST-SIGNATURE"}});
    WriteFile(dir_ / "outer.zip", MakeZip({{"inner.zip", inner}, {"empty.txt", ""}}));
    EXPECT_EQ(
        "enter\nname $/outer.zip\ncontainer-start\n"
        "enter\nname $/outer.zip/inner.zip\ncontainer-start\n"
        "enter\nname $/outer.zip/inner.zip/deep/drop.txt\n"
        "infected Vexor.Test.Repairable in $/outer.zip/inner.zip/deep/drop.txt at 2\nleave\n"
        "container-end\nleave\n"
        "enter\nname $/outer.zip/empty.txt\nleave\n"
        "container-end\nsummary 3\nleave",
        Scan("outer.zip"));
}

TEST_F(EngineScan, CleanZipSummarisesOk) {
    WriteFile(dir_ / "a.zip", MakeZip({{"a.txt", "alpha"}, {"b.txt", "beta"}}));
    EXPECT_EQ(
        "enter\nname $/a.zip\ncontainer-start\n"
        "enter\nname $/a.zip/a.txt\nleave\nenter\nname $/a.zip/b.txt\nleave\n"
        "container-end\nsummary 0\nleave",
        Scan("a.zip"));
}

TEST_F(EngineScan, EncryptedMemberIsReportedAndSkipped) {
    WriteFile(dir_ / "locked.zip",
              MakeStoredZip({{"secret.txt", kEicar, true}, {"open.txt", "plain text"}}));
    EXPECT_EQ(
        "enter\nname $/locked.zip\ncontainer-start\n"
        "enter\nname $/locked.zip/secret.txt\nnot-scanned 3\nleave\n"
        "enter\nname $/locked.zip/open.txt\nleave\n"
        "container-end\nsummary 1\nleave",
        Scan("locked.zip"));
}

TEST_F(EngineScan, DamagedZipIsReportedCorrupt) {
    const std::string member(5000, 'A');
    const std::string zip = MakeZip({{"a.txt", member}, {"b.txt", "bee"}});
    // The first member's data follows its 30-byte header, name and extra field.
    const size_t data_at = 30 + static_cast<uint8_t>(zip[26]) + static_cast<uint8_t>(zip[28]);
    std::string damaged_data = zip;
    for (size_t i = data_at + 2; i < data_at + 8; ++i) {
        damaged_data[i] = static_cast<char>(damaged_data[i] ^ 0x5A);
    }
    const struct {
        const char* label;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"damaged compressed data", damaged_data,
         "enter\nname $/z.zip\ncontainer-start\nenter\nname $/z.zip/a.txt\nnot-scanned 14\n"
         "leave\ncontainer-end\nsummary 1\nleave"},
        {"cut short inside the first member", zip.substr(0, data_at + 5),
         "enter\nname $/z.zip\ncontainer-start\nenter\nname $/z.zip/a.txt\nnot-scanned 14\n"
         "leave\ncontainer-end\nsummary 1\nleave"},
        {"only a signature", std::string("PK\3\4", 4),
         "enter\nname $/z.zip\ncontainer-start\nnot-scanned 14\ncontainer-end\nsummary 1\nleave"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFile(dir_ / "z.zip", c.bytes);
        EXPECT_EQ(c.expected, Scan("z.zip"));
    }
}

TEST_F(EngineScan, ObjectsThatCannotBeReadGiveTheirReason) {
    WriteFile(dir_ / "empty", "");
    ::mkdir((dir_ / "folder").c_str(), 0755);
    ::mkfifo((dir_ / "fifo").c_str(), 0644);  // would block a reader that waits for a writer
    const struct {
        const char* name;
        std::string expected;
    } cases[] = {
        {"empty", "enter\nname $/empty\nnot-scanned 13\nsummary 1\nleave"},
        {"missing", "enter\nname $/missing\nnot-scanned 9\nsummary 1\nleave"},
        {"folder", "enter\nname $/folder\nnot-scanned 7\nsummary 1\nleave"},
        {"fifo", "enter\nname $/fifo\nnot-scanned 7\nsummary 1\nleave"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Scan(c.name));
    }
}

TEST_F(EngineScan, UnreadableFileIsReportedAsAccessDenied) {
    // Root reads every file, so the scan runs as an unprivileged account.
    WriteFile(dir_ / "private.txt", kEicar);
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    ASSERT_EQ(0, ::chmod((dir_ / "private.txt").c_str(), 0));
    const std::string path = dir_ / "private.txt";
    const uint64_t handle = handle_;
    EngineLibrary& engine = engine_;
    const auto child = TesselSoftware::Testing::RunInChild(
        [&](int out_fd) {
            Recorder recorder(dir_.path());
            ScanCall call(path, &recorder, false);
            const uint16_t status = call.Run(engine, handle);
            const std::string text = std::to_string(status) + "\n" + recorder.Text();
            return ::write(out_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
                       ? 0
                       : 1;
        },
        true);
    EXPECT_EQ(0, child.status);
    EXPECT_EQ("0\nenter\nname $/private.txt\nnot-scanned 8\nsummary 1\nleave", child.output);
}

TEST_F(EngineScan, ContainersPastTheDepthLimitAreNotOpened) {
    const auto nest = [](int levels) {
        std::string zip = MakeZip({{"eicar.com", kEicar}});
        for (int i = 1; i < levels; ++i) {
            zip = MakeZip({{"z.zip", zip}});
        }
        return zip;
    };
    WriteFile(dir_ / "eight.zip", nest(8));
    WriteFile(dir_ / "nine.zip", nest(9));
    const std::string eight = Scan("eight.zip");
    const std::string nine = Scan("nine.zip");
    EXPECT_NE(std::string::npos, eight.find("infected EICAR-Test-File"));
    EXPECT_EQ(std::string::npos, eight.find("not-scanned"));
    EXPECT_EQ(std::string::npos, nine.find("infected"));
    EXPECT_NE(std::string::npos,
              nine.find("name $/nine.zip/z.zip/z.zip/z.zip/z.zip/z.zip/z.zip/z.zip/z.zip\n"
                        "not-scanned 2\nleave"));
    EXPECT_EQ("\nsummary 2\nleave", nine.substr(nine.size() - 16));
}

TEST_F(EngineScan, MalformedScanRequestsAreRefused) {
    WriteFile(dir_ / "f", "clean");
    const struct {
        const char* label;
        void (*mutate)(ScanCall&);
        uint64_t reserved;
        uint16_t expected;
    } cases[] = {
        {"valid", [](ScanCall&) {}, 0, kEngineStatusOk},
        {"reserved argument not zero", [](ScanCall&) {}, 1, kEngineStatusBadArgument},
        {"request size 16", [](ScanCall& c) { c.request.size = 16; }, 0, kEngineStatusBadArgument},
        {"item size 12", [](ScanCall& c) { c.items[3].size = 12; }, 0, kEngineStatusBadArgument},
        {"descriptor size 32", [](ScanCall& c) { c.object.size = 32; }, 0,
         kEngineStatusBadArgument},
        {"descriptor kind 3", [](ScanCall& c) { c.object.kind = 3; }, 0, kEngineStatusBadArgument},
        {"descriptor without path", [](ScanCall& c) { c.object.path = nullptr; }, 0,
         kEngineStatusBadArgument},
        {"object length 24", [](ScanCall& c) { c.Item(kEngineTagObject)->length = 24; }, 0,
         kEngineStatusBadTag},
        {"no object", [](ScanCall& c) { c.items.erase(c.items.begin() + 1); }, 0,
         kEngineStatusBadTag},
        {"unknown tag 999",
         [](ScanCall& c) {
             c.items.push_back({16, 999, 0, 0});
         },
         0, kEngineStatusBadTag},
        {"flag with a value", [](ScanCall& c) { c.Item(401)->value = 1; }, 0, kEngineStatusBadTag},
        {"tag repeated", [](ScanCall& c) { c.items.push_back(c.items[2]); }, 0,
         kEngineStatusBadTag},
        {"callback length 4", [](ScanCall& c) { c.Item(kEngineTagCallback)->length = 4; }, 0,
         kEngineStatusBadTag},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Recorder recorder(dir_.path());
        ScanCall call(dir_ / "f", &recorder, false);
        c.mutate(call);
        EXPECT_EQ(c.expected, call.Run(engine_, handle_, c.reserved));
        EXPECT_EQ(c.expected == kEngineStatusOk ? "enter\nname $/f\nsummary 0\nleave" : "",
                  recorder.Text());
    }
    Recorder recorder;
    ScanCall call(dir_ / "f", &recorder, false);
    EXPECT_EQ(kEngineStatusBadHandle, call.Run(engine_, handle_ + 1));
    EXPECT_EQ(kEngineStatusBadArgument, engine_.scan(handle_, nullptr, 0));
}

}  // namespace
}  // namespace VexorEngine::Testing
