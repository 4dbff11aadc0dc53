#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "acquisition/ServicesDatabase.h"

namespace tarvik {
namespace {

constexpr const char* kServices =
    "# comment line\n"
    "ftp\t\t21/tcp\n"
    "domain\t\t53/udp\t\t# first for 53, on udp\n"
    "dns\t\t53/tcp\n"
    "smtp  25/tcp  mail\r\n"
    "\n"
    "   \t\n"
    "broken 99999/tcp\n"
    "noproto 77\n"
    "garbage x/tcp\n"
    "ms-wbt-server 3389/tcp";

TEST(ServicesDatabaseTest, TheFirstEntryOfAPortWinsWhateverItsProtocol) {
    const auto database = CServicesDatabase::FromText(kServices);
    EXPECT_EQ(database.Lookup(21), "ftp");
    EXPECT_EQ(database.Lookup(53), "domain");
    EXPECT_EQ(database.Lookup(25), "smtp");
    EXPECT_EQ(database.Lookup(3389), "ms-wbt-server");
    EXPECT_EQ(database.Size(), 4u);
}

TEST(ServicesDatabaseTest, MalformedLinesAreIgnored) {
    const auto database = CServicesDatabase::FromText(kServices);
    EXPECT_FALSE(database.Lookup(99999));
    EXPECT_FALSE(database.Lookup(77));
    EXPECT_FALSE(database.Lookup(0));
    EXPECT_FALSE(database.Lookup(-1));
}

TEST(ServicesDatabaseTest, ReadsAFileAndToleratesAMissingOne) {
    const auto path = std::filesystem::temp_directory_path() / "tarvik-acq-services-test";
    {
        std::ofstream file(path);
        file << "http 80/tcp www\n";
    }
    EXPECT_EQ(CServicesDatabase::FromFile(path).Lookup(80), "http");
    std::filesystem::remove(path);
    EXPECT_EQ(CServicesDatabase::FromFile(path).Size(), 0u);
}

}  // namespace
}  // namespace tarvik
