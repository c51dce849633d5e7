// The home and help pages ship with the program and open from the disk: every
// link and resource they use must be one of the shipped files or an anchor on
// a page, never an address on the network, and no script is needed.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

namespace {

const QString kPages = QStringLiteral(PELU_SOURCE_DIR "/data/pages");

QString read_page(const QString& name)
{
    QFile file(kPages + QLatin1Char('/') + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return QString::fromUtf8(file.readAll());
}

QSet<QString> anchors_of(const QString& page)
{
    QSet<QString> ids;
    static const QRegularExpression id(QStringLiteral(R"re(\bid="([^"]+)")re"));
    for (const auto& match : id.globalMatch(page))
        ids.insert(match.captured(1));
    return ids;
}

TEST(LocalPages, EveryLinkAndResourceIsAShippedFileOrAnAnchor)
{
    const QStringList pages = {QStringLiteral("index.html"), QStringLiteral("help.html")};
    const QSet<QString> shipped = [] {
        const QStringList names = QDir(kPages).entryList(QDir::Files);
        return QSet<QString>(names.begin(), names.end());
    }();
    ASSERT_TRUE(shipped.contains(QStringLiteral("style.css")));
    static const QRegularExpression reference(QStringLiteral(R"re(\b(?:href|src)="([^"]*)")re"));
    static const QRegularExpression css_url(QStringLiteral(R"(url\(|@import)"));
    for (const QString& name : pages) {
        const QString page = read_page(name);
        EXPECT_FALSE(page.contains(QStringLiteral("<script"), Qt::CaseInsensitive)) << name.toStdString();
        EXPECT_TRUE(page.contains(QStringLiteral("<meta charset=\"utf-8\">"))) << name.toStdString();
        int links = 0;
        for (const auto& match : reference.globalMatch(page)) {
            ++links;
            const QString target = match.captured(1);
            EXPECT_FALSE(target.contains(QStringLiteral(":"))) << name.toStdString() << ": " << target.toStdString();
            const QString file = target.section(QLatin1Char('#'), 0, 0);
            const QString anchor = target.section(QLatin1Char('#'), 1);
            const QString in_page = file.isEmpty() ? name : file;
            EXPECT_TRUE(shipped.contains(in_page)) << name.toStdString() << " links to " << target.toStdString();
            if (!anchor.isEmpty() && shipped.contains(in_page)) {
                EXPECT_TRUE(anchors_of(read_page(in_page)).contains(anchor))
                    << name.toStdString() << " links to a missing anchor " << target.toStdString();
            }
        }
        EXPECT_GT(links, 2) << name.toStdString();
    }
    EXPECT_FALSE(read_page(QStringLiteral("style.css")).contains(css_url)); // no fonts or pictures fetched
}

TEST(LocalPages, HelpNamesTheFilesAndTheMenus)
{
    const QString help = read_page(QStringLiteral("help.html"));
    for (const char* text : {"es.xes", "eqdata.ini", "default.ini", "registry.sqlite", "$XDG_DATA_HOME/pelu/",
                             "$XDG_CONFIG_HOME/pelu/", "Delete Selected Files", "Clear Playlist", "Loop Track",
                             "View PELU Spectrum", "VStereoL Meter", "VStereoR Meter", "Uninstall PELU",
                             "Online Help", "Close PELU Browser", "Load Files", "pelu playlist show"})
        EXPECT_TRUE(help.contains(QString::fromUtf8(text))) << text;
}

} // namespace
