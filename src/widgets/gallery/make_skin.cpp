// pelu-make-skin: draws the band's skin (a dark design) and writes every
// picture as NAME.jpg and NAME@2x.jpg into a folder (data/skin in the tree).
// All artwork is vector drawing, so the 2x pictures are drawn, not scaled.
//
//   pelu-make-skin OUTPUT_DIR
#include "widgets/picture.h"

#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

using pelu::widgets::EncodeJpegFile;

namespace {

using Draw = std::function<void(QPainter&, QSize)>;

const QColor kBase(0x1b, 0x1d, 0x21);
const QColor kFaceTop(0x34, 0x38, 0x3f);
const QColor kFaceBottom(0x22, 0x25, 0x2a);
const QColor kEdgeLight(0x4e, 0x54, 0x5d);
const QColor kEdgeDark(0x0c, 0x0d, 0x10);
const QColor kGlyph(0xc9, 0xce, 0xd6);
const QColor kAccent(0x3f, 0xc1, 0xe8);
const QColor kAccentDeep(0x1f, 0x6f, 0x8c);

QFont Font(int pixels, bool bold = false)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void VerticalGradient(QPainter& p, const QRectF& r, QColor top, QColor bottom)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(r, g);
}

// A recessed well (displays, meters) with a dark inner edge and a light lip.
void Well(QPainter& p, const QRectF& r, QColor fill)
{
    p.fillRect(r.adjusted(-1, -1, 1, 1), kEdgeLight);
    p.fillRect(r.adjusted(-1, -1, 1, 0), kEdgeDark);
    p.fillRect(r, fill);
}

// The band's brushed background: a soft vertical gradient with fine lines.
void BandBackground(QPainter& p, QSize s)
{
    VerticalGradient(p, QRectF(QPointF(0, 0), s), QColor(0x2b, 0x2f, 0x35), QColor(0x17, 0x19, 0x1d));
    p.setPen(QPen(QColor(255, 255, 255, 10), 0.5));
    for (qreal y = 1.5; y < s.height(); y += 2)
        p.drawLine(QPointF(0, y), QPointF(s.width(), y));
}

// ---- transport buttons ----------------------------------------------------
enum class State { Normal, Down, Up };

void ButtonFace(QPainter& p, QSize s, State state)
{
    p.fillRect(QRectF(QPointF(0, 0), s), kBase);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF r(0.5, 0.5, s.width() - 1.0, s.height() - 1.0);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    if (state == State::Down) {
        g.setColorAt(0, QColor(0x15, 0x17, 0x1a));
        g.setColorAt(1, QColor(0x24, 0x27, 0x2c));
    } else {
        g.setColorAt(0, state == State::Up ? QColor(0x3b, 0x40, 0x48) : kFaceTop);
        g.setColorAt(1, kFaceBottom);
    }
    p.setPen(QPen(kEdgeDark, 1.0));
    p.setBrush(g);
    p.drawRoundedRect(r, 2.5, 2.5);
    if (state != State::Down) {
        p.setPen(QPen(QColor(255, 255, 255, 38), 0.5));
        p.drawLine(QPointF(2.5, 1.25), QPointF(s.width() - 2.5, 1.25));
    }
    if (state == State::Up) {
        p.setPen(QPen(QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 120), 0.75));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
    }
}

QColor GlyphColor(State state)
{
    return state == State::Normal ? kGlyph : kAccent;
}

void Triangle(QPainter& p, QPointF tip, qreal w, qreal h, bool right)
{
    const qreal dx = right ? -w : w;
    const QPointF pts[3] = {tip, {tip.x() + dx, tip.y() - h / 2}, {tip.x() + dx, tip.y() + h / 2}};
    p.drawPolygon(pts, 3);
}

Draw Button(std::function<void(QPainter&, QSizeF)> glyph, State state)
{
    return [glyph, state](QPainter& p, QSize s) {
        ButtonFace(p, s, state);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(GlyphColor(state));
        p.save();
        if (state == State::Down)
            p.translate(0, 0.5);
        glyph(p, QSizeF(s));
        p.restore();
    };
}

void PlayGlyph(QPainter& p, QSizeF s)
{
    const qreal cy = s.height() / 2;
    Triangle(p, QPointF(s.width() / 2 + 4, cy), 7, 8, true);
    // A small "PLAY" dash on each side makes the wide button read as the main one.
    p.fillRect(QRectF(5, cy - 0.5, 5, 1), QColor(p.brush().color().red(), p.brush().color().green(),
                                                  p.brush().color().blue(), 110));
    p.fillRect(QRectF(s.width() - 10, cy - 0.5, 5, 1), QColor(p.brush().color().red(), p.brush().color().green(),
                                                               p.brush().color().blue(), 110));
}
void BackGlyph(QPainter& p, QSizeF s)
{
    const qreal cy = s.height() / 2;
    p.fillRect(QRectF(4, cy - 3, 1.5, 6), p.brush());
    Triangle(p, QPointF(5.5, cy), 5, 6, false);
    Triangle(p, QPointF(9.5, cy), 5, 6, false);
}
void ForwardGlyph(QPainter& p, QSizeF s)
{
    const qreal cy = s.height() / 2;
    Triangle(p, QPointF(s.width() - 5.5, cy), 5, 6, true);
    Triangle(p, QPointF(s.width() - 9.5, cy), 5, 6, true);
    p.fillRect(QRectF(s.width() - 5.5, cy - 3, 1.5, 6), p.brush());
}
void StopGlyph(QPainter& p, QSizeF s)
{
    p.drawRoundedRect(QRectF(s.width() / 2 - 3, s.height() / 2 - 3, 6, 6), 0.8, 0.8);
}
void BlankGlyph(QPainter& p, QSizeF s)
{
    p.drawEllipse(QPointF(s.width() / 2, s.height() / 2), 1.5, 1.5);
}
void PauseGlyph(QPainter& p, QSizeF s)
{
    const qreal cx = s.width() / 2, cy = s.height() / 2;
    p.drawRect(QRectF(cx - 3, cy - 3.5, 2, 7));
    p.drawRect(QRectF(cx + 1, cy - 3.5, 2, 7));
}
void EqGlyph(QPainter& p, QSizeF s)
{
    const qreal bottom = s.height() / 2 + 4;
    const qreal heights[4] = {4, 7, 5, 8};
    for (int i = 0; i < 4; ++i)
        p.drawRect(QRectF(3.5 + i * 2.75, bottom - heights[i], 1.75, heights[i]));
}

// ---- backgrounds ----------------------------------------------------------
void TransportBackground(QPainter& p, QSize s)
{
    BandBackground(p, s);
    // The buttons sit at y = 12 inside this picture: a recessed tray under them.
    p.setRenderHint(QPainter::Antialiasing);
    QRectF tray(1, 10, s.width() - 2, 18);
    p.setPen(QPen(kEdgeDark, 1));
    p.setBrush(QColor(0x15, 0x17, 0x1a));
    p.drawRoundedRect(tray, 3, 3);
}

void DisplayBackground(QPainter& p, QSize s)
{
    BandBackground(p, s);
    p.setRenderHint(QPainter::Antialiasing);
    // The glass: one dark panel holding the time, the status line and the bit rate.
    QRectF glass(8, 5, s.width() - 12, 26);
    p.setPen(QPen(kEdgeDark, 1));
    QLinearGradient g(glass.topLeft(), glass.bottomLeft());
    g.setColorAt(0, QColor(0x10, 0x12, 0x15));
    g.setColorAt(1, QColor(0x19, 0x1c, 0x20));
    p.setBrush(g);
    p.drawRoundedRect(glass, 3, 3);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Wells behind the status line (at 19,16 146x11) and the time (at 86,8 87x7).
    Well(p, QRectF(18, 15, 148, 13), QColor(0xaa, 0xaa, 0xaa));
    Well(p, QRectF(85, 7, 89, 9), QColor(0, 0, 0));
    p.setPen(QColor(0x6f, 0x78, 0x82));
    p.setFont(Font(6));
    p.drawText(QRectF(14, 6, 60, 9), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("PELU"));
}

void DecorationBackground(QPainter& p, QSize s)
{
    BandBackground(p, s);
    // Meters at local (34, 15) and (34, 22), 88 x 4 each.
    Well(p, QRectF(32, 13, 92, 15), QColor(0x0e, 0x10, 0x12));
    p.setPen(QColor(0x8a, 0x90, 0x99));
    p.setFont(Font(6, true));
    p.drawText(QRectF(23, 13, 8, 7), Qt::AlignCenter, QStringLiteral("L"));
    p.drawText(QRectF(23, 20, 8, 7), Qt::AlignCenter, QStringLiteral("R"));
}

// The analyser's glass matches the status line's grey display.
void LcdGlass(QPainter& p, const QRectF& r)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(0xb8, 0xc0, 0xc0));
    g.setColorAt(1, QColor(0xa2, 0xab, 0xab));
    p.fillRect(r, g);
}

void AnalyserIdle(QPainter& p, QSize s)
{
    p.fillRect(QRectF(QPointF(0, 0), s), kEdgeDark);
    LcdGlass(p, QRectF(2, 2, s.width() - 3, s.height() - 4));
    // Resting bars: a faint skyline of the analyser.
    const int heights[16] = {3, 5, 7, 6, 8, 10, 7, 6, 5, 7, 4, 5, 3, 4, 2, 3};
    for (int i = 0; i < 16; ++i)
        for (int spot = 0; spot < heights[i]; ++spot)
            p.fillRect(QRectF(2 + i * 4, s.height() - 4 - spot * 2, 3, 1), QColor(0x93, 0x9e, 0x9e));
    p.setPen(QColor(0x32, 0x63, 0x63));
    p.setFont(Font(9, true));
    p.drawText(QRectF(0, 3, s.width(), 11), Qt::AlignCenter, QStringLiteral("PELU"));
}

void SpectrumBackground(QPainter& p, QSize s)
{
    LcdGlass(p, QRectF(QPointF(0, 0), s));
    // A quiet grid every quarter, behind the bars.
    p.setPen(QColor(0x9c, 0xa6, 0xa6));
    for (int x = 16; x < s.width(); x += 16)
        p.drawLine(QPointF(x - 0.5, 0), QPointF(x - 0.5, s.height()));
    for (int y = 6; y < s.height(); y += 6)
        p.drawLine(QPointF(0, y - 0.5), QPointF(s.width(), y - 0.5));
}

void EdgePiece(QPainter& p, QSize s)
{
    BandBackground(p, s);
    p.fillRect(QRectF(1, 2, 1, s.height() - 4), kEdgeDark);
    p.fillRect(QRectF(2, 2, 1, s.height() - 4), kEdgeLight);
}

void TopPiece(QPainter& p, QSize s)
{
    BandBackground(p, s);
    QLinearGradient g(QPointF(0, 0), QPointF(s.width(), 0));
    g.setColorAt(0, QColor(0x3f, 0xc1, 0xe8, 0));
    g.setColorAt(0.5, QColor(0x3f, 0xc1, 0xe8, 140));
    g.setColorAt(1, QColor(0x3f, 0xc1, 0xe8, 0));
    p.fillRect(QRectF(4, s.height() - 3, s.width() - 8, 1), g);
}

// ---- sliders ----------------------------------------------------------------
void SliderTrack(QPainter& p, QSize s, bool centre_mark)
{
    p.fillRect(QRectF(QPointF(0, 0), s), QColor(0x24, 0x27, 0x2c));
    const qreal cx = s.width() / 2.0;
    p.fillRect(QRectF(cx - 1.5, 3, 3, s.height() - 6), kEdgeDark);
    p.fillRect(QRectF(cx + 0.5, 3, 1, s.height() - 6), QColor(0x3a, 0x3f, 0x47));
    p.setPen(QColor(0x4a, 0x50, 0x59));
    for (int i = 0; i <= 4; ++i) {
        const qreal y = 3 + (s.height() - 7) * i / 4.0 + 0.5;
        p.drawLine(QPointF(1, y), QPointF(cx - 3, y));
        p.drawLine(QPointF(cx + 3, y), QPointF(s.width() - 1, y));
    }
    if (centre_mark) {
        const qreal y = s.height() / 2.0;
        p.fillRect(QRectF(0, y - 0.5, s.width(), 1), QColor(0x2a, 0x5d, 0x72));
    }
}

void SliderThumb(QPainter& p, QSize s)
{
    // Black around the cap is the transparent colour.
    p.fillRect(QRectF(QPointF(0, 0), s), Qt::black);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF r(0.5, 0.5, s.width() - 1.0, s.height() - 1.0);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(0xe6, 0xea, 0xef));
    g.setColorAt(1, QColor(0x9a, 0xa1, 0xab));
    p.setPen(QPen(QColor(0x30, 0x34, 0x3a), 0.75));
    p.setBrush(g);
    p.drawRoundedRect(r, 1.5, 1.5);
    p.fillRect(QRectF(2, s.height() / 2.0 - 0.5, s.width() - 4, 1), kAccentDeep);
}

// ---- icons ------------------------------------------------------------------
void IconBase(QPainter& p, QSize s)
{
    p.fillRect(QRectF(QPointF(0, 0), s), kBase);
    p.setRenderHint(QPainter::Antialiasing);
}

void BitrateIcon(QPainter& p, QSize s)
{
    p.fillRect(QRectF(QPointF(0, 0), s), QColor(0x14, 0x16, 0x19));
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x82, 0x82, 0x82));
    const qreal heights[3] = {3, 5, 7};
    for (int i = 0; i < 3; ++i)
        p.drawRect(QRectF(1.5 + i * 2.75, s.height() - 1 - heights[i], 1.75, heights[i]));
}

void VolumeIcon(QPainter& p, QSize s)
{
    p.fillRect(QRectF(QPointF(0, 0), s), QColor(0x14, 0x16, 0x19));
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kGlyph);
    QPainterPath speaker;
    speaker.moveTo(1.5, 4.5);
    speaker.lineTo(4, 4.5);
    speaker.lineTo(7, 1.5);
    speaker.lineTo(7, 10.5);
    speaker.lineTo(4, 7.5);
    speaker.lineTo(1.5, 7.5);
    speaker.closeSubpath();
    p.drawPath(speaker);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kAccent, 1.0));
    p.drawArc(QRectF(5, 3, 5, 6), -50 * 16, 100 * 16);
    p.drawArc(QRectF(5, 1, 8, 10), -50 * 16, 100 * 16);
}

void CloseIcon(QPainter& p, QSize s)
{
    IconBase(p, s);
    p.setPen(QPen(kEdgeDark, 1));
    p.setBrush(QColor(0x3a, 0x3f, 0x47));
    p.drawRoundedRect(QRectF(0.5, 0.5, s.width() - 1, s.height() - 1), 2, 2);
    p.setPen(QPen(kGlyph, 1.4, Qt::SolidLine, Qt::RoundCap));
    const qreal m = 3.5;
    p.drawLine(QPointF(m, m), QPointF(s.width() - m, s.height() - m));
    p.drawLine(QPointF(s.width() - m, m), QPointF(m, s.height() - m));
}

void PlayingIcon(QPainter& p, QSize s, bool alternate)
{
    p.fillRect(QRectF(QPointF(0, 0), s), QColor(0x1b, 0x1d, 0x21));
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(alternate ? kAccentDeep : kAccent);
    Triangle(p, QPointF(12.5, 8), 8, 9, true);
    if (!alternate) {
        p.setBrush(QColor(0x3f, 0xc1, 0xe8, 70));
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        p.setBrush(kAccent);
        Triangle(p, QPointF(12.5, 8), 8, 9, true);
    }
}

struct Item {
    QString name;
    QSize size;
    Draw draw;
};

bool Write(const QString& dir, const Item& item)
{
    for (int scale : {1, 2}) {
        QImage image(item.size * scale, QImage::Format_RGB32);
        image.fill(Qt::black);
        {
            QPainter painter(&image);
            painter.scale(scale, scale);
            item.draw(painter, item.size);
        }
        const QString path = dir + QLatin1Char('/') + item.name + (scale == 2 ? QStringLiteral("@2x.jpg") : QStringLiteral(".jpg"));
        QString error;
        if (!EncodeJpegFile(image, path, 94, &error)) {
            std::fprintf(stderr, "pelu-make-skin: %s: %s\n", qPrintable(path), qPrintable(error));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelu-make-skin OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    QList<Item> items = {
        {"band_transport", {173, 29}, TransportBackground},
        {"band_display", {245, 37}, DisplayBackground},
        {"band_decoration", {131, 44}, DecorationBackground},
        {"band_analyser_idle", {67, 27}, AnalyserIdle},
        {"band_edge", {4, 27}, EdgePiece},
        {"band_top", {139, 10}, TopPiece},
        {"analyser_background", {64, 23}, SpectrumBackground},
        {"slider_band_track", {11, 68}, [](QPainter& p, QSize s) { SliderTrack(p, s, true); }},
        {"slider_band_thumb", {11, 6}, SliderThumb},
        {"slider_volume_track", {18, 112}, [](QPainter& p, QSize s) { SliderTrack(p, s, false); }},
        {"slider_volume_thumb", {18, 8}, SliderThumb},
        {"icon_bitrate", {10, 9}, BitrateIcon},
        {"icon_volume", {14, 12}, VolumeIcon},
        {"icon_close", {12, 12}, CloseIcon},
        {"icon_playing", {16, 16}, [](QPainter& p, QSize s) { PlayingIcon(p, s, false); }},
        {"icon_playing_alt", {16, 16}, [](QPainter& p, QSize s) { PlayingIcon(p, s, true); }},
    };
    struct ButtonDef {
        const char* name;
        QSize size;
        std::function<void(QPainter&, QSizeF)> glyph;
    };
    const ButtonDef buttons[] = {
        {"button_play", {36, 14}, PlayGlyph},   {"button_back", {17, 14}, BackGlyph},
        {"button_forward", {17, 14}, ForwardGlyph}, {"button_stop", {17, 14}, StopGlyph},
        {"button_blank", {16, 14}, BlankGlyph}, {"button_pause", {16, 14}, PauseGlyph},
        {"button_eq", {17, 14}, EqGlyph},
    };
    for (const ButtonDef& b : buttons) {
        const QString name = QString::fromLatin1(b.name);
        items.append({name, b.size, Button(b.glyph, State::Normal)});
        items.append({name + QStringLiteral("_down"), b.size, Button(b.glyph, State::Down)});
        items.append({name + QStringLiteral("_up"), b.size, Button(b.glyph, State::Up)});
    }
    for (const Item& item : items)
        if (!Write(dir, item))
            return 1;
    std::printf("%d pictures written to %s\n", int(items.size()) * 2, qPrintable(dir));
    return 0;
}
