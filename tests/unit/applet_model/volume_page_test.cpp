// The volumes page of the settings dialog: the rows of the volumes of the
// machine (through the fake volume listing), DEFAULT and the volume keys
// as the dialog writes them, and the service's reading of what it wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "applet/settings_model.h"
#include "common/errors.h"
#include "common/watch_settings.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

constexpr int64_t kGiB = 1LL << 30;

VolumeInfo Volume(const std::string& guid, std::vector<std::string> paths, const std::string& label,
                  VolumeKind kind = VolumeKind::kFixed) {
  VolumeInfo volume;
  volume.name = "\\\\?\\Volume{" + guid + "}\\";
  volume.paths = std::move(paths);
  volume.label = label;
  volume.fileSystem = "NTFS";
  volume.kind = kind;
  return volume;
}

// The file's sections every test starts from: mail off, C's threshold.
const char kBase[] =
    "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\nREMIND=0\r\nRECOVERYMAIL=0\r\n"
    "[DRIVE]\r\nC=10%\r\n"
    "[MAIL]\r\nSMTP=\r\nPORT=25\r\nMAILFROM=dw@example.jp\r\nMAILTO=\r\nMAILCC=\r\nSECURITY=NONE\r\nUSER=\r\n"
    "PASSWORD=\r\nTLSVERIFY=1\r\n";

class VolumePageTest : public ::testing::Test {
 public:
  VolumePageTest() {
    drives.drives['C'] = {kDriveFixed, 20 * kGiB, 100 * kGiB, true, nullptr};
    drives.volumes = {
        Volume("c", {"C:\\"}, "System"),
        // A volume mounted in two folders.
        Volume("log", {"C:\\SQLData\\Log\\", "C:\\Mounts\\Log\\"}, "SQLLOG"),
        // A volume with no path at all.
        Volume("bak", {}, "Backup"),
        Volume("usb", {"E:\\"}, "Stick", VolumeKind::kOther),
        Volume("data", {"C:\\Data\\"}, ""),
    };
    drives.volumeSpaces["C:\\"] = {kDriveFixed, 20 * kGiB, 100 * kGiB, true, nullptr};
    drives.volumeSpaces["C:\\SQLData\\Log\\"] = {kDriveFixed, 3 * kGiB, 50 * kGiB, true, nullptr};
    drives.volumeSpaces["\\\\?\\Volume{bak}\\"] = {kDriveFixed, 1 * kGiB, 2 * kGiB, true, nullptr};
    drives.volumeSpaces["C:\\Data\\"] = {kDriveFixed, 0, 0, false, nullptr};  // cannot be measured
  }

  void Open(const std::string& file) {
    profiles.SetFile(kIniFileName, file);
    model = std::make_unique<SettingsModel>(view, profiles, drives, boxes, services);
    view.model = model.get();
    model->FormCreate();
  }
  bool Save() {
    boxes.answers = {MessageBoxResult::No};  // no restart
    return model->SaveSettingsEx(true) == SaveOutcome::Saved;
  }
  int Row(const std::string& path) const {
    const auto& rows = model->Volumes().Rows();
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].path == path) return static_cast<int>(i);
    return -1;
  }
  const VolumeRow& RowOf(const std::string& path) const {
    const int index = Row(path);
    EXPECT_GE(index, 0) << path;
    return model->Volumes().Rows().at(static_cast<size_t>(index < 0 ? 0 : index));
  }
  std::string Saved() const { return profiles.FileText(kIniFileName); }
  // The service's reading of the saved file against the same volumes.
  WatchSettings ServiceReads() const {
    WatchSettingsInputs inputs;
    inputs.fixedLetters = "C";
    inputs.capacities['C'] = 100 * kGiB;
    inputs.volumes = drives.volumes;
    return ReadWatchSettings(ProfileSnapshot::OfBytes(Saved()), inputs);
  }

  test::FakeDrives drives;
  test::FakeProfiles profiles;
  test::FakeSettingsView view;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  std::unique_ptr<SettingsModel> model;
};

TEST_F(VolumePageTest, RowsOfTheListing) {
  Open(std::string(kBase) + "[VOLUME]\r\nC:\\Mounts\\Log=5%\r\nD:\\Gone=1MB\r\n");
  struct Expected {
    std::string path;
    std::string label;
    char letter;
    bool keyable, listed, measured;
    int64_t freeBytes;
    VolumeChoice choice;
    std::string limit;
  };
  const std::vector<Expected> expected = {
      {"C:\\", "System", 'C', true, true, true, 20 * kGiB, VolumeChoice::Own, "10%"},
      // The key names the volume's second path: the row takes its path.
      {"C:\\Mounts\\Log", "SQLLOG", 0, true, true, true, 3 * kGiB, VolumeChoice::Own, "5%"},
      {"\\\\?\\Volume{bak}\\", "Backup", 0, false, true, true, 1 * kGiB, VolumeChoice::Default, ""},
      {"C:\\Data", "", 0, true, true, false, -1, VolumeChoice::Default, ""},
      // A key with no volume behind it is a row, so that it can be taken out.
      {"D:\\Gone", "", 0, true, false, false, -1, VolumeChoice::Own, "1MB"},
  };
  const auto& rows = model->Volumes().Rows();
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const Expected& e = expected[i];
    EXPECT_EQ(rows[i].path, e.path) << i;
    EXPECT_EQ(rows[i].label, e.label) << e.path;
    EXPECT_EQ(rows[i].letter, e.letter) << e.path;
    EXPECT_EQ(rows[i].keyable, e.keyable) << e.path;
    EXPECT_EQ(rows[i].listed, e.listed) << e.path;
    EXPECT_EQ(rows[i].measured, e.measured) << e.path;
    if (e.measured) {
      EXPECT_EQ(rows[i].freeBytes, e.freeBytes) << e.path;
    }
    EXPECT_EQ(rows[i].choice, e.choice) << e.path;
    EXPECT_EQ(rows[i].limitText, e.limit) << e.path;
  }
  EXPECT_FALSE(view.applyEnabled);
}

TEST_F(VolumePageTest, UnchangedSavesKeepTheFileAsItWas) {
  const std::vector<std::string> files = {
      kBase,
      std::string(kBase) + "[VOLUME]\r\nC:\\Data=500MB\r\nIGNORE=C:\\SQLData\\Log,X:\\Elsewhere\r\n"
                           "; a comment\r\n[OTHER]\r\nKEY=kept\r\n",
  };
  for (std::string file : files) {
    // DEFAULT goes at the end of [DRIVE], as a first write of it would.
    if (file != kBase) file.replace(file.find("C=10%\r\n"), 7, "C=10%\r\nDEFAULT=2%\r\n");
    Open(file);
    EXPECT_TRUE(Save()) << file;
    EXPECT_EQ(Saved(), file);
  }
}

TEST_F(VolumePageTest, ChoicesAreWrittenAsTheServiceReadsThem) {
  Open(kBase);
  ASSERT_TRUE(model->SetDefaultLimit("5%").Ok());
  EXPECT_TRUE(view.applyEnabled);
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\Data"), VolumeChoice::Own, "500MB").Ok());
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\SQLData\\Log"), VolumeChoice::Ignored, "").Ok());
  // The letter's row sets the warning page's threshold of C.
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\"), VolumeChoice::Own, "2048MB").Ok());
  EXPECT_EQ(view.lists[SettingsList::Limit], std::vector<std::string>{LimitLine('C', "2048MB")});
  ASSERT_TRUE(Save());
  const std::string saved = Saved();
  EXPECT_NE(saved.find("C=2048MB\r\nDEFAULT=5%\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[VOLUME]\r\nC:\\Data=500MB\r\nIGNORE=C:\\SQLData\\Log\r\n"), std::string::npos) << saved;
  const WatchSettings read = ServiceReads();
  ASSERT_EQ(read.drives.size(), 1u);
  EXPECT_EQ(read.drives[0].LimitText, "2048MB");
  // Data under its own key, the pathless volume under DEFAULT, the log
  // volume ignored.
  ASSERT_EQ(read.volumes.size(), 2u);
  EXPECT_EQ(read.volumes[0].volume.name, "\\\\?\\Volume{bak}\\");
  EXPECT_EQ(read.volumes[0].limitText, "5%");
  EXPECT_EQ(read.volumes[1].volume.name, "\\\\?\\Volume{data}\\");
  EXPECT_EQ(read.volumes[1].limitText, "500MB");

  // Back to no setting: the keys go, the file reads as one without them.
  ASSERT_TRUE(model->SetDefaultLimit("").Ok());
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\Data"), VolumeChoice::Default, "").Ok());
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\SQLData\\Log"), VolumeChoice::Default, "").Ok());
  ASSERT_TRUE(Save());
  EXPECT_EQ(Saved().find("DEFAULT"), std::string::npos) << Saved();
  EXPECT_EQ(Saved().find("C:\\Data"), std::string::npos) << Saved();
  EXPECT_EQ(Saved().find("IGNORE"), std::string::npos) << Saved();
  EXPECT_TRUE(ServiceReads().volumes.empty());
}

TEST_F(VolumePageTest, TheThresholdColumnSaysWhatWatchesEachVolume) {
  drives.volumes.push_back(Volume("ram", {"C:\\RamDisk\\"}, "", VolumeKind::kMemory));
  drives.volumeSpaces["C:\\RamDisk\\"] = {kDriveFixed, 1 * kGiB, 2 * kGiB, true, nullptr};
  Open(std::string(kBase) + "[VOLUME]\r\nC:\\RamDisk=50%\r\nD:\\Gone=1MB\r\nIGNORE=C:\\SQLData\\Log\r\n");
  ASSERT_TRUE(model->SetDefaultLimit("5%").Ok());
  struct Case {
    std::string path;
    std::string before;  // as loaded, DEFAULT on
    std::string cleared;  // after 既定に戻す
  };
  const std::vector<Case> cases = {
      {"C:\\", "10%", "既定 (5%)"},
      {"C:\\SQLData\\Log", "監視しない", "既定 (5%)"},
      {"\\\\?\\Volume{bak}\\", "既定 (5%)", "既定 (5%)"},
      // DEFAULT reaches neither a RAM disk nor a path with no volume.
      {"C:\\RamDisk", "50%", "なし"},
      {"D:\\Gone", "1MB", "なし"},
  };
  const VolumeSettingsModel& volumes = model->Volumes();
  for (const Case& c : cases) EXPECT_EQ(volumes.ChoiceText(RowOf(c.path)), c.before) << c.path;
  for (const Case& c : cases) {
    ASSERT_TRUE(model->SetVolumeChoice(Row(c.path), VolumeChoice::Default, "").Ok()) << c.path;
    EXPECT_EQ(volumes.ChoiceText(RowOf(c.path)), c.cleared) << c.path;
  }
}

TEST_F(VolumePageTest, RefusalsSayWhyAndWriteNothing) {
  struct Case {
    const char* what;
    std::function<Status(SettingsModel&, VolumePageTest&)> act;
    const char* message;  // a part of the message shown
  };
  const std::vector<Case> cases = {
      {"a DEFAULT that is no threshold",
       [](SettingsModel& m, VolumePageTest&) { return m.SetDefaultLimit("ten"); }, "既定のしきい値 'ten'"},
      {"a threshold the service does not read",
       [](SettingsModel& m, VolumePageTest& t) {
         return m.SetVolumeChoice(t.Row("C:\\Data"), VolumeChoice::Own, "5 percent");
       },
       "しきい値を読み取れません"},
      {"a volume without a path has no key",
       [](SettingsModel& m, VolumePageTest& t) {
         return m.SetVolumeChoice(t.Row("\\\\?\\Volume{bak}\\"), VolumeChoice::Ignored, "");
       },
       "マウント パスがない"},
      {"no row", [](SettingsModel& m, VolumePageTest&) { return m.SetVolumeChoice(99, VolumeChoice::Own, "1%"); },
       "ボリュームを選んでください"},
  };
  for (const Case& c : cases) {
    Open(kBase);
    boxes.shown.clear();
    const std::string before = model->Volumes().StateText();
    const Status status = c.act(*model, *this);
    EXPECT_FALSE(status.Ok()) << c.what;
    ASSERT_EQ(boxes.shown.size(), 1u) << c.what;
    EXPECT_NE(boxes.shown[0].text.find(c.message), std::string::npos) << c.what << ": " << boxes.shown[0].text;
    EXPECT_EQ(model->Volumes().StateText(), before) << c.what;
  }
}

TEST_F(VolumePageTest, AKeyOfNoVolumeStopsTheSaveUntilTakenOut) {
  const std::string file = std::string(kBase) + "[VOLUME]\r\nD:\\Gone=1MB\r\n";
  Open(file);
  boxes.answers = {MessageBoxResult::Ok};
  EXPECT_EQ(model->SaveSettingsEx(true), SaveOutcome::Refused);
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown[0].text.find("D:\\Gone"), std::string::npos) << boxes.shown[0].text;
  EXPECT_NE(boxes.shown[0].text.find("固定ボリュームのマウントポイントではありません"), std::string::npos);
  EXPECT_EQ(view.page, SettingsPage::Volumes);
  EXPECT_EQ(view.focus, SettingsControl::VolumeList);
  EXPECT_EQ(Saved(), file);
  ASSERT_TRUE(model->SetVolumeChoice(Row("D:\\Gone"), VolumeChoice::Default, "").Ok());
  ASSERT_TRUE(Save());
  EXPECT_EQ(Saved().find("Gone"), std::string::npos) << Saved();
  EXPECT_NO_THROW(ServiceReads());
}

TEST_F(VolumePageTest, TwoKeysOfOneVolumeAreRefusedAsTheServiceRefusesThem) {
  Open(std::string(kBase) + "[VOLUME]\r\nC:\\SQLData\\Log=5%\r\nC:\\Mounts\\Log=6%\r\n");
  boxes.answers = {MessageBoxResult::Ok};
  EXPECT_EQ(model->SaveSettingsEx(true), SaveOutcome::Refused);
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown[0].text.find("同じボリューム"), std::string::npos) << boxes.shown[0].text;
  EXPECT_THROW(ServiceReads(), EConvertError);
}

TEST_F(VolumePageTest, ALetterThresholdFromTheWarningPageShowsOnItsRow) {
  Open(kBase);
  model->SetLimit("C", "");
  EXPECT_EQ(RowOf("C:\\").choice, VolumeChoice::Default);
  model->SetLimit("C", "7%");
  EXPECT_EQ(RowOf("C:\\").choice, VolumeChoice::Own);
  EXPECT_EQ(RowOf("C:\\").limitText, "7%");
  // Ignoring the letter's volume clears the letter's threshold; DEFAULT
  // then does not reach it either.
  ASSERT_TRUE(model->SetDefaultLimit("3%").Ok());
  ASSERT_TRUE(model->SetVolumeChoice(Row("C:\\"), VolumeChoice::Ignored, "").Ok());
  EXPECT_EQ(view.lists[SettingsList::Limit], std::vector<std::string>{LimitLine('C', "")});
  ASSERT_TRUE(Save());
  const WatchSettings read = ServiceReads();
  ASSERT_EQ(read.drives.size(), 1u);
  EXPECT_FALSE(IsWatchingThreshold(read.drives[0].LimitText, read.drives[0].LimitBytes)) << read.drives[0].LimitText;
}

// The listing and the measurements are bounded: a volume that does not
// answer leaves its row unmeasured instead of holding the dialog.
TEST(VolumeSettingsModelTest, AHungVolumeIsNotWaitedFor) {
  // Never freed: the abandoned calls may still be inside it when the
  // process ends.
  static test::FakeDrives& drives = *new test::FakeDrives;
  drives.volumes = {Volume("a", {"/srv/a"}, "A"), Volume("hung", {"/srv/hung"}, "")};
  auto gate = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto open = std::make_shared<bool>(false);
  auto wait = [gate, open] {
    std::unique_lock<std::mutex> lock(gate->first);
    gate->second.wait_for(lock, std::chrono::seconds(10), [open] { return *open; });
  };
  drives.volumeSpaces["/srv/a"] = {kDriveFixed, 1 * kGiB, 2 * kGiB, true, nullptr};
  drives.volumeSpaces["/srv/hung"] = {kDriveFixed, 1 * kGiB, 2 * kGiB, true, wait};
  for (bool hungListing : {false, true}) {
    drives.onList = hungListing ? std::function<void()>(wait) : nullptr;
    VolumeSettingsModel model(drives);
    model.SetBoundMs(200);
    const auto start = std::chrono::steady_clock::now();
    model.Load(ProfileSnapshot::OfBytes("[DRIVE]\r\nDEFAULT=5%\r\n"), "", ".");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << hungListing;
    if (hungListing) {
      EXPECT_TRUE(model.Rows().empty());
      EXPECT_FALSE(model.ListingError().empty());
      // Without a listing, the keys are held to their form only.
      EXPECT_TRUE(model.Check(ProfileSnapshot::OfBytes("[DRIVE]\r\nDEFAULT=5%\r\n")).Ok());
    } else {
      ASSERT_EQ(model.Rows().size(), 2u);
      EXPECT_TRUE(model.Rows()[0].measured);
      EXPECT_FALSE(model.Rows()[1].measured);
    }
  }
  {
    std::lock_guard<std::mutex> lock(gate->first);
    *open = true;
  }
  gate->second.notify_all();
}

}  // namespace
}  // namespace qw
