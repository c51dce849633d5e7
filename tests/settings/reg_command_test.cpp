// `pelu reg` end to end: the program on a store named by PELU_REGISTRY.
#include "files.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

namespace pelu {
namespace {

using pelu::test::TempDir;

class RegCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        program = QCoreApplication::applicationDirPath() + "/pelu";
        if (!QFile::exists(program))
            GTEST_SKIP() << "pelu is not built";
        db = QString::fromStdString(dir.file("registry.sqlite").string());
    }

    test::ProgramRun pelu(const QStringList& args)
    {
        const auto run = test::run_program(program, args, {.environment = {"PELU_REGISTRY=" + db}, .timeout_ms = 30000});
        EXPECT_TRUE(run.finished);
        return run;
    }

    TempDir dir;
    QString program, db;
};

TEST_F(RegCommand, SetGetExportDeleteImport)
{
    EXPECT_EQ(pelu({"reg", "set", "HKCU\\Software\\PELU\\XPD", "DLL Location", "/opt/pelu/"}).exit_code, 0);
    EXPECT_EQ(pelu({"reg", "set", "HKCU\\Software\\PELU", "n", "--type", "dword", "0x2a"}).exit_code, 0);
    EXPECT_EQ(pelu({"reg", "set", "HKCU\\Software\\PELU", "b", "--type", "binary", "01 ff"}).exit_code, 0);
    EXPECT_EQ(pelu({"reg", "get", "hkcu/software/pelu", "N"}).out, "42\n");
    EXPECT_EQ(pelu({"reg", "get", "HKCU\\Software\\PELU", "b"}).out, "01 ff\n");

    const QString backup = QString::fromStdString(dir.file("backup.reg").string());
    ASSERT_EQ(pelu({"reg", "export", "HKEY_CURRENT_USER\\Software\\PELU", "-o", backup}).exit_code, 0);
    const test::ProgramRun exported = pelu({"reg", "export", "HKEY_CURRENT_USER\\Software\\PELU"});
    EXPECT_TRUE(exported.out.contains("\"DLL Location\"=\"/opt/pelu/\""));

    EXPECT_EQ(pelu({"reg", "delete", "HKCU\\Software\\PELU"}).exit_code, 0);
    const test::ProgramRun missing = pelu({"reg", "get", "HKCU\\Software\\PELU", "n"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(missing.err.startsWith("pelu: key not found")) << missing.err.toStdString();

    EXPECT_EQ(pelu({"reg", "import", backup}).exit_code, 0);
    EXPECT_EQ(pelu({"reg", "export", "HKEY_CURRENT_USER\\Software\\PELU"}).out, exported.out);
}

TEST_F(RegCommand, GarbageIsRefusedWithItsLineAndChangesNothing)
{
    ASSERT_EQ(pelu({"reg", "set", "HKCU\\Software\\PELU", "a", "old"}).exit_code, 0);
    const QString path = QString::fromStdString(dir.file("garbage.reg").string());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\PELU]\n\"a\"=\"new\"\n"
            "\"b\"=dword:12345678\nthis is not a value\n");
    f.close();

    const test::ProgramRun run = pelu({"reg", "import", path});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(run.err.contains("line 6")) << run.err.toStdString();
    EXPECT_EQ(pelu({"reg", "get", "HKCU\\Software\\PELU", "a"}).out, "old\n");
    EXPECT_EQ(pelu({"reg", "get", "HKCU\\Software\\PELU", "b"}).exit_code, 1);
    EXPECT_EQ(pelu({"reg", "set", "HKCU\\X", "v", "--type", "dword", "4294967296"}).exit_code, 2);
}

} // namespace
} // namespace pelu
