// The store and its text files against hostile but possible content: keys as
// deep as the store allows (and deeper ones left by older versions), names
// with control characters, texts ending in zeros, writers racing on a file
// that does not exist yet, inputs that are not files.
#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"

#include "files.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <QFileInfo>

#include <atomic>
#include <cstdio>
#include <sys/wait.h>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pelu::platform::registry {
namespace {

using pelu::test::TempDir;

QString path_in(const TempDir& dir, const char* name)
{
    return QString::fromStdString(dir.file(name).string());
}

QString chain(int depth, const QString& name = "k")
{
    QStringList parts;
    for (int i = 0; i < depth; ++i)
        parts << name;
    return parts.join('\\');
}

// Export, import into a fresh store, export again: the same text.
void expect_round_trip(Store& store, const TempDir& dir)
{
    const QByteArray first = export_reg_file(store);
    RegFile parsed;
    ASSERT_NO_THROW(parsed = parse_reg_file(first)) << first.toStdString();
    Store again(path_in(dir, "again.sqlite"));
    apply_reg_file(again, parsed);
    EXPECT_EQ(export_reg_file(again).toStdString(), first.toStdString());
}

TEST(RegistryDepth, KeysAsDeepAsTheLimitExportDeleteAndImportAgain)
{
    TempDir dir;
    Store store(path_in(dir, "r.sqlite"));
    const KeyId deepest = store.create_key(Hive::CurrentUser, chain(kMaxKeyDepth));
    EXPECT_EQ(store.key_depth(deepest), kMaxKeyDepth);
    store.set_value(deepest, Value::number("bottom", 7));
    EXPECT_RAISES(store.create_key(deepest, "one-more"), RegistryError, "512");

    const QByteArray text = export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("k")));
    EXPECT_EQ(text.count("\n["), kMaxKeyDepth);
    ASSERT_TRUE(store.delete_key(*store.open_key(Hive::CurrentUser, "k")));
    EXPECT_FALSE(store.open_key(Hive::CurrentUser, "k"));
    apply_reg_file(store, parse_reg_file(text));
    auto back = store.open_key(Hive::CurrentUser, chain(kMaxKeyDepth));
    ASSERT_TRUE(back);
    EXPECT_EQ(store.query(*back, "bottom")->dword, 7u);
}

TEST(RegistryDepth, ImportNamesTheLineOfAKeyBeyondTheLimit)
{
    const QByteArray text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\ok]\n\n[HKEY_CURRENT_USER\\" +
                            chain(kMaxKeyDepth + 1).toUtf8() + "]\n";
    try {
        parse_reg_file(text);
        ADD_FAILURE() << "a key deeper than the limit was accepted";
    } catch (const RegFileError& error) {
        EXPECT_TRUE(QString(error.what()).startsWith("line 5: ")) << error.what();
        EXPECT_TRUE(QString(error.what()).contains("513")) << error.what();
    }
}

// A store written before the limit may hold far deeper keys: they are still
// exported and deleted, without recursion (a chain of 5,000 keys; SQLite's
// cascades alone stop at 1,000 levels).
TEST(RegistryDepth, KeysLeftDeeperByOlderStoresExportAndDelete)
{
    TempDir dir;
    const QString path = path_in(dir, "old.sqlite");
    constexpr int kDepth = 5000;
    {
        Store store(path);
        store.create_key(Hive::CurrentUser, "top");
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < kDepth; ++i) {
            const std::string sql = "INSERT INTO keys(parent, name, fold) SELECT max(id), 'd', 'd' FROM keys";
            ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        }
        sqlite3_exec(db, "INSERT INTO vals(key, name, fold, type, data) SELECT max(id), 'v', 'v', 4, 1 FROM keys",
                     nullptr, nullptr, nullptr);
        ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    Store store(path);
    const KeyId top = *store.open_key(Hive::CurrentUser, "top");
    const QByteArray text = export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("top")));
    EXPECT_EQ(text.count("\n["), kDepth + 1);
    EXPECT_TRUE(text.contains("\"v\"=dword:00000001"));

    store.clear_key(top);
    EXPECT_TRUE(store.subkeys(top).isEmpty());
    store.create_key(top, chain(400, "e"));
    EXPECT_TRUE(store.delete_key(top));
    EXPECT_FALSE(store.open_key(Hive::CurrentUser, "top"));
}

TEST(RegistryNames, ControlCharactersBlanksAndTrailingZerosComeBackIdentically)
{
    TempDir dir;
    Store store(path_in(dir, "names.sqlite"));
    const KeyId odd = store.create_key(Hive::CurrentUser, QString("Software\\line\nbreak\\ends in CR\r"));
    store.set_value(odd, Value::string("name\nwith newline", "v"));
    store.set_value(odd, Value::string(QString("tab\tand\x01"), QString("two zeros") + QChar(0) + QChar(0)));
    store.set_value(odd, Value::string("expand", QString("%HOME%") + QChar(0), true));
    store.set_value(odd, Value::string("quote\"back\\slash", "text with \"quotes\" and \\"));
    store.create_key(Hive::CurrentUser, QString("Software\\ lead and trail \\\"quoted\"\\]"));
    store.create_key(Hive::CurrentUser, QString("Software\\nul") + QChar(0) + "inside");
    expect_round_trip(store, dir);

    Store again(path_in(dir, "again.sqlite"));
    auto key = again.open_key(Hive::CurrentUser, QString("software\\LINE\nBREAK\\ends in cr\r"));
    ASSERT_TRUE(key) << "the key with a CR keeps its CR and gets no sibling";
    EXPECT_EQ(again.subkeys(*again.open_key(Hive::CurrentUser, "Software\\line\nbreak")).size(), 1);
    EXPECT_EQ(again.query(*key, "tab\tand\x01")->text, QString("two zeros") + QChar(0) + QChar(0));
    EXPECT_EQ(again.query(*key, "expand")->text, QString("%HOME%") + QChar(0));
    EXPECT_EQ(again.query(*key, "name\nwith newline")->text, "v");
    EXPECT_TRUE(again.open_key(Hive::CurrentUser, QString("Software\\ lead and trail ")));
    EXPECT_TRUE(again.open_key(Hive::CurrentUser, QString("Software\\ lead and trail \\\"quoted\"\\]")));
    EXPECT_TRUE(again.open_key(Hive::CurrentUser, QString("Software\\nul") + QChar(0) + "inside"));
}

TEST(RegistryNames, WhatTheRegistryEditorWritesReadsAsBefore)
{
    // One zero ends a hex(2) text (and a REGEDIT4 hex(1)); unknown escapes stay errors.
    const RegFile file = parse_reg_file(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\A b]\r\n"
        "\"path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n\"q\"=\"say \\\"hi\\\" C:\\\\\"\r\n");
    ASSERT_EQ(file.keys.size(), 1u);
    EXPECT_EQ(file.keys[0].path, "Software\\A b");
    EXPECT_EQ(file.keys[0].set_values[0].text, "%PATH%");
    EXPECT_EQ(file.keys[0].set_values[1].text, "say \"hi\" C:\\");
    const RegFile old = parse_reg_file("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\x]\n\"s\"=hex(1):61,62,00\n");
    EXPECT_EQ(old.keys[0].set_values[0].text, "ab");
    EXPECT_THROW(parse_reg_file("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\x]\n\"a\\qb\"=\"\"\n"), RegFileError);
    EXPECT_THROW(parse_reg_file("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\x]\n\"a\\x41\"=\"\"\n"), RegFileError)
        << "\\x escapes only control characters, which the editor never writes";
}

TEST(RegFileMessages, AQuotedInputLineIsCutTo200Characters)
{
    const QByteArray junk(100000, 'j');
    try {
        parse_reg_file("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\x]\n" + junk + "\n");
        ADD_FAILURE() << "junk accepted";
    } catch (const RegFileError& error) {
        const QString text = error.what();
        EXPECT_TRUE(text.startsWith("line 4: ")) << text.left(300).toStdString();
        EXPECT_LT(text.size(), 300) << "the whole line was quoted";
    }
}

TEST(RegFileReplace, TopmostKeysAreFoundWhateverTheOrderOfTheFile)
{
    TempDir dir;
    Store store(path_in(dir, "replace.sqlite"));
    store.set_value(store.create_key(Hive::CurrentUser, "App\\Sub\\Deep"), Value::string("stale", "x"));
    store.set_value(store.create_key(Hive::CurrentUser, "App b"), Value::string("other", "kept"));
    store.set_value(store.create_key(Hive::CurrentUser, "App"), Value::string("old", "x"));
    // "App b" sorts between "App" and "App\Sub" as plain text; listed after
    // its child, "App" is still the topmost key.
    apply_reg_file(store,
                   parse_reg_file("REGEDIT4\n\n[HKEY_CURRENT_USER\\app\\Sub]\n\"new\"=\"1\"\n\n"
                                  "[HKEY_CURRENT_USER\\App b\\x]\n\n[HKEY_CURRENT_USER\\APP]\n\"top\"=\"2\"\n"),
                   true);
    const KeyId app = *store.open_key(Hive::CurrentUser, "App");
    EXPECT_FALSE(store.query(app, "old"));
    EXPECT_EQ(store.query(app, "top")->text, "2");
    EXPECT_FALSE(store.open_key(Hive::CurrentUser, "App\\Sub\\Deep")) << "the subtree was not emptied";
    EXPECT_TRUE(store.query(*store.open_key(Hive::CurrentUser, "App\\Sub"), "new"));
    EXPECT_TRUE(store.query(*store.open_key(Hive::CurrentUser, "App b"), "other"))
        << "App b lies outside App's subtree and is not listed itself";
}

TEST(RegFileInput, OnlyRegularFilesOfABoundedSizeAreRead)
{
    TempDir dir;
    const QString fifo = path_in(dir, "fifo.reg");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    // Would block for ever without a writer if it were opened for reading.
    EXPECT_RAISES(read_reg_file(fifo), RegFileError, "is not a regular file");
    EXPECT_THROW(read_reg_file("/dev/zero"), RegFileError);
    EXPECT_RAISES(read_reg_file(QString::fromStdString(dir.path().string())), RegFileError, "is a directory");

    const QString big = path_in(dir, "big.reg");
    const int fd = ::open(big.toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kMaxRegFileBytes + 1), 0); // sparse: no disk used
    ::close(fd);
    EXPECT_RAISES(read_reg_file(big), RegFileError, "256 MiB");
    const QString small = path_in(dir, "small.reg");
    pelu::test::write_file(dir.file("small.reg"), pelu::test::Bytes{'R', 'E', 'G', 'E', 'D', 'I', 'T', '4', '\n'});
    EXPECT_EQ(read_reg_file(small), "REGEDIT4\n");
}

TEST(RegistryStoreFile, ReadersNeverCreateAndNonRegularPathsAreRefused)
{
    TempDir dir;
    const QString missing = path_in(dir, "sub/missing.sqlite");
    EXPECT_THROW(Store(missing, OpenMode::ExistingOnly), RegistryMissingError);
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_FALSE(QFileInfo::exists(path_in(dir, "sub")));

    const QString fifo = path_in(dir, "fifo.sqlite");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    EXPECT_RAISES(Store{fifo}, RegistryError, "is not a regular file");
    EXPECT_FALSE(QFileInfo::exists(fifo + "-wal"));
    EXPECT_FALSE(QFileInfo::exists(fifo + "-journal"));
    EXPECT_THROW(Store(QString::fromStdString(dir.path().string())), RegistryError);

    { Store writer(missing); }
    EXPECT_NO_THROW(Store(missing, OpenMode::ExistingOnly));
}

// Every writer's first open of a file that does not exist yet waits for the
// others, as later writes do: no "database is locked", no lost write. The
// writers are processes, released together by closing a pipe they all read.
TEST(RegistryConcurrency, ThreeWritersOnAFreshFileNeverFail)
{
    TempDir dir;
    constexpr int kRounds = 100;
    constexpr int kWriters = 3;
    int failures = 0;
    int lost = 0;
    for (int round = 0; round < kRounds; ++round) {
        const QString path = path_in(dir, ("fresh" + std::to_string(round) + ".sqlite").c_str());
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t writers[kWriters];
        for (int w = 0; w < kWriters; ++w) {
            writers[w] = ::fork();
            if (writers[w] == 0) {
                ::close(go[1]);
                char c;
                [[maybe_unused]] const ssize_t released = ::read(go[0], &c, 1);
                try {
                    Store store(path);
                    store.set_value(store.create_key(Hive::CurrentUser, "Race"),
                                    Value::number(QString("w%1").arg(w), std::uint32_t(w)));
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "writer %d: %s\n", w, error.what());
                    ::_exit(1);
                }
                ::_exit(0);
            }
        }
        ::close(go[0]);
        ::close(go[1]);
        for (pid_t writer : writers) {
            int status = 0;
            ::waitpid(writer, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ++failures;
        }
        Store store(path);
        auto key = store.open_key(Hive::CurrentUser, "Race");
        if (!key || store.values(*key).size() != std::size_t(kWriters))
            ++lost;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(lost, 0);
}

} // namespace
} // namespace pelu::platform::registry
