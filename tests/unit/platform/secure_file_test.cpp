// Who may read a secret file and who may change the state folder: the
// descriptors the product applies, and the judgement of descriptors as a
// careless or hostile setup leaves them. On Windows every case also goes
// through the system's SDDL parser and the ACE walk over the real
// descriptor, so the description and the system agree.
#include "platform/secure_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;

const std::string kUser = "S-1-5-21-1-2-3-1001";   // another local account
const std::string kSelf = "S-1-5-21-1-2-3-1000";   // the account of the process
constexpr uint8_t kInherit = kAceObjectInherit | kAceContainerInherit;

AccessEntry Entry(bool allow, uint32_t mask, const std::string& sid, uint8_t flags = 0) {
  AccessEntry e;
  e.allow = allow;
  e.mask = mask;
  e.sid = sid;
  e.flags = flags;
  return e;
}

SecurityDescription Described(const std::string& owner, std::vector<AccessEntry> entries, bool isProtected = false) {
  SecurityDescription d;
  d.owner = owner;
  d.protectedDacl = isProtected;
  d.entries = std::move(entries);
  return d;
}

#ifdef _WIN32
bool OnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }
#endif

struct Case {
  const char* name;
  SecurityDescription description;
  std::vector<std::string> readers;  // PublicReaders
  std::vector<std::string> writers;  // OtherWriters with kSelf
  bool trustedOwner;
};

std::vector<Case> Cases() {
  SecurityDescription nullDacl = Described(kSidSystem, {});
  nullDacl.hasDacl = false;
  return {
      {"the settings file as the product protects it", SettingsFileSecurity(), {}, {}, true},
      {"the state folder as the product makes it", StateFolderSecurity(), {kSidUsers}, {}, true},
      {"a state file inside it", StateFileSecurity(), {kSidUsers}, {}, true},
      {"inherited from the Windows folder",
       Described(kSidSystem, {Entry(true, 0x1200a9, kSidUsers, 0x10), Entry(true, kAccessFileAll, kSidSystem, 0x10),
                              Entry(true, kAccessFileAll, kSidAdministrators, 0x10)}),
       {kSidUsers}, {}, true},
      {"a mode 0644 file as Wine derives it",
       Described(kSelf, {Entry(true, kAccessFileAll, kSidSystem), Entry(true, kAccessFileAll, kSelf),
                         Entry(true, 0x1200a9, kSidEveryone)}),
       {kSidEveryone}, {}, true},
      {"generic read for Authenticated Users", Described(kSidAdministrators, {Entry(true, kAccessGenericRead, kSidAuthenticatedUsers)}),
       {kSidAuthenticatedUsers}, {}, true},
      {"read denied to Everyone before it is granted to Users",
       Described(kSidAdministrators, {Entry(false, kAccessFileRead, kSidEveryone), Entry(true, kAccessFileRead, kSidUsers)}),
       {}, {}, true},
      {"read granted before a denial: the grant holds",
       Described(kSidAdministrators, {Entry(true, kAccessFileRead, kSidAuthenticatedUsers), Entry(false, kAccessFileRead, kSidEveryone)}),
       {kSidAuthenticatedUsers}, {}, true},
      {"an entry only for what is made inside",
       Described(kSidAdministrators, {Entry(true, kAccessGenericAll, kSidUsers, kInherit | kAceInheritOnly)}), {}, {}, true},
      {"users may add files (ProgramData's default)",
       Described(kSidAdministrators, {Entry(true, kAccessFileAll, kSidSystem), Entry(true, kAccessAppendData | 0x20, kSidUsers, 0x02)}),
       {}, {kSidUsers}, true},
      {"users may change the rights", Described(kSidAdministrators, {Entry(true, kAccessWriteDac, kSidUsers)}), {}, {kSidUsers}, true},
      {"generic write for Everyone", Described(kSidSystem, {Entry(true, kAccessGenericWrite, kSidEveryone)}), {}, {kSidEveryone}, true},
      {"a folder a user made first",
       Described(kUser, {Entry(true, kAccessFileAll, kUser, kInherit), Entry(true, kAccessFileAll, kSidSystem, kInherit),
                         Entry(true, kAccessFileRead, kSidUsers, kInherit)}),
       {kSidUsers}, {kUser}, false},
      {"no DACL at all", nullDacl, {kSidEveryone}, {kSidEveryone}, true},
  };
}

void ExpectJudgement(const Case& c, const SecurityDescription& d, const char* via) {
  EXPECT_EQ(PublicReaders(d), c.readers) << c.name << " (" << via << ")";
  EXPECT_EQ(OtherWriters(d, kSelf), c.writers) << c.name << " (" << via << ")";
  EXPECT_EQ(TrustedOwner(d, kSelf), c.trustedOwner) << c.name << " (" << via << ")";
}

TEST(SecureFile, JudgesWhoMayReadAndWhoMayChange) {
  for (const Case& c : Cases()) {
    ExpectJudgement(c, c.description, "description");
#ifdef _WIN32
    // Wine parses "D:NO_ACCESS_CONTROL" as an empty DACL, not a NULL one.
    if (!c.description.hasDacl && OnWine()) continue;
    // The same descriptor through the system: SDDL text, parser, ACE walk.
    const Result<SecurityDescription> parsedSddl = ParseSddl(ToSddl(c.description));
    ASSERT_TRUE(parsedSddl.Ok()) << c.name << ": " << ToSddl(c.description);
    const SecurityDescription& parsed = *parsedSddl;
    EXPECT_EQ(parsed.hasDacl, c.description.hasDacl) << c.name;
    EXPECT_EQ(parsed.protectedDacl, c.description.protectedDacl) << c.name;
    EXPECT_EQ(parsed.owner, c.description.owner) << c.name;
    ASSERT_EQ(parsed.entries.size(), c.description.entries.size()) << c.name;
    for (size_t i = 0; i < parsed.entries.size(); ++i) {
      EXPECT_EQ(parsed.entries[i].allow, c.description.entries[i].allow) << c.name << " #" << i;
      EXPECT_EQ(parsed.entries[i].mask, c.description.entries[i].mask) << c.name << " #" << i;
      EXPECT_EQ(parsed.entries[i].flags, c.description.entries[i].flags) << c.name << " #" << i;
      EXPECT_EQ(parsed.entries[i].sid, c.description.entries[i].sid) << c.name << " #" << i;
    }
    ExpectJudgement(c, parsed, "system parser");
#endif
  }
}

TEST(SecureFile, TheSettingsDescriptorIsOnlyForSystemAndAdministrators) {
  const SecurityDescription d = SettingsFileSecurity();
  EXPECT_EQ(ToSddl(d), "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)");
  // Nobody else is named, whatever the rights.
  for (const AccessEntry& e : d.entries) EXPECT_TRUE(e.sid == kSidSystem || e.sid == kSidAdministrators) << e.sid;
  EXPECT_TRUE(OtherWriters(d, "").empty());
  EXPECT_TRUE(TrustedOwner(d, ""));
  EXPECT_FALSE(TrustedOwner(Described(kUser, {}), "")) << "without a self, a user's SID is no administrator";
}

fs::path TempFile(const char* name) {
  const fs::path path = fs::temp_directory_path() / (std::string("qw_secure_") + name);
  std::ofstream(path) << "[MAIL]\nPASSWORD=x\n";
  return path;
}

#ifdef _WIN32

// The settings file's descriptor is applied; Windows keeps it, Wine derives
// one from the Unix mode, and the readers the product reports are those of
// the descriptor the file then has, whichever it is.
TEST(SecureFile, ProtectingTheSettingsFileIsReportedAsItHolds) {
  const fs::path path = TempFile("settings.ini");
  const Status status = ProtectSettingsFile(path.string());
  ASSERT_TRUE(status.Ok()) << status.Describe();
  const Result<SecurityDescription> read = ReadSecurity(path.string());
  ASSERT_TRUE(read.Ok());
  const SecurityDescription& after = *read;
  if (!OnWine()) {
    EXPECT_TRUE(PublicReaders(after).empty()) << ToSddl(after);
    EXPECT_EQ(after.owner, kSidAdministrators);
    EXPECT_TRUE(after.protectedDacl);
  }
  const Result<std::vector<std::string>> readers = SecretFileReaders(path.string());
  ASSERT_TRUE(readers.Ok());
  EXPECT_EQ(*readers, PublicReaders(after));
  fs::remove(path);
}

TEST(SecureFile, AStateFolderThatIsALinkIsRefusedAndNotTouched) {
  const fs::path target = fs::temp_directory_path() / "qw_secure_target";
  const fs::path link = fs::temp_directory_path() / "qw_secure_link";
  fs::remove_all(link);
  fs::create_directories(target);
  if (!CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
    GTEST_SKIP() << "no symbolic links here (" << GetLastError() << ")";
  const DWORD attributes = GetFileAttributesW(link.wstring().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveDirectoryW(link.wstring().c_str());
    GTEST_SKIP() << "the link made here is no reparse point (attributes " << attributes << ")";
  }
  std::vector<std::string> repaired;
  const Status status = PrepareStateFolder(link.string(), "status.ini", &repaired);
  EXPECT_FALSE(status.Ok());
  EXPECT_NE(status.Text().find(link.string()), std::string::npos) << status.Describe();
  EXPECT_TRUE(repaired.empty());
  RemoveDirectoryW(link.wstring().c_str());
  fs::remove_all(target);
}

TEST(SecureFile, AMissingStateFolderIsMadeSound) {
  const fs::path folder = fs::temp_directory_path() / "qw_secure_state";
  fs::remove_all(folder);
  std::vector<std::string> repaired;
  const Status status = PrepareStateFolder(folder.string(), "status.ini", &repaired);
  ASSERT_TRUE(status.Ok()) << status.Describe();
  EXPECT_TRUE(fs::is_directory(folder));
  const Result<SecurityDescription> read = ReadSecurity(folder.string());
  ASSERT_TRUE(read.Ok());
  const SecurityDescription& d = *read;
  EXPECT_TRUE(OtherWriters(d, ProcessUserSid()).empty()) << ToSddl(d);
  EXPECT_TRUE(TrustedOwner(d, ProcessUserSid())) << ToSddl(d);
  fs::remove_all(folder);
}

#else

TEST(SecureFile, ASecretFileIsJudgedByItsModeBits) {
  const fs::path path = TempFile("settings.ini");
  struct ModeCase {
    mode_t mode;
    std::vector<std::string> readers;
  };
  for (const ModeCase& c : {ModeCase{0600, {}}, ModeCase{0400, {}}, ModeCase{0640, {"group"}},
                            ModeCase{0604, {"others"}}, ModeCase{0644, {"group", "others"}}}) {
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const Result<std::vector<std::string>> readers = SecretFileReaders(path.string());
    ASSERT_TRUE(readers.Ok());
    EXPECT_EQ(*readers, c.readers) << std::oct << c.mode;
  }
  fs::remove(path);
  const Result<std::vector<std::string>> readers = SecretFileReaders(path.string());
  EXPECT_TRUE(readers.Ok()) << "a missing file holds no secret";
  EXPECT_TRUE(readers.value_or({"stale"}).empty());
}

#endif

}  // namespace
}  // namespace qw
