// The descriptors the product applies and the judgement of a descriptor it
// finds; pure functions, the same on every host.
#include <algorithm>
#include <cstdio>

#include "platform/secure_file.h"

namespace qw {
namespace {

constexpr uint32_t kChangeRights = kAccessWriteData | kAccessAppendData | kAccessWriteEa | kAccessDeleteChild |
                                   kAccessWriteAttributes | kAccessDelete | kAccessWriteDac | kAccessWriteOwner;

struct WellKnown {
  const char* sid;
  const char* sddl;
  const char* name;
};

constexpr WellKnown kWellKnown[] = {
    {kSidSystem, "SY", "SYSTEM"},
    {kSidAdministrators, "BA", "Administrators"},
    {kSidUsers, "BU", "Users"},
    {kSidAuthenticatedUsers, "AU", "Authenticated Users"},
    {kSidEveryone, "WD", "Everyone"},
    {kSidInteractive, "IU", "INTERACTIVE"},
};

AccessEntry Allow(const char* sid, uint32_t mask, uint8_t flags = 0) {
  AccessEntry entry;
  entry.allow = true;
  entry.flags = flags;
  entry.mask = mask;
  entry.sid = sid;
  return entry;
}

std::string MaskText(uint32_t mask) {
  if (mask == kAccessFileAll) return "FA";
  if (mask == kAccessFileRead) return "FR";
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(mask));
  return text;
}

std::string FlagsText(uint8_t flags) {
  std::string text;
  if (flags & kAceObjectInherit) text += "OI";
  if (flags & kAceContainerInherit) text += "CI";
  if (flags & kAceInheritOnly) text += "IO";
  if (flags & 0x10) text += "ID";
  return text;
}

bool IsAdministration(const std::string& sid, const std::string& self) {
  return sid == kSidSystem || sid == kSidAdministrators || (!self.empty() && sid == self);
}

void AddOnce(std::vector<std::string>* list, const std::string& sid) {
  if (std::find(list->begin(), list->end(), sid) == list->end()) list->push_back(sid);
}

}  // namespace

SecurityDescription SettingsFileSecurity() {
  SecurityDescription d;
  d.owner = kSidAdministrators;
  d.protectedDacl = true;
  d.entries = {Allow(kSidSystem, kAccessFileAll), Allow(kSidAdministrators, kAccessFileAll)};
  return d;
}

SecurityDescription StateFolderSecurity() {
  const uint8_t inherit = kAceObjectInherit | kAceContainerInherit;
  SecurityDescription d;
  d.owner = kSidAdministrators;
  d.protectedDacl = true;
  d.entries = {Allow(kSidSystem, kAccessFileAll, inherit), Allow(kSidAdministrators, kAccessFileAll, inherit),
               Allow(kSidUsers, kAccessFileRead, inherit)};
  return d;
}

SecurityDescription StateFileSecurity() {
  SecurityDescription d;
  d.owner = kSidAdministrators;
  d.protectedDacl = true;
  d.entries = {Allow(kSidSystem, kAccessFileAll), Allow(kSidAdministrators, kAccessFileAll),
               Allow(kSidUsers, kAccessFileRead)};
  return d;
}

std::string SidName(const std::string& sid) {
  for (const WellKnown& known : kWellKnown)
    if (sid == known.sid) return known.sddl;
  return sid;
}

std::string ToSddl(const SecurityDescription& description) {
  std::string text;
  if (!description.owner.empty()) text += "O:" + SidName(description.owner);
  if (!description.hasDacl) return text + "D:NO_ACCESS_CONTROL";
  text += "D:";
  if (description.protectedDacl) text += "P";
  for (const AccessEntry& entry : description.entries) {
    text += std::string("(") + (entry.allow ? "A" : "D") + ";" + FlagsText(entry.flags) + ";" +
            MaskText(entry.mask) + ";;;" + SidName(entry.sid) + ")";
  }
  return text;
}

uint32_t MapGenericFileRights(uint32_t mask) {
  uint32_t mapped = mask & ~(kAccessGenericAll | kAccessGenericExecute | kAccessGenericWrite | kAccessGenericRead);
  if (mask & kAccessGenericRead) mapped |= kAccessFileRead;
  if (mask & kAccessGenericWrite) mapped |= 0x00120116;  // FILE_GENERIC_WRITE
  if (mask & kAccessGenericExecute) mapped |= 0x001200A0;  // FILE_GENERIC_EXECUTE
  if (mask & kAccessGenericAll) mapped |= kAccessFileAll;
  return mapped;
}

std::vector<std::string> PublicReaders(const SecurityDescription& description) {
  std::vector<std::string> readers;
  if (!description.hasDacl) return {kSidEveryone};
  // An ordinary local user's token holds these groups; a right denied to
  // any of them before it is granted stays denied.
  const std::string token[] = {kSidUsers, kSidAuthenticatedUsers, kSidEveryone, kSidInteractive};
  bool denied = false;
  for (const AccessEntry& entry : description.entries) {
    if (entry.flags & kAceInheritOnly) continue;
    if (std::find(std::begin(token), std::end(token), entry.sid) == std::end(token)) continue;
    if ((MapGenericFileRights(entry.mask) & kAccessReadData) == 0) continue;
    if (!entry.allow) {
      denied = true;
      continue;
    }
    if (!denied) AddOnce(&readers, entry.sid);
  }
  return readers;
}

std::vector<std::string> OtherWriters(const SecurityDescription& description, const std::string& self) {
  if (!description.hasDacl) return {kSidEveryone};
  std::vector<std::string> writers;
  for (const AccessEntry& entry : description.entries) {
    if (!entry.allow || (entry.flags & kAceInheritOnly)) continue;
    if (IsAdministration(entry.sid, self)) continue;
    if (MapGenericFileRights(entry.mask) & kChangeRights) AddOnce(&writers, entry.sid);
  }
  return writers;
}

bool TrustedOwner(const SecurityDescription& description, const std::string& self) {
  return IsAdministration(description.owner, self);
}

std::string GroupNames(const std::vector<std::string>& sids) {
  std::string text;
  for (const std::string& sid : sids) {
    std::string name = sid;
    for (const WellKnown& known : kWellKnown)
      if (sid == known.sid) name = known.name;
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

}  // namespace qw
