#include "widgets/picture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace pelu::widgets {

namespace {

// libjpeg's default error_exit() ends the process; ours jumps back to the
// decoder, which cleans up and reports. Warnings are collected, not printed.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void jpeg_error_exit_jump(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    std::longjmp(manager->jump, 1);
}

extern "C" void jpeg_emit_message_quiet(j_common_ptr cinfo, int msg_level)
{
    if (msg_level >= 0)
        return; // trace messages
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (cinfo->err->num_warnings++ == 0)
        (*cinfo->err->format_message)(cinfo, manager->message);
}

void InitErrorManager(JpegErrorManager& manager)
{
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = jpeg_error_exit_jump;
    manager.pub.emit_message = jpeg_emit_message_quiet;
    manager.message[0] = '\0';
}

constexpr qint64 kMaxJpegFileBytes = 32 * 1024 * 1024;

// Only plain data lives in this frame between setjmp and a possible longjmp; the
// image is reached through a pointer owned by the caller.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage* out, char* error_text,
                std::size_t error_size)
{
    jpeg_decompress_struct cinfo;
    JpegErrorManager manager;
    InitErrorManager(manager);
    cinfo.err = &manager.pub;
    if (setjmp(manager.jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::snprintf(error_text, error_size, "%s", manager.message);
        *out = QImage();
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.image_width > unsigned(kMaxJpegSide) || cinfo.image_height > unsigned(kMaxJpegSide)) {
        std::snprintf(error_text, error_size, "picture of %ux%u pixels is larger than %dx%d",
                      cinfo.image_width, cinfo.image_height, kMaxJpegSide, kMaxJpegSide);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const bool gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    if (!gray && cinfo.jpeg_color_space != JCS_YCbCr && cinfo.jpeg_color_space != JCS_RGB) {
        std::snprintf(error_text, error_size, "unsupported colour space (only RGB and grey pictures)");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const int width = int(cinfo.output_width);
    const int height = int(cinfo.output_height);
    const int components = cinfo.output_components;
    *out = QImage(width, height, QImage::Format_RGB32);
    if (out->isNull()) {
        std::snprintf(error_text, error_size, "out of memory for a %dx%d picture", width, height);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                 JDIMENSION(width * components), 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, row, 1);
        auto* target = reinterpret_cast<QRgb*>(out->scanLine(y));
        const JSAMPLE* source = row[0];
        for (int x = 0; x < width; ++x) {
            if (components == 1)
                target[x] = qRgb(source[x], source[x], source[x]);
            else
                target[x] = qRgb(source[3 * x], source[3 * x + 1], source[3 * x + 2]);
        }
    }
    jpeg_finish_decompress(&cinfo);
    const bool warned = manager.pub.num_warnings > 0;
    jpeg_destroy_decompress(&cinfo);
    if (warned) {
        // A truncated or damaged stream decodes with grey filler: not worth showing.
        std::snprintf(error_text, error_size, "%s", manager.message);
        *out = QImage();
        return false;
    }
    return true;
}

} // namespace

QImage DecodeJpegData(const QByteArray& bytes, QString* error)
{
    QImage image;
    char text[JMSG_LENGTH_MAX + 64] = {};
    if (bytes.isEmpty()) {
        if (error)
            *error = QStringLiteral("empty file");
        return {};
    }
    if (!DecodeInto(reinterpret_cast<const unsigned char*>(bytes.constData()),
                    static_cast<unsigned long>(bytes.size()), &image, text, sizeof text)) {
        if (error)
            *error = QString::fromLocal8Bit(text);
        return {};
    }
    return image;
}

QImage DecodeJpegFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    if (file.size() > kMaxJpegFileBytes) {
        if (error)
            *error = QStringLiteral("file of %1 bytes is too large for a skin picture").arg(file.size());
        return {};
    }
    return DecodeJpegData(file.readAll(), error);
}

bool EncodeJpegFile(const QImage& source, const QString& path, int quality, QString* error)
{
    const QImage image = source.convertToFormat(QImage::Format_RGB888);
    if (image.isNull()) {
        if (error)
            *error = QStringLiteral("no picture to write");
        return false;
    }
    jpeg_compress_struct cinfo;
    JpegErrorManager manager;
    InitErrorManager(manager);
    cinfo.err = &manager.pub;
    unsigned char* buffer = nullptr;
    unsigned long buffer_size = 0;
    if (setjmp(manager.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        if (error)
            *error = QString::fromLocal8Bit(manager.message);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &buffer_size);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    // Full-resolution chroma: the skin's small glyphs and coloured edges stay crisp.
    for (int i = 0; i < cinfo.num_components; ++i) {
        cinfo.comp_info[i].h_samp_factor = 1;
        cinfo.comp_info[i].v_samp_factor = 1;
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.constScanLine(int(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly)
              && file.write(reinterpret_cast<const char*>(buffer), qint64(buffer_size)) == qint64(buffer_size)
              && file.commit();
    if (!ok && error)
        *error = file.errorString();
    std::free(buffer);
    return ok;
}

// --------------------------------------------------------------------------

TPicture::TPicture(QImage x1, QImage x2) : x1_(std::move(x1)), x2_(std::move(x2))
{
    x1_.setDevicePixelRatio(1.0);
    // A twin that is not exactly twice the size would be drawn distorted.
    if (!x2_.isNull() && x2_.size() != x1_.size() * 2)
        x2_ = QImage();
    if (!x2_.isNull())
        x2_.setDevicePixelRatio(2.0);
}

const QImage& TPicture::ForScale(qreal device_pixel_ratio) const
{
    if (device_pixel_ratio > 1.0 && !x2_.isNull())
        return x2_;
    return x1_;
}

namespace {
QImage KeyOut(const QImage& source, QColor key, int tolerance)
{
    if (source.isNull())
        return {};
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int kr = key.red(), kg = key.green(), kb = key.blue();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            if (std::abs(qRed(p) - kr) <= tolerance && std::abs(qGreen(p) - kg) <= tolerance
                && std::abs(qBlue(p) - kb) <= tolerance)
                line[x] = 0;
        }
    }
    image.setDevicePixelRatio(source.devicePixelRatio());
    return image;
}
} // namespace

TPicture TPicture::WithTransparentColor(QColor key, int tolerance) const
{
    return TPicture(KeyOut(x1_, key, tolerance), KeyOut(x2_, key, tolerance));
}

TPicture TPicture::Glyph(int index, int count) const
{
    if (count <= 1 || !IsSet())
        return *this;
    const int w = width() / count;
    if (w <= 0)
        return {};
    index = std::clamp(index, 0, count - 1);
    QImage a = x1_.copy(index * w, 0, w, height());
    QImage b = x2_.isNull() ? QImage() : x2_.copy(index * w * 2, 0, w * 2, height() * 2);
    return TPicture(a, b);
}

void TPicture::Draw(QPainter& painter, QPoint at) const
{
    if (!IsSet())
        return;
    painter.drawImage(QRect(at, size()), ForScale(painter.device()->devicePixelRatioF()));
}

void TPicture::Draw(QPainter& painter, const QRect& target) const
{
    if (!IsSet())
        return;
    painter.drawImage(target, ForScale(painter.device()->devicePixelRatioF()));
}

// --------------------------------------------------------------------------

namespace {
QString g_skin_dir;
QHash<QString, TPicture> g_cache;
QSet<QString> g_reported;
SkinReportHandler g_report;

void Report(const QString& path, const QString& why)
{
    if (g_reported.contains(path))
        return;
    g_reported.insert(path);
    const QString message = QStringLiteral("skin picture %1 cannot be used: %2").arg(path, why);
    if (g_report)
        g_report(message);
    else
        std::fprintf(stderr, "pelu: %s\n", message.toLocal8Bit().constData());
}

QImage LoadOne(const QString& path)
{
    if (!QFileInfo::exists(path))
        return {};
    QString error;
    QImage image = DecodeJpegFile(path, &error);
    if (image.isNull())
        Report(path, error);
    return image;
}
} // namespace

void SetSkinDirectory(const QString& path)
{
    g_skin_dir = path;
    g_cache.clear();
}

QString SkinDirectory()
{
    if (!g_skin_dir.isEmpty())
        return g_skin_dir;
    QStringList candidates;
    if (QCoreApplication::instance()) {
        const QString app = QCoreApplication::applicationDirPath();
        candidates << app + QStringLiteral("/skin") << app + QStringLiteral("/../share/pelu/skin");
    }
#ifdef PELU_SOURCE_SKIN_DIR
    candidates << QStringLiteral(PELU_SOURCE_SKIN_DIR);
#endif
    for (const QString& dir : candidates)
        if (QFileInfo::exists(dir + QStringLiteral("/button_play.jpg")))
            return QDir::cleanPath(dir);
    return candidates.isEmpty() ? QString() : candidates.last();
}

TPicture SkinPicture(const QString& name)
{
    const QString dir = SkinDirectory();
    const QString key = dir + QLatin1Char('/') + name;
    auto found = g_cache.constFind(key);
    if (found != g_cache.constEnd())
        return *found;
    QImage x1 = LoadOne(key + QStringLiteral(".jpg"));
    QImage x2 = x1.isNull() ? QImage() : LoadOne(key + QStringLiteral("@2x.jpg"));
    TPicture picture(x1, x2);
    g_cache.insert(key, picture);
    return picture;
}

void ClearSkinCache()
{
    g_cache.clear();
    g_reported.clear();
}

void SetSkinReportHandler(SkinReportHandler handler)
{
    g_report = std::move(handler);
}

} // namespace pelu::widgets
