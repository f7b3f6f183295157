// The MultiRegistry component as the program reaches it: the real module,
// created through its factory, over store files written by the store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/stream.h"
#include "core/text.h"
#include "formats/imd/imd_tools.h"
#include "formats/imd/static_set.h"
#include "multiregistry/multiregistry_client.h"
#include "multiregistry/registry_store.h"
#include "ops/base_list.h"
#include "support/temp_dir.h"

namespace ztv {
namespace {

using test::MessageOf;
using test::ReadFile;
using test::WriteFile;

const std::string kModule = ZTV_MULTIREGISTRY_MODULE_PATH;

// A list with two databases and something else beside it.
std::string TwoBases(const std::string& file) {
  TRegistryStore store;
  TRegistryNode& b = store.CreateKey("ЗТВ\\Доступные базы\\Бухгалтерия");
  TRegistryStore::SetInteger(b, "Идентификатор", 7);
  TRegistryStore::SetString(b, "ПутьКБазе", "SERVER:C:\\Data\\buh.gdb");
  TRegistryNode& s = store.CreateKey("ЗТВ\\Доступные базы\\Склад");
  TRegistryStore::SetInteger(s, "Идентификатор", 3);
  TRegistryStore::SetString(s, "ПутьКБазе", "/srv/ztv/sklad.gdb");
  TRegistryStore::SetString(store.CreateKey("ЗТВ\\Прочее"), "Текст", "x");
  store.SaveToFile(file);
  return file;
}

TEST(MultiRegistry, ReadsTheTreeThroughTheModule) {
  test::TempDir dir;
  const std::string file = TwoBases(dir / "IMD.DAT");
  TMultiRegistry reg = TMultiRegistry::Create(kModule);
  reg.LoadFile(file);
  TRegistryKeyRef root = reg.GetRoot(0);
  EXPECT_EQ(root.GetSubKeyNames(), "ЗТВ");
  EXPECT_EQ(root.OpenKey("ЗТВ\\Доступные базы").GetSubKeyNames(), "Бухгалтерия\r\nСклад");
  // Names ignore letter case, as registry names do.
  TRegistryKeyRef sklad = root.OpenKey("зтв\\ДОСТУПНЫЕ БАЗЫ\\склад");
  EXPECT_EQ(sklad.GetValue("Идентификатор").AsInteger(), 3);
  EXPECT_EQ(sklad.GetValue("ПутьКБазе").AsString(), "/srv/ztv/sklad.gdb");
  EXPECT_EQ(sklad.GetValue("Идентификатор").AsString(), "3");
  // A key keeps working after the component loads another file.
  reg.LoadFile(file);
  EXPECT_EQ(sklad.GetValue("Идентификатор").AsInteger(), 3);
}

TEST(MultiRegistry, FailuresCarryTheComponentsText) {
  test::TempDir dir;
  const std::string file = TwoBases(dir / "IMD.DAT");
  TMultiRegistry reg = TMultiRegistry::Create(kModule);
  EXPECT_EQ(MessageOf([&] { reg.GetRoot(0); }), "Файл реестра не загружен");
  EXPECT_EQ(MessageOf([&] { reg.LoadFile(dir / "missing.DAT"); }), "Файл реестра " + dir / "missing.DAT" + " не найден");
  reg.LoadFile(file);
  EXPECT_EQ(MessageOf([&] { reg.GetRoot(1); }), "Нет корня с номером 1");
  TRegistryKeyRef root = reg.GetRoot(0);
  EXPECT_EQ(MessageOf([&] { root.OpenKey("ЗТВ\\Нет"); }), "Ключ \"ЗТВ\\Нет\" не найден");
  TRegistryKeyRef other = root.OpenKey("ЗТВ\\Прочее");
  EXPECT_EQ(MessageOf([&] { other.GetValue("Идентификатор"); }),
            "Значение \"Идентификатор\" ключа \"ЗТВ\\Прочее\" не найдено");
  EXPECT_EQ(MessageOf([&] { other.GetValue("Текст").AsInteger(); }),
            "Значение \"Текст\" не является целым числом: \"x\"");
}

TEST(MultiRegistry, CreationFailuresNameTheCause) {
  test::TempDir dir;
  EXPECT_EQ(MessageOf([&] { TMultiRegistry::Create(dir / "none.so"); }).rfind("Ошибка создания MultiRegistry [", 0), 0u);
  EXPECT_NE(MessageOf([&] { TMultiRegistry::Create(dir / "none.so"); }).find("none.so"), std::string::npos);
  // A file that is no module.
  WriteFile(dir / "broken.so", "not a shared object");
  const std::string broken = MessageOf([&] { TMultiRegistry::Create(dir / "broken.so"); });
  EXPECT_EQ(broken.rfind("Ошибка создания MultiRegistry [", 0), 0u) << broken;
  EXPECT_EQ(broken.back(), ']');
  // Unknown identifiers are refused by the factory with its own text.
  EXPECT_EQ(MessageOf([&] { TMultiRegistry::Create(kModule, "{00000000-0000-0000-0000-000000000001}", mreg::kIidMultiRegistry); }),
            "Ошибка создания MultiRegistry [Класс {00000000-0000-0000-0000-000000000001} не зарегистрирован]");
  EXPECT_EQ(MessageOf([&] { TMultiRegistry::Create(kModule, mreg::kClsidMultiRegistry, "{00000000-0000-0000-0000-000000000002}"); }),
            "Ошибка создания MultiRegistry [Интерфейс {00000000-0000-0000-0000-000000000002} не поддерживается]");
}

TEST(MultiRegistryStore, DamagedFilesAreRefusedWithTheirName) {
  test::TempDir dir;
  const std::string file = TwoBases(dir / "IMD.DAT");
  const std::string good = ReadFile(file);
  TMultiRegistry reg = TMultiRegistry::Create(kModule);
  auto refused = [&](const std::string& bytes) {
    WriteFile(file, bytes);
    return MessageOf([&] { reg.LoadFile(file); });
  };
  const std::string prefix = "Файл реестра " + file + " повреждён: ";
  for (size_t cut : {size_t{0}, size_t{5}, good.size() / 2, good.size() - 1}) {
    const std::string m = refused(good.substr(0, cut));
    EXPECT_EQ(m.rfind(prefix, 0), 0u) << "cut at " << cut << ": " << m;
  }
  EXPECT_EQ(refused(good + "x"), prefix + "лишние данные после пакета");

  // Records that make no tree: a key before its parent, a key twice, a
  // value of a missing key, a name with a backslash.
  auto packet = [](auto fill) {
    TStaticSet set;
    set.AddField("Kind", TFieldType::Integer);
    set.AddField("Path", TFieldType::Memo);
    set.AddField("Name", TFieldType::Memo);
    set.AddField("IntValue", TFieldType::Integer);
    set.AddField("StrValue", TFieldType::Memo);
    set.Open();
    auto add = [&](int kind, const std::string& path, const std::string& name) {
      set.Append();
      set.FieldByName("Kind").SetAsInteger(kind);
      set.FieldByName("Path").SetAsString(path);
      set.FieldByName("Name").SetAsString(name);
      set.FieldByName("IntValue").SetAsInteger(0);
      set.FieldByName("StrValue").SetAsString("");
      set.Post();
    };
    fill(add);
    TZVMemoryStream s;
    SaveDataSetToStream(set, s);
    return s.AsString();
  };
  EXPECT_EQ(refused(packet([](auto add) { add(0, "a\\b", ""); })),
            prefix + "запись 1: ключ \"a\\b\" записан раньше родительского");
  EXPECT_EQ(refused(packet([](auto add) { add(0, "a", ""); add(0, "A", ""); })), prefix + "запись 2: ключ \"A\" записан дважды");
  EXPECT_EQ(refused(packet([](auto add) { add(1, "a", "v"); })), prefix + "запись 1: значение ключа \"a\", которого нет");
  EXPECT_EQ(refused(packet([](auto add) { add(0, "a", ""); add(1, "a", "x\\y"); })),
            prefix + "запись 2: Недопустимый символ в имени ключа или значения реестра \"x\\y\"");
  EXPECT_EQ(refused(packet([](auto add) { add(7, "a", ""); })), prefix + "запись 1: неизвестный вид записи 7");
  // Another table altogether.
  TStaticSet other;
  other.AddField("ID", TFieldType::Integer);
  other.Open();
  TZVMemoryStream s;
  SaveDataSetToStream(other, s);
  EXPECT_EQ(refused(s.AsString()), prefix + "нет поля Kind");
}

TEST(MultiRegistryStore, SaveKeepsOrderAndPermissionsAndReplacesAtomically) {
  test::TempDir dir;
  const std::string file = TwoBases(dir / "IMD.DAT");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  auto store = TRegistryStore::LoadFromFile(file);
  TRegistryNode& a = store->CreateKey("ЗТВ\\Доступные базы\\Архив");
  TRegistryStore::SetInteger(a, "Идентификатор", 9);
  store->SaveToFile(file);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  auto again = TRegistryStore::LoadFromFile(file);
  EXPECT_EQ(again->SaveToBytes(), store->SaveToBytes());
  const TRegistryNode* list = TRegistryStore::FindKey(again->Root(), "ЗТВ\\Доступные базы");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->children.size(), 3u);
  EXPECT_EQ(list->children[2]->name, "Архив");
  EXPECT_TRUE(again->DeleteKey("ЗТВ\\Доступные базы\\склад"));
  EXPECT_FALSE(again->DeleteKey("ЗТВ\\Доступные базы\\склад"));
  // No temporary file is left beside it.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
  // A folder that cannot be written leaves the old file as it was.
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    const std::string before = ReadFile(file);
    EXPECT_NE(MessageOf([&] { again->SaveToFile(file); }), "<no error>");
    EXPECT_EQ(ReadFile(file), before);
    ::chmod(dir.Path().c_str(), 0755);
  }
}

TEST(MultiRegistryStore, NamesOutsideTheCodePageOrWithControlsAreRefused) {
  TRegistryStore store;
  EXPECT_NE(MessageOf([&] { store.CreateKey("a\tb"); }), "<no error>");
  EXPECT_NE(MessageOf([&] { store.CreateKey("日本"); }), "<no error>");
  EXPECT_NE(MessageOf([&] { TRegistryStore::SetString(store.Root(), "v", "日本"); }), "<no error>");
  EXPECT_NE(MessageOf([&] { store.CreateKey(std::string(300, 'a')); }), "<no error>");
  EXPECT_EQ(store.Root().children.size(), 0u);
}

// A file may hold very many keys under one key: reading, looking up,
// deleting and adding stay keyed by name (a scan per record would take hours
// on a file of the allowed size), letter case ignored as ever.
TEST(MultiRegistryStore, ManyKeysUnderOneKeyAreFoundByNameWithoutRegardToCase) {
  constexpr int kKeys = 60000;
  TRegistryStore store;
  TRegistryNode& list = store.CreateKey("ЗТВ\\Доступные базы");
  for (int i = 0; i < kKeys; ++i) {
    TRegistryNode& key = store.CreateKey("ЗТВ\\Доступные базы\\База " + std::to_string(i));
    TRegistryStore::SetInteger(key, "Идентификатор", i);
  }
  const auto loaded = TRegistryStore::LoadFromBytes(store.SaveToBytes(), "big.dat");
  TRegistryNode* again = TRegistryStore::FindKey(loaded->Root(), "зтв\\ДОСТУПНЫЕ БАЗЫ");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->children.size(), static_cast<size_t>(kKeys));
  const TRegistryNode* last = again->Child("БАЗА 59999");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->name, "База 59999");
  ASSERT_NE(last->Value("идентификатор"), nullptr);
  EXPECT_EQ(last->Value("идентификатор")->intValue, 59999);
  EXPECT_TRUE(store.DeleteKey("ЗТВ\\Доступные базы\\база 0"));
  EXPECT_EQ(list.Child("База 0"), nullptr);
  EXPECT_FALSE(store.DeleteKey("ЗТВ\\Доступные базы\\База 0"));
  // A new key of the deleted name is a new, empty key.
  TRegistryNode& back = store.CreateKey("ЗТВ\\Доступные базы\\БАЗА 0");
  EXPECT_EQ(list.Child("база 0"), &back);
  EXPECT_TRUE(back.values.empty());
  EXPECT_EQ(list.children.size(), static_cast<size_t>(kKeys));
}

// ---------------------------------------------------------------------------
// The database list over the component.

TEST(BaseList, ReadsTheWorkplacesDatabasesInOrder) {
  test::TempDir dir;
  const std::string file = TwoBases(dir / "IMD.DAT");
  TStaticSet list;
  CreateBaseList(list);
  ASSERT_EQ(list.FieldCount(), 4);
  EXPECT_EQ(list.Fields(0).FieldName(), "ChangeFlag");
  EXPECT_EQ(list.Fields(3).FieldName(), "DBPath");
  ReadBaseList(list, file, kModule);
  ASSERT_EQ(list.RecordCount(), 2);
  list.First();
  EXPECT_EQ(list.FieldByName("ChangeFlag").AsInteger(), 0);
  EXPECT_EQ(list.FieldByName("ID").AsInteger(), 7);
  EXPECT_EQ(list.FieldByName("Name").AsString(), "Бухгалтерия");
  EXPECT_EQ(list.FieldByName("DBPath").AsString(), "SERVER:C:\\Data\\buh.gdb");
  list.Next();
  EXPECT_EQ(list.FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(list.FieldByName("Name").AsString(), "Склад");
}

TEST(BaseList, ARecordThatCannotBeFilledIsCancelledAndTheErrorPasses) {
  test::TempDir dir;
  const std::string file = dir / "IMD.DAT";
  TRegistryStore store;
  TRegistryStore::SetInteger(store.CreateKey("ЗТВ\\Доступные базы\\A"), "Идентификатор", 1);
  TRegistryStore::SetString(store.CreateKey("ЗТВ\\Доступные базы\\A"), "ПутьКБазе", "/a.gdb");
  TRegistryStore::SetInteger(store.CreateKey("ЗТВ\\Доступные базы\\B"), "Идентификатор", 2);
  store.SaveToFile(file);
  TStaticSet list;
  CreateBaseList(list);
  EXPECT_EQ(MessageOf([&] { ReadBaseList(list, file, kModule); }),
            "Значение \"ПутьКБазе\" ключа \"ЗТВ\\Доступные базы\\B\" не найдено");
  EXPECT_EQ(list.RecordCount(), 1);
  EXPECT_EQ(list.State(), TDataSetState::Browse);
  // A list with fields of its own gets each database read whole, the ones
  // before the failure included.
  std::vector<std::string> visited;
  EXPECT_EQ(MessageOf([&] {
              VisitBaseList(file, [&](const TBaseEntry& e) { visited.push_back(e.Name + "=" + e.DBPath); }, kModule);
            }),
            "Значение \"ПутьКБазе\" ключа \"ЗТВ\\Доступные базы\\B\" не найдено");
  EXPECT_EQ(visited, std::vector<std::string>{"A=/a.gdb"});
  // Without the list key at all.
  TRegistryStore empty;
  empty.SaveToFile(file);
  CreateBaseList(list);
  EXPECT_EQ(MessageOf([&] { ReadBaseList(list, file, kModule); }), "Ключ \"ЗТВ\\Доступные базы\" не найден");
}

TEST(BaseList, APathLongerThanTheListHoldsIsRefusedNotCut) {
  test::TempDir dir;
  const std::string file = dir / "IMD.DAT";
  // Cut to 255 characters this path would name the live database.
  const std::string live = "/srv/" + std::string(241, 'x') + "/base.gdb";
  ASSERT_EQ(live.size(), 255u);
  TRegistryStore store;
  TRegistryNode& key = store.CreateKey("ЗТВ\\Доступные базы\\Копия");
  TRegistryStore::SetInteger(key, "Идентификатор", 1);
  TRegistryStore::SetString(key, "ПутьКБазе", live + ".old");
  store.SaveToFile(file);
  TStaticSet list;
  CreateBaseList(list);
  EXPECT_EQ(MessageOf([&] { ReadBaseList(list, file, kModule); }), "Путь базы \"Копия\" длиннее 255 символов");
  EXPECT_EQ(list.RecordCount(), 0);
  // 255 Cyrillic letters fit: the limit counts characters.
  std::string cyrillic;
  for (int i = 0; i < 255; ++i) cyrillic += "я";
  TRegistryStore::SetString(key, "ПутьКБазе", cyrillic);
  store.SaveToFile(file);
  ReadBaseList(list, file, kModule);
  EXPECT_EQ(list.RecordCount(), 1);
}

TEST(BaseList, LocalDatabasePathDropsTheServerPrefix) {
  EXPECT_EQ(LocalDatabasePath("SERVER:C:\\Data\\base.gdb"), "C:\\Data\\base.gdb");
  EXPECT_EQ(LocalDatabasePath("C:\\Data\\base.gdb"), "C:\\Data\\base.gdb");
  EXPECT_EQ(LocalDatabasePath(":\\x"), ":\\x");
  EXPECT_EQ(LocalDatabasePath("base.gdb"), "base.gdb");
  EXPECT_EQ(LocalDatabasePath("host:/srv/base.gdb"), "/srv/base.gdb");
  EXPECT_EQ(LocalDatabasePath("host/3051:/srv/base.gdb"), "/srv/base.gdb");
  EXPECT_EQ(LocalDatabasePath("/srv/a:/b.gdb"), "/srv/a:/b.gdb");
  EXPECT_EQ(LocalDatabasePath("/srv/base.gdb"), "/srv/base.gdb");
  EXPECT_EQ(LocalDatabasePath("C:/Data/base.gdb"), "C:/Data/base.gdb");
}

}  // namespace
}  // namespace ztv
