#include "support/ServerFiles.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/SideFile.h"

namespace kestrel {
namespace {

TEST(ServerFilesTest, ServerFilesAreToldFromOthersByTheirWholeName) {
  for (const char* own :
       {"transfer.dat", "transfer_0.dat", "transfer_249.dat", "transfer_3.dat.~4711_0.part",
        "transfer.dat.~4711_0.part", "x.~1_23.part", "Alpha_anna_0.zip", "a_b_c_249.zip",
        "Pro_ject_us_er_17.zip", "XMLConfig_0.zip", "XMLConfig_249.zip", "serverlogs.zip",
        "serverlogs_build.zip"}) {
    EXPECT_TRUE(IsServerTempFile(own)) << own;
  }
  for (const char* other :
       {"notes.txt",         "XMLConfig_3.xml",       "rights.xml",        "backup.zip",
        "a_b.zip",           "Alpha_anna_250.zip",    "Alpha_anna_07.zip", "Alpha_anna_x.zip",
        "_anna_0.zip",       "Alpha__0.zip",          "Alpha_anna_0.ZIP",  "XMLConfig_.zip",
        "XMLConfig_250.zip", "transfer.dat.~12.part", ".~1_2.part",        "transfer.dat.~a_2.part",
        "transfer.dat.old",  "serverlogs.zip.bak",    "transfer_250.dat",  "transfer_07.dat",
        "transfer_.dat",     "transfer_1.dat.old"}) {
    EXPECT_FALSE(IsServerTempFile(other)) << other;
  }
}

TEST(ServerFilesTest, NamesAreBuiltInTheFormsTheTestKnows) {
  EXPECT_EQ(ClientArchivePath("Alpha", "anna", 3), ".\\Temp\\Alpha_anna_3.zip");
  EXPECT_TRUE(IsServerTempFile(ClientArchivePath("Alpha", "anna", 3).substr(7)));
  EXPECT_TRUE(IsServerTempFile(platform::SideFileName("transfer.dat")));
  EXPECT_EQ(StagingFilePath(249), ".\\Temp\\transfer_249.dat");
  EXPECT_TRUE(IsServerTempFile(StagingFilePath(249).substr(7)));
}

TEST(ServerFilesTest, FilesOutsideTempHaveTheirFixedForms) {
  EXPECT_EQ(ScanResultPath("P", "u"), ".\\Config\\Scanresult_P_u.xml");
  EXPECT_EQ(ScanResultOldPath(ScanResultPath("P", "u")), ".\\Config\\Scanresult_P_u.xml.old");
  EXPECT_EQ(BackupPath("08_12_26 03_15_09", kConfigOldSuffix),
            ".\\Backup\\08_12_26 03_15_09_ServerConfig_old.xml");
  EXPECT_EQ(LogbookPath(2026, 3), ".\\logs\\Server Logbook 2026_03.log");
  EXPECT_EQ(ConnectionsLogPath(2026, 12), "logs\\Connections 2026_12.log");
  EXPECT_EQ(FolderRightsPath("R\\a", "b"), "R\\a\\~b.xml");
  EXPECT_TRUE(IsScanResultName("SCANRESULT_p_u.XML"));
  EXPECT_FALSE(IsScanResultName("Scanresult_p_u.xml.old"));
}

}  // namespace
}  // namespace kestrel
