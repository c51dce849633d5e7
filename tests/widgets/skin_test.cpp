// Skin pictures: JPEG decoding with libjpeg, the two scales, and what a missing,
// foreign or corrupt picture does (plain colours, one clear report).
#include "widgets/image_button.h"
#include "widgets/picture.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace pelu::widgets;

namespace {

QImage Pattern(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(x < size.width() / 2 ? 200 : 30, 90, y < size.height() / 2 ? 40 : 220));
    return image;
}

bool Near(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
           && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

struct SkinFixture : ::testing::Test {
    QTemporaryDir dir;
    QStringList reports;
    void SetUp() override
    {
        ClearSkinCache();
        SetSkinDirectory(dir.path());
        SetSkinReportHandler([this](const QString& message) { reports << message; });
    }
    void TearDown() override
    {
        SetSkinReportHandler(nullptr);
        SetSkinDirectory(QString());
        ClearSkinCache();
    }
    QString Path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
    void WriteBytes(const QString& name, const QByteArray& bytes)
    {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
};

TEST_F(SkinFixture, EncodesAndDecodesWithLibjpeg)
{
    const QImage source = Pattern({40, 20});
    QString error;
    ASSERT_TRUE(EncodeJpegFile(source, Path("pattern.jpg"), 95, &error)) << error.toStdString();
    const QImage decoded = DecodeJpegFile(Path("pattern.jpg"), &error);
    ASSERT_FALSE(decoded.isNull()) << error.toStdString();
    EXPECT_EQ(decoded.size(), QSize(40, 20));
    for (QPoint p : {QPoint(5, 5), QPoint(35, 5), QPoint(5, 15), QPoint(35, 15)})
        EXPECT_TRUE(Near(decoded.pixel(p), source.pixel(p), 12)) << p.x() << "," << p.y();
}

TEST_F(SkinFixture, LoadsBothScalesAndDrawsTheTwinOnHighDensity)
{
    ASSERT_TRUE(EncodeJpegFile(Pattern({10, 8}), Path("thing.jpg"), 90));
    ASSERT_TRUE(EncodeJpegFile(Pattern({20, 16}), Path("thing@2x.jpg"), 90));
    const TPicture picture = SkinPicture(QStringLiteral("thing"));
    ASSERT_TRUE(picture.IsSet());
    EXPECT_EQ(picture.size(), QSize(10, 8));
    EXPECT_EQ(picture.ForScale(1.0).size(), QSize(10, 8));
    EXPECT_EQ(picture.ForScale(2.0).size(), QSize(20, 16));
    EXPECT_EQ(picture.ForScale(2.0).devicePixelRatio(), 2.0);
    // A twin of the wrong size is dropped rather than drawn distorted.
    const TPicture odd(Pattern({10, 8}), Pattern({21, 16}));
    EXPECT_TRUE(odd.x2().isNull());
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(SkinFixture, MissingPictureIsUnsetAndSilent)
{
    const TPicture picture = SkinPicture(QStringLiteral("nothing_here"));
    EXPECT_FALSE(picture.IsSet());
    EXPECT_TRUE(reports.isEmpty());
    TImageButton button;
    button.SetBitmap(picture);
    EXPECT_EQ(button.size(), QSize(50, 50));
    EXPECT_FALSE(button.grab().isNull());
}

TEST_F(SkinFixture, ANonJpegFileIsReportedOnceAndLeavesPlainColours)
{
    QImage png = Pattern({12, 12});
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    png.save(&buffer, "PNG");
    WriteBytes("button_play.jpg", bytes);
    EXPECT_FALSE(SkinPicture(QStringLiteral("button_play")).IsSet());
    EXPECT_FALSE(SkinPicture(QStringLiteral("button_play")).IsSet());
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.first().contains(QStringLiteral("button_play.jpg")));
    EXPECT_TRUE(reports.first().contains(QStringLiteral("Not a JPEG file"), Qt::CaseInsensitive))
        << reports.first().toStdString();
    // Even after the cache is dropped, each file is reported once.
    SetSkinDirectory(dir.path());
    EXPECT_FALSE(SkinPicture(QStringLiteral("button_play")).IsSet());
    EXPECT_EQ(reports.size(), 1);
}

TEST_F(SkinFixture, ACorruptJpegIsReportedOnceAndNeverHalfShown)
{
    ASSERT_TRUE(EncodeJpegFile(Pattern({64, 64}), Path("whole.jpg"), 90));
    QFile whole(Path("whole.jpg"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    // Cut short: libjpeg only warns and would fill the rest with grey.
    WriteBytes("truncated.jpg", bytes.left(bytes.size() / 2));
    // A damaged header.
    QByteArray damaged = bytes;
    for (int i = 2; i < 40; ++i)
        damaged[i] = char(0xff);
    WriteBytes("damaged.jpg", damaged);
    WriteBytes("empty.jpg", QByteArray());

    EXPECT_FALSE(SkinPicture(QStringLiteral("truncated")).IsSet());
    EXPECT_FALSE(SkinPicture(QStringLiteral("damaged")).IsSet());
    EXPECT_FALSE(SkinPicture(QStringLiteral("empty")).IsSet());
    EXPECT_FALSE(SkinPicture(QStringLiteral("truncated")).IsSet());
    EXPECT_EQ(reports.size(), 3);
    for (const QString& report : reports)
        EXPECT_TRUE(report.startsWith(QStringLiteral("skin picture "))) << report.toStdString();
    QString error;
    EXPECT_TRUE(DecodeJpegData(bytes.left(bytes.size() / 2), &error).isNull());
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(SkinFixture, OversizedPicturesAreRefused)
{
    ASSERT_TRUE(EncodeJpegFile(QImage(kMaxJpegSide + 1, 4, QImage::Format_RGB32), Path("huge.jpg"), 50));
    QString error;
    EXPECT_TRUE(DecodeJpegFile(Path("huge.jpg"), &error).isNull());
    EXPECT_TRUE(error.contains(QStringLiteral("larger than"))) << error.toStdString();
}

// Every picture the band uses is in the tree's skin folder, decodes, and has a
// twin of exactly twice its size.
TEST(SkinFolder, HoldsEveryPictureTheBandUses)
{
    ClearSkinCache();
    SetSkinDirectory(QString());
    QStringList names = {"band_transport", "band_display", "band_decoration", "band_analyser_idle", "band_edge",
                         "band_top", "analyser_background", "slider_band_track", "slider_band_thumb",
                         "slider_volume_track", "slider_volume_thumb", "icon_bitrate", "icon_volume", "icon_close",
                         "icon_playing", "icon_playing_alt"};
    for (const char* button : {"play", "back", "forward", "stop", "blank", "pause", "eq"})
        for (const char* state : {"", "_down", "_up"})
            names << QStringLiteral("button_%1%2").arg(QLatin1String(button), QLatin1String(state));
    QStringList reports;
    SetSkinReportHandler([&](const QString& message) { reports << message; });
    for (const QString& name : names) {
        const TPicture picture = SkinPicture(name);
        EXPECT_TRUE(picture.IsSet()) << name.toStdString() << " in " << SkinDirectory().toStdString();
        EXPECT_EQ(picture.x2().size(), picture.size() * 2) << name.toStdString();
    }
    EXPECT_TRUE(reports.isEmpty());
    SetSkinReportHandler(nullptr);
    ClearSkinCache();
}

} // namespace
