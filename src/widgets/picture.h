// Pictures of the band's skin: a JPEG decoder on libjpeg itself, the two-scale
// picture the controls draw (1x and a 2x twin for high-DPI screens), and the skin
// folder lookup with its one-time error report.
//
// Thread: main thread only (the skin cache and the error report are unguarded);
// DecodeJpegFile itself is reentrant and may run anywhere.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

class QPainter;

namespace pelu::widgets {

// Decodes a baseline or progressive JPEG into an RGB32 image with libjpeg.
// A missing file, a file that is not JPEG, a corrupt or truncated one (libjpeg's
// warnings count as corruption, so a half picture is never shown) or one larger
// than kMaxJpegSide on a side returns a null image and fills `error`; the
// decoder never exits the process.
constexpr int kMaxJpegSide = 4096;
QImage DecodeJpegFile(const QString& path, QString* error = nullptr);
QImage DecodeJpegData(const QByteArray& bytes, QString* error = nullptr);
// Encodes an image as a JPEG file (the skin maker writes its artwork with this).
bool EncodeJpegFile(const QImage& image, const QString& path, int quality, QString* error = nullptr);

// One picture at two scales. Sizes are logical pixels (those of the 1x image);
// the 2x twin, when present, is drawn on screens with a device pixel ratio
// above 1. A picture "is set" when its width is above 0.
class TPicture {
public:
    TPicture() = default;
    explicit TPicture(QImage x1, QImage x2 = {});

    bool IsSet() const { return width() > 0; }
    int width() const { return x1_.width(); }
    int height() const { return x1_.height(); }
    QSize size() const { return x1_.size(); }

    const QImage& x1() const { return x1_; }
    const QImage& x2() const { return x2_; }
    // The image to draw at `device_pixel_ratio`, its own device pixel ratio set
    // so that QPainter draws it at the logical size.
    const QImage& ForScale(qreal device_pixel_ratio) const;

    // A copy whose pixels within `tolerance` of `key` are made transparent (the
    // skin is JPEG, so a "transparent colour" arrives with compression noise).
    TPicture WithTransparentColor(QColor key, int tolerance) const;
    // Glyph `index` of `count` pictures laid side by side.
    TPicture Glyph(int index, int count) const;

    void Draw(QPainter& painter, QPoint at) const;
    void Draw(QPainter& painter, const QRect& target) const;

    bool operator==(const TPicture& other) const { return x1_ == other.x1_ && x2_ == other.x2_; }

private:
    QImage x1_;
    QImage x2_;
};

// The skin folder. Looked for, in order: the folder set with SetSkinDirectory;
// "skin" beside the program; "../share/pelu/skin" beside it; the source tree's
// data/skin.
void SetSkinDirectory(const QString& path);
QString SkinDirectory();

// Loads NAME.jpg and NAME@2x.jpg from the skin folder (cached). A missing
// picture gives an unset TPicture, so the control draws in plain colours; a file
// that is there but cannot be decoded is reported once through the report
// handler and also gives an unset picture.
TPicture SkinPicture(const QString& name);
void ClearSkinCache();

// Where skin problems are reported; by default one line on stderr. Each file is
// reported at most once per process (until ClearSkinCache).
using SkinReportHandler = std::function<void(const QString& message)>;
void SetSkinReportHandler(SkinReportHandler handler);

} // namespace pelu::widgets
