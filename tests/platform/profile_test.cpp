#include "platform/profile/profile.h"

#include "files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace pelu::platform {
namespace {

using test::qpath;

using test::read_text;
using test::write_text;

TEST(PrivateProfile, ReadsWithPlatformSemantics)
{
    test::TempDir dir;
    const auto file = dir.file("a.ini");
    write_text(file, "; comment=1\r\n[Main]\r\n  Name = \"quoted value\" \r\nCount=12abc\r\nBad=x\r\n"
                     "Neg=-7\r\n[main]\r\nName=second\r\n[Other]\r\nName='single'\r\nEmpty=\r\n");
    PrivateProfile profile(qpath(file));
    EXPECT_EQ(profile.ReadString("MAIN", "name", "-"), "quoted value");
    EXPECT_EQ(profile.ReadInteger("Main", "Count", 0), 12);
    EXPECT_EQ(profile.ReadInteger("Main", "Bad", 5), 5);
    EXPECT_EQ(profile.ReadInteger("Main", "Neg", 0), -7);
    EXPECT_EQ(profile.ReadInteger("Main", "Missing", 3), 3);
    EXPECT_EQ(profile.ReadString("other", "NAME", "-"), "single");
    EXPECT_EQ(profile.ReadString("Other", "Empty", "-"), "");
    EXPECT_EQ(profile.ReadString("Nowhere", "Name", "-"), "-");
    EXPECT_FALSE(profile.Value("Main", "; comment").has_value());
    EXPECT_TRUE(profile.ReadBool("Main", "Count", false));
    EXPECT_EQ(profile.Sections(), (QStringList{"Main", "Other"}));
    EXPECT_EQ(GetPrivateProfileInt("main", "count", 0, qpath(file)), 12);
    EXPECT_EQ(GetPrivateProfileString("x", "y", "dflt", qpath(dir.file("none.ini"))), "dflt");
}

TEST(PrivateProfile, WritesTouchOnlyTheirLine)
{
    test::TempDir dir;
    const auto file = dir.file("b.ini");
    write_text(file, "; keep me\r\n[One]\r\na=1\r\nb=2\r\n\r\n[Two]\r\nx=9\r\n");
    PrivateProfile profile(qpath(file));
    profile.WriteString("one", "B", "20");   // replaced in place
    profile.WriteString("One", "c", "3");    // after the section's last non-blank line
    profile.WriteString("Three", "z", "26"); // a new section at the end
    profile.Save();
    EXPECT_EQ(read_text(file), "; keep me\r\n[One]\r\na=1\r\nB=20\r\nc=3\r\n\r\n[Two]\r\nx=9\r\n\r\n[Three]\r\nz=26\r\n");

    WritePrivateProfileString("Two", "x", std::nullopt, qpath(file)); // deletes the key
    EXPECT_EQ(GetPrivateProfileString("Two", "x", "gone", qpath(file)), "gone");

    // A new file is created.
    const auto fresh = dir.file("new.ini");
    WritePrivateProfileString("S", "k", QString("v"), qpath(fresh));
    EXPECT_EQ(read_text(fresh), "[S]\nk=v\n");

    PrivateProfile bad(qpath(fresh));
    EXPECT_THROW(bad.WriteString("S", "a=b", "1"), ProfileError);
    EXPECT_THROW(bad.WriteString("S", "k", "two\nlines"), ProfileError);
}

TEST(PrivateProfile, ManyKeysAtOnceWriteWhatOneAtATimeWrites)
{
    const std::string start = "; keep me\r\n[One]\r\na=1\r\nB=2\r\nb=dup\r\n\r\n[Two]\r\nx=9\r\n[one]\r\nc=old\r\n";
    const std::vector<std::pair<QString, QString>> entries = {
        {"b", "20"}, {"new", "n"}, {"A", "10"}, {"c", "3"}, {"NEW", "again"}};
    test::TempDir dir;
    std::string expected;
    for (const char* section : {"ONE", "Three"}) {
        const auto file = dir.file("one_by_one.ini");
        write_text(file, start);
        PrivateProfile one_by_one(qpath(file));
        for (const auto& [key, value] : entries)
            one_by_one.WriteString(section, key, value);
        PrivateProfile at_once(qpath(file));
        at_once.WriteStrings(section, entries);
        EXPECT_EQ(at_once.Serialize(), one_by_one.Serialize()) << section;
        expected = one_by_one.Serialize().toStdString();
    }
    EXPECT_EQ(expected, start + "\r\n[Three]\r\nb=20\r\nNEW=again\r\nA=10\r\nc=3\r\n");

    // One bad entry refuses them all.
    const auto file = dir.file("bad.ini");
    write_text(file, start);
    PrivateProfile profile(qpath(file));
    EXPECT_THROW(profile.WriteStrings("One", {{"a", "5"}, {"k=v", "1"}}), ProfileError);
    EXPECT_EQ(profile.Serialize().toStdString(), start);
}

TEST(PrivateProfile, UnwritablePlaceIsAClearError)
{
    test::TempDir dir;
    PrivateProfile profile(qpath(dir.file("missing-folder") / "e.ini"));
    profile.WriteString("A", "k", "v");
    try {
        profile.Save();
        FAIL() << "saved into a folder that does not exist";
    } catch (const ProfileError& e) {
        EXPECT_NE(std::string(e.what()).find("Unable to write to "), std::string::npos);
    }
}

TEST(PrivateProfile, FailedSaveLeavesTheOldFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    test::TempDir dir;
    const auto file = dir.file("c.ini");
    write_text(file, "[A]\nk=old\n");
    chmod(dir.path().c_str(), 0500);
    PrivateProfile profile(qpath(file));
    profile.WriteString("A", "k", "new");
    EXPECT_THROW(profile.Save(), ProfileError);
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(read_text(file), "[A]\nk=old\n");
}

TEST(PrivateProfile, SaveReplacesTheFileWhole)
{
    test::TempDir dir;
    const auto file = dir.file("d.ini");
    write_text(file, "[A]\nk=old\n");
    struct stat before {};
    stat(file.c_str(), &before);
    PrivateProfile profile(qpath(file));
    profile.WriteString("A", "k", "new");
    profile.Save();
    struct stat after {};
    stat(file.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino); // a new file renamed over the old one
    EXPECT_EQ(read_text(file), "[A]\nk=new\n");
    // No temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

} // namespace
} // namespace pelu::platform
