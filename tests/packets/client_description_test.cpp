#include "packets/client_description.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "support/registry.h"

#include "common/packets_fixture.h"

namespace hv {
namespace {

using hvtest::ClientBlockLines;
using hvtest::SetStoredUserId;

const std::wstring kNil = L"{00000000-0000-0000-0000-000000000000}";

bool IsRegistryGuid(const std::wstring& text) {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
    if (hyphen ? text[i] != L'-' : !(std::iswdigit(text[i]) || (text[i] >= L'A' && text[i] <= L'F'))) return false;
  }
  return true;
}

std::wstring StoredUserId() {
  std::wstring text;
  RegistryReadString(HKEY_CURRENT_USER, hvtest::UserIdBackup::kPath, hvtest::UserIdBackup::kValue, text);
  return text;
}

TEST(UserId, CreatedOnceKeptAndSentAsStored) {
  hvtest::UserIdBackup backup;
  RegDeleteTreeW(HKEY_CURRENT_USER, hvtest::UserIdBackup::kPath);

  const std::wstring first = GetUserId();  // creates the key and the value
  EXPECT_TRUE(IsRegistryGuid(first)) << first.c_str();
  EXPECT_NE(kNil, first);
  EXPECT_EQ(first, StoredUserId());
  EXPECT_EQ(first, GetUserId());

  const std::wstring odd = L"not a GUID, kept as is";
  SetStoredUserId(&odd);
  EXPECT_EQ(odd, GetUserId());

  const std::wstring empty;
  SetStoredUserId(&empty);
  EXPECT_EQ(kNil, GetUserId());
  EXPECT_TRUE(RegistryValueExists(HKEY_CURRENT_USER, hvtest::UserIdBackup::kPath, hvtest::UserIdBackup::kValue));
  EXPECT_EQ(L"", StoredUserId());  // an empty value is not replaced

  SetStoredUserId(nullptr);
  const std::wstring second = GetUserId();
  EXPECT_TRUE(IsRegistryGuid(second));
  EXPECT_NE(first, second);
  EXPECT_EQ(second, StoredUserId());
}

TEST(ClientDescription, FixedElementsThenGroups) {
  hvtest::UserIdBackup backup;
  const std::wstring id = L"{11111111-2222-3333-4444-555555555555}";
  SetStoredUserId(&id);

  ClientIdentity identity;
  identity.appName = L"Quill & Ink";
  identity.appVersion = L"";
  identity.wrapperName = L"wrap";
  ClientDescription description(identity);
  EXPECT_TRUE(description.HasNoGroups());

  ClientIdentity escaped = identity;
  escaped.appName = L"Quill &amp; Ink";  // as it appears in the text
  const std::wstring fixed = ClientBlockLines(1, id, escaped);
  {
    PacketDocument document(L"report", L"");
    description.Write(document, document.Root());
    EXPECT_EQ(L"\xFEFF<report>\n" + fixed + L"</report>\n", document.Save(true, false));
  }

  EXPECT_EQ(0u, description.AddGroup(L"DownloadStatistic"));
  description.AddEntry(0, L"url", L"http://h/a?b&c");
  description.AddEntry(0, L"status", L"1073750021");
  EXPECT_EQ(1u, description.AddGroup(L"DownloadStatistic"));
  description.AddEntry(1, L"empty", L"");
  EXPECT_EQ(2u, description.AddGroup(L""));
  description.AddEntry(3, L"ignored", L"x");
  description.AddEntry(static_cast<size_t>(-1), L"ignored", L"x");
  EXPECT_FALSE(description.HasNoGroups());

  const ClientDescription copy = description;  // groups and entries are values
  description.AddEntry(2, L"only in the original", L"x");

  PacketDocument document(L"report", L"");
  copy.Write(document, document.Root());
  EXPECT_EQ(L"\xFEFF<report>\n" + fixed +
                L"\t<group>\n"
                L"\t\t<name>DownloadStatistic</name>\n"
                L"\t\t<entry>\n"
                L"\t\t\t<name>url</name>\n"
                L"\t\t\thttp://h/a?b&amp;c\n"
                L"\t\t</entry>\n"
                L"\t\t<entry>\n"
                L"\t\t\t<name>status</name>\n"
                L"\t\t\t1073750021\n"
                L"\t\t</entry>\n"
                L"\t</group>\n"
                L"\t<group>\n"
                L"\t\t<name>DownloadStatistic</name>\n"
                L"\t\t<entry>\n"
                L"\t\t\t<name>empty</name>\n"
                L"\t\t\t\n"
                L"\t\t</entry>\n"
                L"\t</group>\n"
                L"\t<group>\n"
                L"\t\t<name />\n"
                L"\t</group>\n"
                L"</report>\n",
            document.Save(true, false));
}

}  // namespace
}  // namespace hv
