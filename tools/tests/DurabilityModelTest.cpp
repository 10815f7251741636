#include "DurabilityModel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace TesselSoftware::PowerCut {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DurabilityModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = fs::temp_directory_path() / ("durability-" + std::to_string(::getpid()));
        live_ = scratch_ / "live";
        after_ = scratch_ / "after";
        fs::create_directories(live_);
        fs::create_directories(after_);
        std::ofstream(live_ / "old") << "old data";
    }
    void TearDown() override { fs::remove_all(scratch_); }

    // Writes path in the live tree; with model, fsyncs it there.
    void Write(const fs::path& path, const std::string& text, DurabilityModel* model) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
        if (model != nullptr) model->SyncFile(fd);
        ::close(fd);
    }

    fs::path scratch_;
    fs::path live_;
    fs::path after_;
};

// The writer's classic pattern, cut at each step: write a temporary file,
// fsync it, rename it over the old one, fsync the folder.
TEST_F(DurabilityModelTest, AReplacementIsDurableOnlyOnceItsFolderIsSynced) {
    for (const auto mode : {DurabilityModel::Mode::kStrict, DurabilityModel::Mode::kOrdered}) {
        SCOPED_TRACE(mode == DurabilityModel::Mode::kStrict ? "strict" : "ordered");
        fs::remove_all(live_);
        fs::create_directories(live_);
        std::ofstream(live_ / "old") << "old data";
        DurabilityModel model(mode, live_);
        Write(live_ / "new.tmp", "new data", nullptr);
        model.Created("/new.tmp");
        model.Materialize(after_);
        EXPECT_EQ("old data", Read(after_ / "old"));
        EXPECT_FALSE(fs::exists(after_ / "new.tmp"));

        // Strict: a name needs its folder's fsync; ordered: any later
        // durability point, here the file's own.
        Write(live_ / "new.tmp", "new data", &model);
        model.Materialize(after_);
        EXPECT_EQ(mode == DurabilityModel::Mode::kOrdered, fs::exists(after_ / "new.tmp"));
        model.Removing("/old");
        fs::rename(live_ / "new.tmp", live_ / "old");
        model.Materialize(after_);
        EXPECT_EQ("old data", Read(after_ / "old")) << "a rename without a folder fsync survived";

        model.SyncFolder("");
        model.Materialize(after_);
        EXPECT_EQ("new data", Read(after_ / "old"));
        EXPECT_FALSE(fs::exists(after_ / "new.tmp"));
    }
}

// Data that was never fsynced is gone, even where its name survived: the
// zero-length file of a rename without the data's fsync.
TEST_F(DurabilityModelTest, DataWithoutItsFsyncIsLostWhereItsNameSurvives) {
    DurabilityModel model(DurabilityModel::Mode::kStrict, live_);
    Write(live_ / "unsynced", "never synced", nullptr);
    model.Created("/unsynced");
    Write(live_ / "old", "rewritten", nullptr);
    model.SyncFolder("");
    model.Materialize(after_);
    EXPECT_TRUE(fs::exists(after_ / "unsynced"));
    EXPECT_EQ("", Read(after_ / "unsynced"));
    EXPECT_EQ("old data", Read(after_ / "old"));
}

}  // namespace
}  // namespace TesselSoftware::PowerCut
