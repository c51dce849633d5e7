// `pelu regsvr` and `pelu setup` as a user runs them.
#include "browser_run.h"

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

namespace reg = pelu::platform::registry;

QString bin(const QString& name) { return QCoreApplication::applicationDirPath() + '/' + name; }


const QString kHelperKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\"
    "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}";

TEST(RegsvrCommand, RegistersUnregistersAndSaysWhatFailed)
{
    BrowserHome home;
    QString output;
    EXPECT_EQ(home.pelu({"regsvr", bin("libpelu_test_helper.so")}, &output), 0);
    EXPECT_TRUE(output.contains("DllRegisterServer in " + bin("libpelu_test_helper.so") + " succeeded."))
        << output.toStdString();
    {
        reg::Store store(home.registry());
        EXPECT_TRUE(store.open_key(reg::Hive::LocalMachine, kHelperKey));
    }
    EXPECT_EQ(home.pelu({"regsvr", "-u", bin("libpelu_test_helper.so")}, &output), 0);
    EXPECT_TRUE(output.contains("DllUnregisterServer in")) << output.toStdString();
    {
        reg::Store store(home.registry());
        EXPECT_FALSE(store.open_key(reg::Hive::LocalMachine, kHelperKey));
    }

    EXPECT_EQ(home.pelu({"regsvr", home.root() + "/nothing.so"}, &output), 1);
    EXPECT_TRUE(output.contains("nothing.so: no such file")) << output.toStdString();
    EXPECT_EQ(home.pelu({"regsvr", bin("libmmmpeg32.so")}, &output), 1);
    EXPECT_TRUE(output.contains("exports no DllRegisterServer")) << output.toStdString();
    EXPECT_EQ(home.pelu({"regsvr"}, &output), 2);
    EXPECT_EQ(home.pelu({"regsvr", "-x", "a.so"}, &output), 2);

    // A registry that cannot be written: the library's own failure is reported.
    const QString folder_as_registry = home.root() + "/not-a-file";
    QDir().mkpath(folder_as_registry);
    const ProgramRun run = run_program(bin("pelu"), {"regsvr", bin("libpelu_test_helper.so")},
                                       {.environment = {"PELU_REGISTRY=" + folder_as_registry},
                                        .base_environment = home.environment(),
                                        .timeout_ms = 60000,
                                        .merge_output = true});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(run.out.contains("DllRegisterServer in"));
}

TEST(SetupCommand, FillsTheStorageFolderAndRegistersTheBandAndCanBeRepeated)
{
    BrowserHome home;
    const QString data = home.root() + "/shipped";
    write_bytes(data + "/default.ini", "[EQ.BrindleX]\nFFTLen=1024\n");
    write_bytes(data + "/pages/index.html", "<html>home</html>");
    write_bytes(data + "/pages/help/help.html", "<html>help</html>");
    write_bytes(data + "/eqdata.ini", "[EQ.BrindleX]\nshipped\n");
    // The user's own files are there already.
    const QString storage = home.root() + "/data/pelu/";
    write_bytes(storage + "eqdata.ini", "mine");
    write_bytes(storage + "es.xes", "my playlist");

    const QStringList args = {"setup", "--library", bin("libpelu_test_helper.so"), "--data", data};
    QString output;
    ASSERT_EQ(home.pelu(args, &output), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("succeeded")) << output.toStdString();
    EXPECT_EQ(read_bytes(storage + "default.ini"), "[EQ.BrindleX]\nFFTLen=1024\n");
    EXPECT_EQ(read_bytes(storage + "pages/index.html"), "<html>home</html>");
    EXPECT_EQ(read_bytes(storage + "pages/help/help.html"), "<html>help</html>");
    EXPECT_EQ(read_bytes(storage + "eqdata.ini"), "mine");
    EXPECT_EQ(read_bytes(storage + "es.xes"), "my playlist");
    {
        reg::Store store(home.registry());
        auto key = store.open_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
        ASSERT_TRUE(key);
        EXPECT_EQ(store.query(*key, "DLL Location")->text, storage);
        EXPECT_TRUE(store.open_key(reg::Hive::LocalMachine, kHelperKey));
    }

    // Again, after a newer default.ini shipped: replaced; the user's files stay.
    write_bytes(data + "/default.ini", "[EQ.BrindleX]\nFFTLen=2048\n");
    ASSERT_EQ(home.pelu(args, &output), 0) << output.toStdString();
    EXPECT_EQ(read_bytes(storage + "default.ini"), "[EQ.BrindleX]\nFFTLen=2048\n");
    EXPECT_EQ(read_bytes(storage + "eqdata.ini"), "mine");

    // Without the user's preset, the shipped one is copied.
    QFile::remove(storage + "eqdata.ini");
    ASSERT_EQ(home.pelu(args, &output), 0);
    EXPECT_EQ(read_bytes(storage + "eqdata.ini"), "[EQ.BrindleX]\nshipped\n");

    // Nothing ships one (as the program's data folder): the factory settings
    // become the user's, so the equalizer starts with its bands.
    QFile::remove(data + "/eqdata.ini");
    QFile::remove(storage + "eqdata.ini");
    ASSERT_EQ(home.pelu(args, &output), 0);
    EXPECT_EQ(read_bytes(storage + "eqdata.ini"), "[EQ.BrindleX]\nFFTLen=2048\n");
}

TEST(SetupCommand, SaysWhatIsMissing)
{
    BrowserHome home;
    const QString data = home.root() + "/shipped";
    write_bytes(data + "/default.ini", "[EQ.BrindleX]\n");
    QString output;
    // No pages: set up all the same, with a warning.
    EXPECT_EQ(home.pelu({"setup", "--library", bin("libpelu_test_helper.so"), "--data", data}, &output), 0);
    EXPECT_TRUE(output.contains("has no pages/ folder")) << output.toStdString();
    EXPECT_EQ(home.pelu({"setup", "--library", home.root() + "/none.so", "--data", data}, &output), 1);
    EXPECT_TRUE(output.contains("none.so: no such file")) << output.toStdString();
    EXPECT_EQ(home.pelu({"setup", "--data", home.root() + "/nowhere"}, &output), 1);
    EXPECT_EQ(home.pelu({"setup", "--bogus"}, &output), 2);
}

} // namespace
} // namespace pelu::test
