#include "settings/prop_saver.h"
#include "platform/registry/reg_file.h"
#include "settings/reg_data.h"
#include "settings/storage.h"

#include "files.h"

#include <QFile>

#include <gtest/gtest.h>

#include <QStringList>

#include <cmath>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace pelu {
namespace {

namespace reg = platform::registry;
using pelu::test::TempDir;

constexpr std::int32_t kPlayerEncryptId = -1286473519;

// ---------------------------------------------------------------------------
// A small form: published properties and owned components, as the player's.
class MenuItem : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Checked READ Checked WRITE SetChecked)
public:
    using QObject::QObject;
    bool Checked() const { return checked_; }
    void SetChecked(bool c) { checked_ = c; }
    bool checked_ = true;
};

class Source : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
public:
    using QObject::QObject;
    QString FileName() const { return file_; }
    void SetFileName(const QString& f) { file_ = f; }
    QString file_;
};

class Form : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString storedlocx MEMBER storedlocx)
    Q_PROPERTY(int emberxix MEMBER emberxix)
    Q_PROPERTY(int LastHighX MEMBER lasthighx)
    Q_PROPERTY(double Ratio MEMBER ratio)
    Q_PROPERTY(Mode ViewMode MEMBER mode)
    Q_PROPERTY(Parts Shown READ Shown WRITE SetShown)
    Q_PROPERTY(QStringList Recent MEMBER recent)
    Q_PROPERTY(QObject* Partner MEMBER partner)
public:
    enum Mode { vmSmall, vmLarge };
    Q_ENUM(Mode)
    enum Part { spSpectrum = 1, spLeft = 2, spRight = 4 };
    Q_DECLARE_FLAGS(Parts, Part)
    Q_FLAG(Parts)
    Parts Shown() const { return shown; }
    void SetShown(Parts p) { shown = p; }

    Form()
    {
        setObjectName("BandForm");
        audiox.setObjectName("audiox");
        audiox.setParent(this);
        menu.setObjectName("PopupMenu20001");
        menu.setParent(this);
        for (MenuItem* item : {&spectrum, &left, &right})
            item->setParent(&menu); // menu items live under their menu
        spectrum.setObjectName("ViewPELUSpectrum1");
        left.setObjectName("VStereoLMeter1");
        right.setObjectName("VStereoRMeter1");
    }
    ~Form() override
    {
        for (QObject* o : std::initializer_list<QObject*>{&spectrum, &left, &right, &menu, &audiox})
            o->setParent(nullptr);
    }

    QString storedlocx;
    int emberxix = 0;
    int lasthighx = -1;
    double ratio = 0;
    Mode mode = vmSmall;
    Parts shown;
    QStringList recent;
    QObject* partner = nullptr;
    Source audiox;
    QObject menu;
    MenuItem spectrum, left, right;
};

const QStringList kPlayerEntries = {
    R"(storedlocx,"",EPDC)",          R"(emberxix,"",EPDC)",
    R"(lasthighx,"",EPDC)",           R"(audiox.FileName,"",EPDC)",
    R"(ViewPELUSpectrum1.Checked,"",EPDC)", R"(VStereoLMeter1.Checked,"",EPDC)",
    R"(VStereoRMeter1.Checked,"",EPDC)",
};

// The player's three settings components on one form.
struct PlayerSettings {
    explicit PlayerSettings(QObject* form, std::shared_ptr<reg::Store> store)
    {
        xreg = new TrsRegData(form);
        xreg->SetRootKey(TrsRegData::rkCurrentUser);
        xreg->SetRootPath("Software\\PELU");
        xreg->SetRegistry(std::move(store));
        storage = new TrsStorage(form);
        storage->SetEncryptId(kPlayerEncryptId);
        storage->SetEncryptKeys({"\\XPD\\audiox.FileName", "\\XPD\\lasthighx", "\\XPD\\emberxix",
                                 "\\XPD\\storedlocx", "\\XPD\\ViewPELUSpectrum1.Checked",
                                 "\\XPD\\VStereoLMeter1.Checked", "\\XPD\\VStereoRMeter1.Checked"});
        storage->SetStorageData(xreg);
        saver = new TrsPropSaver(form);
        saver->SetStorage(storage);
        saver->SetOptions(TrsPropSaver::poStoreDefValues);
        saver->SetRootSection("XPD");
        saver->SetProperties(kPlayerEntries);
        saver->SetWhenSave(TrsPropSaver::wsOnDestroy);
    }
    TrsRegData* xreg;
    TrsStorage* storage;
    TrsPropSaver* saver;
};

std::vector<reg::Value> values_of(reg::Store& store, const QString& path)
{
    auto key = store.open_key(reg::Hive::CurrentUser, path);
    return key ? store.values(*key) : std::vector<reg::Value>{};
}

// ---------------------------------------------------------------------------

TEST(TrsProperty, EntrySyntax)
{
    auto p = TrsProperty::Parse("name,,");
    EXPECT_EQ(p.name, "name");
    EXPECT_EQ(p.default_text, "");
    EXPECT_TRUE(p.active);
    EXPECT_EQ(p.kind, TrsProperty::pkPublished);
    EXPECT_EQ(p.direction, TrsProperty::pdBoth);

    p = TrsProperty::Parse(R"(name,"x",E)"); // too few flags: no flags, no default
    EXPECT_EQ(p.name, R"(name,"x",E)");
    EXPECT_EQ(p.default_text, "");
    EXPECT_TRUE(p.active);

    p = TrsProperty::Parse(R"(storedlocx,"",EPDC)");
    EXPECT_EQ(p.name, "storedlocx");
    EXPECT_EQ(p.default_text, "");
    EXPECT_TRUE(p.scrambled);

    p = TrsProperty::Parse(R"(a.b,"x,y",XUW)");
    EXPECT_EQ(p.name, "a.b");
    EXPECT_EQ(p.default_text, "x,y");
    EXPECT_FALSE(p.active);
    EXPECT_EQ(p.kind, TrsProperty::pkUser);
    EXPECT_EQ(p.direction, TrsProperty::pdSaveOnly);
    EXPECT_FALSE(p.scrambled);

    p = TrsProperty::Parse("ab");
    EXPECT_EQ(p.name, "ab");
}

TEST(TrsStorage, PathsCreateSectionsAndReadingCreatesNothing)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    TrsRegData data;
    data.SetRootKey(TrsRegData::rkCurrentUser);
    data.SetRootPath("Software\\T");
    data.SetRegistry(store);
    TrsStorage storage;
    storage.SetStorageData(&data);

    EXPECT_FALSE(storage.ValueExists("\\A\\B\\v"));
    EXPECT_FALSE(storage.SectionExists("\\A"));
    storage.WriteInteger("\\A\\B\\v", 7);
    EXPECT_TRUE(storage.SectionExists("\\a"));
    EXPECT_TRUE(storage.SectionExists("/A/b"));
    storage.SetRootSection("A");
    EXPECT_EQ(storage.ReadInteger("b\\V"), 7);
    storage.Save();

    EXPECT_TRUE(values_of(*store, "Software\\T\\A").empty());
    auto v = values_of(*store, "Software\\T\\A\\B");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].name, "v");
    EXPECT_EQ(v[0].type, reg::ValueType::Dword);
    EXPECT_EQ(v[0].dword, 7u);
}

TEST(TrsValue, ConversionsAndTheirErrors)
{
    EXPECT_EQ(TrsValue().AsFloat(), 0);
    EXPECT_EQ(TrsValue::String(" 2.5").AsFloat(), 2.5);
    EXPECT_EQ(TrsValue::Currency(12345).AsFloat(), 1.2345);
    EXPECT_EQ(TrsValue::Int64(0x1'0000'0005LL).AsInteger(), 5); // low 32 bits
    EXPECT_EQ(TrsValue::Float(2.5).AsInteger(), 2);             // ties to even
    EXPECT_EQ(TrsValue::Float(3.5).AsInteger(), 4);
    EXPECT_EQ(TrsValue::Currency(25000).AsInt64(), 2);
    EXPECT_EQ(TrsValue::Boolean(true).AsInteger(), 1);
    EXPECT_EQ(TrsValue::Point(-3, 4).AsString(), "(-3,4)");
    EXPECT_EQ(TrsValue::Currency(-15000).AsString(), "-1.5");
    EXPECT_EQ(TrsValue::Int64(-9000000000LL).AsString(), "-9000000000");
    EXPECT_EQ(TrsValue::Float(0.1).AsString(), "0.1");

    auto message_of = [](auto&& fn) {
        try {
            fn();
        } catch (const TrsException& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message_of([] { TrsValue::Boolean(true).AsFloat(); }),
              "TrsStorage get key value error: Can't read value as float type.");
    EXPECT_EQ(message_of([] { TrsValue::String("abc").AsInteger(); }),
              "TrsStorage get key value error: Can't read value as integer type.");
    EXPECT_EQ(message_of([] { TrsValue::Point(1, 2).AsInt64(); }),
              "TrsStorage get key value error: Can't read value as Int64 type.");
    EXPECT_EQ(message_of([] { TrsValue::Float(1e12).AsInteger(); }),
              "TrsStorage get key value error: Can't read value as integer type.");
}

TEST(Scrambling, EveryTypeRoundTripsBitForBit)
{
    const TrsValue values[] = {
        TrsValue(),
        TrsValue::String("hello"),
        TrsValue::String(""),
        TrsValue::String("äöü/long text with \\ separators and more than a few words"),
        TrsValue::Binary(QByteArray("\x00\xff\x10", 3)),
        TrsValue::Integer(-123456),
        TrsValue::Float(-0.0),
        TrsValue::Float(std::nan("")),
        TrsValue::Float(1.0 / 3.0),
        TrsValue::Currency(-987654321),
        TrsValue::DateTime(45000.75),
        TrsValue::Boolean(true),
        TrsValue::Point(INT32_MIN, INT32_MAX),
        TrsValue::Int64(INT64_MIN),
    };
    for (std::int32_t key : {kPlayerEncryptId, 0, -1, 0x12345678}) {
        for (const TrsValue& v : values) {
            const TrsValue scrambled = TrsScrambleValue(v, key);
            EXPECT_EQ(scrambled.Type(), v.Type() == rvBinary ? rvBinary : rvString);
            for (char c : scrambled.Bytes())
                EXPECT_TRUE(std::isalnum(std::uint8_t(c)) || c == '+' || c == '/') << c;
            auto back = TrsUnscrambleValue(scrambled, key);
            ASSERT_TRUE(back) << int(v.Type());
            EXPECT_TRUE(*back == v) << "type " << v.Type() << " key " << key;
        }
    }
    // A 5-character string: tag and 5 bytes are 7 bytes, 10 Base64 characters.
    EXPECT_EQ(TrsScrambleValue(TrsValue::String("abcde"), kPlayerEncryptId).Bytes().size(), 10);
}

TEST(Scrambling, KnownTextAndValuesLeftAlone)
{
    // Tag 1 and "A" XOR the key 0: bytes 01 00 41, Base64 "AQBB".
    EXPECT_EQ(TrsScrambleValue(TrsValue::String("A"), 0).Bytes(), "AQBB");
    // One trailing byte gives two characters, two give three (no padding).
    EXPECT_EQ(TrsScrambleValue(TrsValue::String(""), 0).Bytes(), "AQA");
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::String("AQA="), 0));    // "=" is outside the alphabet
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::String("AQBBA"), 0));   // last group of one character
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::String("/opt/x y"), 0)); // a blank
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::Integer(5), 0));        // not text
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::String("CgA"), 0));     // tag 10
    EXPECT_FALSE(TrsUnscrambleValue(TrsValue::String("AwA"), 0));     // an integer without its data
}

// The whole player cycle: first start with only "DLL Location", save at
// destruction, the next start gets everything back; the registry holds the
// seven values scrambled and "DLL Location" untouched.
TEST(PlayerSettings, SaveAndLoadThroughTheRegistry)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    const reg::KeyId xpd = store->create_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
    store->set_value(xpd, reg::Value::string("DLL Location", "/opt/pelu/"));
    store->set_value(xpd, reg::Value::string("Other", "  padded\t"));
    store->set_value(store->create_key(reg::Hive::CurrentUser, "Software\\PELU\\Sub"), reg::Value::number("n", 9));

    {
        Form form;
        PlayerSettings s(&form, store);
        s.xreg->OnAfterLoad = [&](QObject*) {
            // Runs before the unscrambling: the folder comes from DLL Location.
            if (form.storedlocx.isEmpty())
                form.storedlocx = s.storage->ReadString("\\XPD\\DLL Location");
        };
        s.storage->SetActive(true);
        s.saver->HandleOwnerEvent(TrsPropSaver::oeCreate);
        EXPECT_EQ(form.storedlocx, "/opt/pelu/");
        EXPECT_TRUE(form.spectrum.Checked());
        form.emberxix = 1;
        form.lasthighx = 4;
        form.audiox.SetFileName("/music/a b.mp3");
        form.left.SetChecked(false);
        s.saver->HandleOwnerEvent(TrsPropSaver::oeDestroy);
        // The storage saves as it goes (soSaveOnClose).
    }

    auto stored = values_of(*store, "Software\\PELU\\XPD");
    ASSERT_EQ(stored.size(), 9u);
    for (const reg::Value& v : stored) {
        if (v.name == "DLL Location") {
            EXPECT_EQ(v.text, "/opt/pelu/");
        } else if (v.name == "Other") {
            EXPECT_EQ(v.text, "padded"); // trimmed at load, as stored strings are
        } else {
            EXPECT_EQ(v.type, reg::ValueType::String) << v.name.toStdString();
            auto plain = TrsUnscrambleValue(TrsValue::String(v.text), kPlayerEncryptId);
            ASSERT_TRUE(plain) << v.name.toStdString();
            // Integer properties keep their type inside the scrambled text.
            const bool integer = v.name == "emberxix" || v.name == "lasthighx";
            EXPECT_EQ(plain->Type(), integer ? rvInteger : rvString) << v.name.toStdString();
        }
    }
    EXPECT_EQ(values_of(*store, "Software\\PELU\\Sub").size(), 1u);

    Form again;
    PlayerSettings s(&again, store);
    s.storage->SetActive(true);
    s.saver->HandleOwnerEvent(TrsPropSaver::oeCreate);
    EXPECT_EQ(again.storedlocx, "/opt/pelu/");
    EXPECT_EQ(again.emberxix, 1);
    EXPECT_EQ(again.lasthighx, 4);
    EXPECT_EQ(again.audiox.FileName(), "/music/a b.mp3");
    EXPECT_TRUE(again.spectrum.Checked());
    EXPECT_FALSE(again.left.Checked());
    // In memory the values are plain again after the save.
    EXPECT_EQ(s.storage->ReadString("\\XPD\\lasthighx"), "4");
}

// A save that still fails once the store has stayed busy is kept beside the
// store, read from there meanwhile, and goes into the store at the next load.
TEST(PlayerSettings, ASaveThatStillFailsIsKeptForTheNextLoad)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("r.sqlite").string());
    auto store = std::make_shared<reg::Store>(path);
    store->set_busy_timeout_ms(1);
    reg::Store other(path);
    for (const int lasthigh : {4, 5}) {
        // Another program holds the store for the whole life of the form.
        other.transaction([&] {
            other.create_key(reg::Hive::CurrentUser, "Software\\Another Program");
            Form form;
            PlayerSettings s(&form, store);
            s.storage->SetActive(true);
            s.saver->HandleOwnerEvent(TrsPropSaver::oeCreate);
            EXPECT_EQ(form.lasthighx, lasthigh == 4 ? -1 : 4) << "the kept values are read while the store is busy";
            form.lasthighx = lasthigh;
            s.saver->HandleOwnerEvent(TrsPropSaver::oeDestroy);
        });
        EXPECT_TRUE(values_of(*store, "Software\\PELU\\XPD").empty());
        EXPECT_TRUE(QFile::exists(path + ".unsaved"));
    }
    Form again;
    PlayerSettings s(&again, store);
    s.storage->SetActive(true);
    s.saver->HandleOwnerEvent(TrsPropSaver::oeCreate);
    EXPECT_EQ(again.lasthighx, 5);
    EXPECT_EQ(values_of(*store, "Software\\PELU\\XPD").size(), 7u);
    EXPECT_FALSE(QFile::exists(path + ".unsaved")) << "the side store goes once its values are stored";
}

TEST(PlayerSettings, SavingTwiceLeavesTheSubtreeIdentical)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    Form form;
    PlayerSettings s(&form, store);
    s.storage->SetActive(true);
    form.audiox.SetFileName("/x.mp3");
    s.storage->WriteValue("\\Kinds\\f", TrsValue::Float(1.5));
    s.storage->WriteValue("\\Kinds\\p", TrsValue::Point(1, 2));
    s.storage->WriteValue("\\Kinds\\i", TrsValue::Int64(-5));
    s.storage->WriteValue("\\Kinds\\b", TrsValue::Binary("raw"));
    s.saver->Save();
    s.storage->Save();
    const QByteArray first = reg::export_reg_file(*store);
    s.storage->Load();
    s.saver->Save();
    s.storage->Save();
    EXPECT_EQ(reg::export_reg_file(*store), first);
    EXPECT_EQ(s.storage->ReadValue("\\Kinds\\p")->Type(), rvPoint);
    EXPECT_EQ(s.storage->ReadValue("\\Kinds\\b")->Bytes(), "raw");
}

TEST(TrsPropSaver, DefaultValuesAreRemovedWithoutStoreDefValues)
{
    Form form;
    TrsStorage storage;
    TrsPropSaver saver(&form);
    saver.SetStorage(&storage);
    saver.SetOptions(0);
    saver.SetRootSection("S");
    saver.SetProperties({"emberxix,0,EPD", "lasthighx,\"-1\",EPD"});
    form.emberxix = 3;
    form.lasthighx = 7;
    saver.Save();
    EXPECT_EQ(storage.ReadInteger("\\S\\emberxix"), 3);
    form.emberxix = 0;
    form.lasthighx = -1;
    saver.Save();
    EXPECT_FALSE(storage.ValueExists("\\S\\emberxix"));
    EXPECT_FALSE(storage.ValueExists("\\S\\lasthighx"));
    // Missing values load their default text.
    form.lasthighx = 9;
    saver.Load();
    EXPECT_EQ(form.lasthighx, -1);
}

TEST(TrsPropSaver, PropertyKindsRoundTripAndBadValuesRaise)
{
    Form form;
    Source other;
    other.setObjectName("Other");
    other.setParent(&form.menu);
    TrsStorage storage;
    TrsPropSaver saver(&form);
    saver.SetStorage(&storage);
    saver.SetProperties({"Ratio", "ViewMode", "Shown", "Recent", "Partner", "AUDIOX.filename", "nosuch.Thing"});
    form.ratio = 0.25;
    form.mode = Form::vmLarge;
    form.shown = Form::Parts(Form::spSpectrum) | Form::spRight;
    form.recent = {"a", "b c"};
    form.partner = &other;
    form.audiox.SetFileName("f.mp3");
    saver.Save();
    EXPECT_EQ(storage.ReadValue("\\ViewMode")->AsString(), "vmLarge");
    EXPECT_EQ(storage.ReadString("\\Shown"), "[spSpectrum,spRight]");
    EXPECT_EQ(storage.ReadString("\\Partner"), "PopupMenu20001.Other");
    EXPECT_EQ(storage.ReadValue("\\Ratio")->Type(), rvFloat);
    EXPECT_FALSE(storage.ValueExists("\\nosuch.Thing"));

    Form loaded;
    Source other2;
    other2.setObjectName("Other");
    other2.setParent(&loaded.menu);
    TrsPropSaver saver2(&loaded);
    saver2.SetStorage(&storage);
    saver2.SetProperties(saver.Properties());
    saver2.Load();
    EXPECT_EQ(loaded.ratio, 0.25);
    EXPECT_EQ(loaded.mode, Form::vmLarge);
    EXPECT_EQ(loaded.shown, Form::Parts(Form::spSpectrum) | Form::spRight);
    EXPECT_EQ(loaded.recent, (QStringList{"a", "b c"}));
    EXPECT_EQ(loaded.partner, &other2);
    EXPECT_EQ(loaded.audiox.FileName(), "f.mp3");
    other2.setParent(nullptr);
    other.setParent(nullptr);

    // A value the property cannot take raises, but the other entries still load.
    storage.WriteString("\\emberxix", "not a number");
    storage.WriteString("\\lasthighx", "12");
    saver2.SetProperties({"emberxix", "lasthighx"});
    bool after_load = false;
    saver2.OnAfterLoad = [&](QObject*) { after_load = true; };
    EXPECT_THROW(saver2.Load(), TrsException);
    EXPECT_TRUE(after_load);
    EXPECT_EQ(loaded.lasthighx, 12);
    // Started by an owner event, the error goes to the application's handler.
    std::string reported;
    TrsSetApplicationErrorHandler([&](const std::exception& e) { reported = e.what(); });
    bool own_handler_ran = false;
    saver2.HandleOwnerEvent(TrsPropSaver::oeCreate, [&] { own_handler_ran = true; });
    TrsSetApplicationErrorHandler({});
    EXPECT_TRUE(own_handler_ran);
    EXPECT_EQ(reported, "TrsStorage get key value error: Can't read value as integer type.");
}

TEST(PlayerSettings, UnscramblableTextAndUnknownValuesPassThrough)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    const reg::KeyId xpd = store->create_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
    store->set_value(xpd, reg::Value::string("storedlocx", "/not base64/"));
    store->set_value(xpd, reg::Value::binary("blob", QByteArray(10, '\x09'))); // 10 bytes, tag 0x0909: binary
    store->set_value(xpd, reg::Value::binary("odd\\name", "x"));

    Form form;
    PlayerSettings s(&form, store);
    s.storage->SetActive(true);
    EXPECT_EQ(s.storage->ReadString("\\XPD\\storedlocx"), "/not base64/");
    s.saver->HandleOwnerEvent(TrsPropSaver::oeCreate);
    EXPECT_EQ(form.storedlocx, "/not base64/");
    s.storage->SetActive(false); // saves

    auto check = reg::Store(store->path());
    auto key = check.open_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
    ASSERT_TRUE(key);
    EXPECT_EQ(check.query(*key, "blob")->bytes, QByteArray(10, '\x09'));
    EXPECT_EQ(check.query(*key, "odd\\name")->bytes, "x");
    // Saved again scrambled, since the key is listed.
    auto loc = TrsUnscrambleValue(TrsValue::String(check.query(*key, "storedlocx")->text), kPlayerEncryptId);
    ASSERT_TRUE(loc);
    EXPECT_EQ(loc->AsString(), "/not base64/");
}

// A backend whose transfers fail, to see what the storage keeps in memory.
class FailingData : public TrsStorageData {
public:
    using TrsStorageData::TrsStorageData;
    ~FailingData() override { SaveStorageBeforeDestruction(); }
    int saves = 0;
    QByteArray seen_scrambled;

protected:
    void DoLoad() override { throw TrsException("load failed"); }
    void DoSave() override
    {
        ++saves;
        seen_scrambled = Storage()->ReadValue("\\K\\secret")->Bytes();
        throw TrsException("save failed");
    }
};

TEST(TrsStorage, AFailedSaveLeavesPlainValuesAndEventsStillRun)
{
    TrsStorage storage;
    FailingData data;
    storage.SetStorageData(&data);
    storage.SetEncryptId(kPlayerEncryptId);
    storage.SetEncryptKeys({"K\\secret"}); // a leading separator is added
    storage.WriteString("\\K\\secret", "plain");
    bool after_save = false;
    data.OnAfterSave = [&](QObject*) { after_save = true; };
    EXPECT_THROW(storage.Save(), TrsException);
    EXPECT_TRUE(after_save);
    EXPECT_EQ(data.seen_scrambled, TrsScrambleValue(TrsValue::String("plain"), kPlayerEncryptId).Bytes());
    EXPECT_EQ(storage.ReadString("\\K\\secret"), "plain");

    bool after_load = false;
    data.OnAfterLoad = [&](QObject*) { after_load = true; };
    EXPECT_THROW(storage.Load(), TrsException);
    EXPECT_TRUE(after_load);

    // Replacement routines are called once per listed path that exists.
    QStringList encrypted;
    storage.WriteString("\\K\\secret", "plain");
    storage.OnEncryptKey = [&](QObject*, const QString& key) { encrypted << key; };
    EXPECT_THROW(storage.Save(), TrsException);
    EXPECT_EQ(encrypted, QStringList{"\\K\\secret"});
}

TEST(TrsStorage, ActivationWaitsForLoadingAndEitherDestructionOrderSaves)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    auto make = [&](QObject* owner, bool backend_first) {
        TrsRegData* data = nullptr;
        TrsStorage* storage = nullptr;
        if (backend_first) {
            data = new TrsRegData(owner);
            storage = new TrsStorage(owner);
        } else {
            storage = new TrsStorage(owner);
            data = new TrsRegData(owner);
        }
        data->SetRootKey(TrsRegData::rkCurrentUser);
        data->SetRootPath("Software\\Order");
        data->SetRegistry(store);
        storage->SetStorageData(data);
        return storage;
    };
    for (bool backend_first : {true, false}) {
        {
            QObject owner;
            TrsStorage* storage = make(&owner, backend_first);
            storage->BeginLoading();
            storage->SetActive(true);
            EXPECT_FALSE(storage->Active());
            storage->Loaded();
            EXPECT_TRUE(storage->Active());
            storage->WriteInteger("\\v", backend_first ? 1 : 2);
        } // the owner goes: its children in creation order
        auto key = store->open_key(reg::Hive::CurrentUser, "Software\\Order");
        ASSERT_TRUE(key);
        EXPECT_EQ(store->query(*key, "v")->dword, backend_first ? 1u : 2u);
    }
}

TEST(TrsPropSaver, AComponentByItselfIsSavedAsItsImage)
{
    Form form;
    TrsStorage storage;
    TrsPropSaver saver(&form);
    saver.SetStorage(&storage);
    saver.SetProperties({"audiox", "ViewPELUSpectrum1"});
    form.audiox.SetFileName("/saved.mp3");
    form.spectrum.SetChecked(false);
    saver.Save();
    EXPECT_EQ(storage.ReadValue("\\audiox")->Type(), rvBinary);

    Form loaded;
    TrsPropSaver saver2(&loaded);
    saver2.SetStorage(&storage);
    saver2.SetProperties(saver.Properties());
    saver2.Load();
    EXPECT_EQ(loaded.audiox.FileName(), "/saved.mp3");
    EXPECT_FALSE(loaded.spectrum.Checked());

    storage.WriteBinary("\\audiox", "garbage");
    EXPECT_THROW(saver2.Load(), TrsException);
}

// A save killed at random moments leaves either the old or the new subtree.
TEST(PlayerSettings, KilledSavesNeverLeaveAMixedSubtree)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("r.sqlite").string());
    const int kValues = 60;
    auto fill = [&](TrsStorage& storage, int generation) {
        storage.Clear();
        for (int i = 0; i < kValues; ++i)
            storage.WriteInteger(QString("\\XPD\\g%1\\v%2").arg(i % 3).arg(i), generation);
    };
    {
        reg::Store store(path);
        TrsRegData data;
        data.SetRootKey(TrsRegData::rkCurrentUser);
        data.SetRootPath("Software\\PELU");
        data.SetRegistry(std::make_shared<reg::Store>(path));
        TrsStorage storage;
        storage.SetStorageData(&data);
        fill(storage, 0);
        storage.Save();
    }
    std::mt19937 random(12345);
    int killed_mid_run = 0;
    for (int round = 0; round < 40; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Saves generation after generation until killed.
            TrsRegData data;
            data.SetRootKey(TrsRegData::rkCurrentUser);
            data.SetRootPath("Software\\PELU");
            data.SetRegistry(std::make_shared<reg::Store>(path));
            TrsStorage storage;
            storage.SetStorageData(&data);
            for (int generation = 1;; ++generation) {
                fill(storage, round * 100000 + generation);
                storage.Save();
            }
        }
        usleep(useconds_t(std::uniform_int_distribution<int>(1000, 40000)(random)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
            ++killed_mid_run;

        reg::Store store(path);
        int generation = -1;
        int count = 0;
        for (int g = 0; g < 3; ++g) {
            auto key = store.open_key(reg::Hive::CurrentUser, QString("Software\\PELU\\XPD\\g%1").arg(g));
            ASSERT_TRUE(key) << "round " << round;
            for (const reg::Value& v : store.values(*key)) {
                if (generation < 0)
                    generation = int(v.dword);
                EXPECT_EQ(int(v.dword), generation) << "round " << round;
                ++count;
            }
        }
        ASSERT_EQ(count, kValues) << "round " << round;
    }
    EXPECT_EQ(killed_mid_run, 40);
}

} // namespace
} // namespace pelu

#include "settings_test.moc"
