// The stored fallback list is untrusted input, and the catalogue times are
// read back from the store the same way: what a hostile or damaged value
// holds never becomes a site or a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "sources/CatalogueFreshness.h"
#include "sources/SiteFallback.h"

namespace TesselSoftware {
namespace {

class StoredSiteListsTest : public ::testing::Test {
protected:
    StoredSiteListsTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        key_.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    }
    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    RegistryKey key_;
};

TEST_F(StoredSiteListsTest, UnusableFallbackEntriesAreSkippedAndTheListIsBounded) {
    EXPECT_TRUE(ReadFallbackSites(kDatFallbackSitesValue).empty()) << "no value: no fallback";
    std::vector<std::string> stored = {"http://origin.example/site", " ", std::string(1025, 'x'),
                                       "http://a.example/\nInjected: line", "http://b.example/\x7f",
                                       "/srv/dat-copy"};
    for (int i = 0; i < 10; ++i) stored.push_back("http://mirror" + std::to_string(i) + ".example/");
    key_.WriteMultiString(kDatFallbackSitesValue, stored);
    const std::vector<std::string> sites = ReadFallbackSites(kDatFallbackSitesValue);
    ASSERT_EQ(kMaxFallbackSites, sites.size());
    EXPECT_EQ("http://origin.example/site", sites[0]);
    EXPECT_EQ("/srv/dat-copy", sites[1]);
    EXPECT_EQ("http://mirror5.example/", sites.back());
    EXPECT_TRUE(ReadFallbackSites(kEngineFallbackSitesValue).empty()) << "the kinds keep their own lists";
    key_.WriteDword(kEngineFallbackSitesValue, 7);
    EXPECT_TRUE(ReadFallbackSites(kEngineFallbackSitesValue).empty()) << "a value of another type is no list";
}

TEST_F(StoredSiteListsTest, DamagedCatalogueTimesAreIgnoredAndTheNewestIsKept) {
    key_.WriteString("SignedCatalogueTimes",
                     "dat\toem.ini\t1796083200\n"
                     "dat\tavvdat.ini\tsoon\n"
                     "engine\tEngineUpdate.ini\t-5\n"
                     "dat\tavvdelta.ini\t99999999999999999\n"
                     "garbage without tabs\n");
    EXPECT_EQ(1796083200, NewestSignedCatalogue(CatalogueKind::kDat));
    EXPECT_EQ(0, NewestSignedCatalogue(CatalogueKind::kEngine));
    // An older signing time never lowers what was accepted.
    RecordAcceptedCatalogue(CatalogueKind::kDat, "oem.ini", {1796000000, 0});
    EXPECT_EQ("", CatalogueRefusal(CatalogueKind::kDat, "oem.ini", {1796083200, 0}, 1796083300));
    EXPECT_NE("", CatalogueRefusal(CatalogueKind::kDat, "oem.ini", {1796000000, 0}, 1796083300));
    RecordAcceptedCatalogue(CatalogueKind::kEngine, "EngineUpdate.ini", {1796090000, 0});
    EXPECT_EQ(1796090000, NewestSignedCatalogue(CatalogueKind::kEngine));
    EXPECT_EQ(1796083200, NewestSignedCatalogue(CatalogueKind::kDat));
}

}  // namespace
}  // namespace TesselSoftware
