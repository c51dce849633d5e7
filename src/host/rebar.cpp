#include "host/rebar.h"

#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <cstring>

namespace pelu::host {

namespace {

constexpr int kGripperWidth = 9;
constexpr int kChildEdge = 2;

constexpr int kChevronWidth = 14;

} // namespace

// Where a band's child sits. The child keeps its own width; when the band is
// narrower, the child is clipped and a chevron at the right end scrolls the
// part that does not fit into view (and back). A child that takes the focus
// while out of view is scrolled into view. Without this the band's width would
// be the window's minimum.
class BandClip : public QWidget {
public:
    explicit BandClip(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("bandClip"));
        chevron_ = new QToolButton(this);
        chevron_->setObjectName(QStringLiteral("bandChevron"));
        chevron_->setAutoRaise(true);
        // Its own face: the band's picture must not show through.
        chevron_->setAutoFillBackground(true);
        chevron_->setBackgroundRole(QPalette::Button);
        chevron_->setFocusPolicy(Qt::NoFocus);
        chevron_->setToolTip(tr("Show the rest of the band"));
        chevron_->hide();
        QObject::connect(chevron_, &QToolButton::clicked, this, [this] { Step(); });
        QObject::connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { Reveal(now); });
    }
    QWidget* child() const { return child_; }
    void set_child(QWidget* child, bool grows)
    {
        child_ = child;
        grows_ = grows;
        offset_ = 0;
        if (child) {
            child->setParent(this);
            chevron_->raise();
        }
        updateGeometry();
        Place();
    }
    bool clipped() const { return chevron_->isVisible(); }
    QSize sizeHint() const override { return child_ ? QSize(NaturalWidth(), NaturalHeight()) : QSize(0, 0); }
    QSize minimumSizeHint() const override
    {
        return child_ ? QSize(kChevronWidth, child_->minimumHeight()) : QSize(0, 0);
    }

protected:
    void resizeEvent(QResizeEvent*) override { Place(); }
    bool event(QEvent* e) override
    {
        // The child's size wishes change: the band's cell must hear of them.
        if (e->type() == QEvent::LayoutRequest || e->type() == QEvent::ChildAdded)
            updateGeometry();
        return QWidget::event(e);
    }

private:
    int NaturalWidth() const
    {
        const QSize hint = child_->sizeHint();
        const int wanted = hint.isValid() ? hint.width() : child_->width();
        return std::clamp(wanted, child_->minimumWidth(), std::max(child_->minimumWidth(), child_->maximumWidth()));
    }
    int NaturalHeight() const
    {
        const QSize hint = child_->sizeHint();
        const int wanted = hint.isValid() ? hint.height() : child_->height();
        return std::clamp(wanted, child_->minimumHeight(), std::max(child_->minimumHeight(), child_->maximumHeight()));
    }
    int ChildWidth() const
    {
        if (!grows_)
            return NaturalWidth();
        return std::clamp(width(), child_->minimumWidth(), std::max(child_->minimumWidth(), child_->maximumWidth()));
    }
    // The width that shows the child: all of it, or all but the chevron.
    int Shown() const { return clipped() ? std::max(0, width() - kChevronWidth) : width(); }
    void Place()
    {
        if (!child_)
            return;
        const int child_width = ChildWidth();
        const int child_height = std::clamp(height(), child_->minimumHeight(),
                                            std::max(child_->minimumHeight(), child_->maximumHeight()));
        const bool clip = child_width > width();
        chevron_->setVisible(clip);
        const int overflow = std::max(0, child_width - Shown());
        offset_ = std::clamp(offset_, 0, overflow);
        chevron_->setGeometry(width() - kChevronWidth, 0, kChevronWidth, height());
        // "»" while more lies to the right; "«" at the end, back to the start.
        chevron_->setText(offset_ < overflow ? QStringLiteral("\u00bb") : QStringLiteral("\u00ab"));
        child_->setGeometry(-offset_, (height() - child_height) / 2, child_width, child_height);
    }
    // On along the child by what shows; from the end, back to the start.
    void Step()
    {
        if (!child_)
            return;
        const int overflow = std::max(0, ChildWidth() - Shown());
        offset_ = offset_ >= overflow ? 0 : std::min(overflow, offset_ + std::max(1, Shown() - kChevronWidth));
        Place();
    }
    void Reveal(QWidget* focus)
    {
        if (!child_ || !focus || !clipped() || !child_->isAncestorOf(focus))
            return;
        const QRect area(focus->mapTo(child_, QPoint(0, 0)), focus->size());
        if (area.left() < offset_)
            offset_ = area.left();
        else if (area.right() >= offset_ + Shown())
            offset_ = area.right() + 1 - Shown();
        Place();
    }

    QToolButton* chevron_ = nullptr;
    QPointer<QWidget> child_;
    bool grows_ = false;
    int offset_ = 0;
};

namespace {

// A band's place in the rebar: the gripper, the text and the child.
class BandCell : public QWidget {
public:
    explicit BandCell(QWidget* parent) : QWidget(parent)
    {
        layout_ = new QHBoxLayout(this);
        layout_->setContentsMargins(0, 0, 0, 0);
        layout_->setSpacing(4);
    }
    QHBoxLayout* content() const { return layout_; }
    bool gripper() const { return gripper_; }
    void set_gripper(bool on, bool child_edge)
    {
        gripper_ = on;
        const int edge = child_edge ? kChildEdge : 0;
        layout_->setContentsMargins(on ? kGripperWidth : 2, edge, 2, edge);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!gripper_)
            return;
        // Two raised ridges, the usual look of a band's handle.
        QPainter painter(this);
        const QColor light = palette().color(QPalette::Light);
        const QColor dark = palette().color(QPalette::Dark);
        for (int x : {2, 5}) {
            painter.setPen(light);
            painter.drawLine(x, 3, x, height() - 4);
            painter.setPen(dark);
            painter.drawLine(x + 1, 3, x + 1, height() - 4);
        }
    }

private:
    QHBoxLayout* layout_;
    bool gripper_ = false;
};

// Copies the members `mask` names, all but text, child and size, which the
// rebar keeps its own way.
void copy_members(const win::REBARBANDINFO& from, win::REBARBANDINFO& to, win::UINT mask)
{
    if (mask & win::RBBIM_STYLE)
        to.fStyle = from.fStyle;
    if (mask & win::RBBIM_COLORS) {
        to.clrFore = from.clrFore;
        to.clrBack = from.clrBack;
    }
    if (mask & win::RBBIM_IMAGE)
        to.iImage = from.iImage;
    if (mask & win::RBBIM_CHILDSIZE) {
        to.cxMinChild = from.cxMinChild;
        to.cyMinChild = from.cyMinChild;
        to.cyChild = from.cyChild;
        to.cyMaxChild = from.cyMaxChild;
        to.cyIntegral = from.cyIntegral;
    }
    if (mask & win::RBBIM_BACKGROUND)
        to.hbmBack = from.hbmBack;
    if (mask & win::RBBIM_ID)
        to.wID = from.wID;
    if (mask & win::RBBIM_IDEALSIZE)
        to.cxIdeal = from.cxIdeal;
    if (mask & win::RBBIM_LPARAM)
        to.lParam = from.lParam;
    if (mask & win::RBBIM_HEADERSIZE)
        to.cxHeader = from.cxHeader;
}

bool valid_record(win::LPARAM lparam)
{
    const auto* info = reinterpret_cast<const win::REBARBANDINFO*>(lparam);
    return info && info->cbSize == sizeof(win::REBARBANDINFO);
}

} // namespace

Rebar::Rebar(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("rebar"));
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(1);
    handle_ = win::RegisterWindow(this, kRebarClass, &Rebar::Procedure);
}

Rebar::~Rebar()
{
    // The handle goes first: nobody may talk to a rebar that is half gone.
    win::UnregisterWindow(handle_);
    for (Band& band : bands_)
        QObject::disconnect(band.child_gone);
}

int Rebar::row_count() const
{
    int rows = 0;
    for (std::size_t i = 0; i < bands_.size(); ++i) {
        if (bands_[i].info.fStyle & win::RBBS_HIDDEN)
            continue;
        if (rows == 0 || (bands_[i].info.fStyle & win::RBBS_BREAK))
            ++rows;
    }
    return rows;
}

int Rebar::row_of(int index) const
{
    if (index < 0 || index >= band_count())
        return -1;
    int row = -1;
    for (int i = 0; i <= index; ++i) {
        if (bands_[static_cast<std::size_t>(i)].info.fStyle & win::RBBS_HIDDEN)
            continue;
        if (row < 0 || (bands_[static_cast<std::size_t>(i)].info.fStyle & win::RBBS_BREAK))
            ++row;
    }
    return std::max(row, 0);
}

win::UINT Rebar::band_id(int index) const
{
    return index >= 0 && index < band_count() ? bands_[static_cast<std::size_t>(index)].info.wID : 0;
}

win::REBARBANDINFO Rebar::band_info(int index) const
{
    return index >= 0 && index < band_count() ? bands_[static_cast<std::size_t>(index)].info : win::REBARBANDINFO{};
}

QWidget* Rebar::band_child(int index) const
{
    return index >= 0 && index < band_count() ? bands_[static_cast<std::size_t>(index)].child.data() : nullptr;
}

QWidget* Rebar::band_cell(int index) const
{
    return index >= 0 && index < band_count() ? bands_[static_cast<std::size_t>(index)].cell : nullptr;
}

bool Rebar::is_clipped(int index) const
{
    return index >= 0 && index < band_count() && bands_[static_cast<std::size_t>(index)].clip &&
           bands_[static_cast<std::size_t>(index)].clip->clipped();
}

bool Rebar::has_gripper(int index) const
{
    auto* cell = static_cast<BandCell*>(band_cell(index));
    return cell && cell->gripper();
}

win::LRESULT Rebar::Procedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam)
{
    auto* rebar = qobject_cast<Rebar*>(win::WidgetFromWindow(window));
    return rebar ? rebar->Handle(message, wparam, lparam) : win::DefWindowProc(window, message, wparam, lparam);
}

win::LRESULT Rebar::Handle(win::UINT message, win::WPARAM wparam, win::LPARAM lparam)
{
    const auto index = static_cast<int>(static_cast<win::LPARAM>(wparam));
    switch (message) {
    case win::RB_INSERTBANDA:
    case win::RB_INSERTBANDW:
        return valid_record(lparam) && Insert(index, *reinterpret_cast<const win::REBARBANDINFO*>(lparam)) ? 1 : 0;
    case win::RB_DELETEBAND:
        return Delete(index) ? 1 : 0;
    case win::RB_SETBANDINFOA:
    case win::RB_SETBANDINFOW:
        return valid_record(lparam) && SetInfo(index, *reinterpret_cast<const win::REBARBANDINFO*>(lparam)) ? 1 : 0;
    case win::RB_GETBANDINFOA:
    case win::RB_GETBANDINFOW:
        return valid_record(lparam) && GetInfo(index, *reinterpret_cast<win::REBARBANDINFO*>(lparam)) ? 1 : 0;
    case win::RB_GETBANDCOUNT:
        return band_count();
    case win::RB_GETROWCOUNT:
        return row_count();
    case win::RB_IDTOINDEX:
        for (std::size_t i = 0; i < bands_.size(); ++i) {
            if ((bands_[i].info.fMask & win::RBBIM_ID) && bands_[i].info.wID == wparam)
                return static_cast<win::LRESULT>(i);
        }
        return -1;
    default:
        return 0;
    }
}

bool Rebar::Insert(int index, const win::REBARBANDINFO& info)
{
    // A child must be a window this process knows.
    if ((info.fMask & win::RBBIM_CHILD) && info.hwndChild && !win::WidgetFromWindow(info.hwndChild))
        return false;
    if (index < 0 || index > band_count())
        index = band_count();
    Band band;
    band.info.cbSize = info.cbSize;
    band.cell = new BandCell(this);
    bands_.insert(bands_.begin() + index, std::move(band));
    Apply(bands_[static_cast<std::size_t>(index)], info);
    Relayout();
    if (on_band_inserted)
        on_band_inserted(index);
    if (on_bands_changed)
        on_bands_changed();
    return true;
}

bool Rebar::Delete(int index)
{
    if (index < 0 || index >= band_count())
        return false;
    Band band = std::move(bands_[static_cast<std::size_t>(index)]);
    bands_.erase(bands_.begin() + index);
    QObject::disconnect(band.child_gone);
    if (band.clip)
        band.clip->set_child(nullptr, false);
    if (band.child) {
        // The child belongs to whoever made it: it stays, hidden, with the rebar.
        band.child->hide();
        band.child->setParent(this);
    }
    band.cell->deleteLater();
    band.cell->hide();
    Relayout();
    if (on_bands_changed)
        on_bands_changed();
    return true;
}

bool Rebar::SetInfo(int index, const win::REBARBANDINFO& info)
{
    if (index < 0 || index >= band_count())
        return false;
    if ((info.fMask & win::RBBIM_CHILD) && info.hwndChild && !win::WidgetFromWindow(info.hwndChild))
        return false;
    Apply(bands_[static_cast<std::size_t>(index)], info);
    Relayout();
    if (on_bands_changed)
        on_bands_changed();
    return true;
}

bool Rebar::GetInfo(int index, win::REBARBANDINFO& out) const
{
    if (index < 0 || index >= band_count())
        return false;
    const Band& band = bands_[static_cast<std::size_t>(index)];
    const win::REBARBANDINFO& in = band.info;
    const win::UINT mask = out.fMask;
    copy_members(in, out, mask);
    if ((mask & win::RBBIM_TEXT) && out.lpText && out.cch > 0) {
        const QByteArray text = band.text.toUtf8();
        const auto count = std::min<std::size_t>(static_cast<std::size_t>(text.size()), out.cch - 1);
        std::memcpy(out.lpText, text.constData(), count);
        out.lpText[count] = '\0';
    }
    if (mask & win::RBBIM_CHILD)
        out.hwndChild = band.child ? win::WindowFromWidget(band.child) : nullptr;
    if (mask & win::RBBIM_SIZE)
        out.cx = band.cell ? static_cast<win::UINT>(band.cell->width()) : in.cx;
    return true;
}

void Rebar::Apply(Band& band, const win::REBARBANDINFO& info)
{
    win::REBARBANDINFO& kept = band.info;
    const win::UINT mask = info.fMask;
    kept.fMask |= mask;
    copy_members(info, kept, mask);
    if (mask & win::RBBIM_SIZE)
        kept.cx = info.cx;
    if (mask & win::RBBIM_TEXT) {
        band.text = info.lpText ? QString::fromUtf8(info.lpText) : QString();
        if (!band.label) {
            band.label = new QLabel(band.cell);
            static_cast<BandCell*>(band.cell)->content()->insertWidget(0, band.label);
        }
        band.label->setText(band.text);
        band.label->setVisible(!band.text.isEmpty());
    }

    auto* cell = static_cast<BandCell*>(band.cell);
    if (mask & win::RBBIM_CHILD) {
        QWidget* child = win::WidgetFromWindow(info.hwndChild);
        if (band.child && band.child != child) {
            QObject::disconnect(band.child_gone);
            band.child->hide();
            band.child->setParent(this);
            band.clip->set_child(nullptr, false);
        }
        if (child && band.child != child) {
            if (!band.clip) {
                band.clip = new BandClip(cell);
                cell->content()->addWidget(band.clip, 1);
            }
            // A child that can grow fills the band; one of fixed width sits at its left.
            const bool grows = (child->sizePolicy().horizontalPolicy() & QSizePolicy::GrowFlag) &&
                               child->maximumWidth() > static_cast<int>(kept.cxMinChild);
            band.clip->set_child(child, grows);
            cell->content()->setAlignment(band.clip, grows ? Qt::Alignment() : Qt::AlignLeft | Qt::AlignVCenter);
            band.child_gone = QObject::connect(child, &QObject::destroyed, this, [this, cell] { ChildDestroyed(cell); });
        }
        band.child = child;
        kept.hwndChild = info.hwndChild;
    }
    if (band.child) {
        // The child keeps at least its minimum size, and no more height than allowed.
        band.child->setMinimumSize(static_cast<int>(kept.cxMinChild), static_cast<int>(kept.cyMinChild));
        if (kept.cyMaxChild > 0 && kept.cyMaxChild >= kept.cyMinChild)
            band.child->setMaximumHeight(static_cast<int>(kept.cyMaxChild));
        band.child->show();
        band.clip->updateGeometry();
    }
}

void Rebar::Relayout()
{
    // Take the rows apart (the cells stay), then lay the bands out again.
    while (QLayoutItem* item = rows_->takeAt(0)) {
        if (QLayout* row = item->layout()) {
            while (QLayoutItem* cell_item = row->takeAt(0))
                delete cell_item;
        }
        delete item;
    }
    const bool several = bands_.size() > 1;
    QHBoxLayout* row = nullptr;
    std::vector<std::pair<QHBoxLayout*, BandCell*>> last_in_row;
    for (Band& band : bands_) {
        auto* cell = static_cast<BandCell*>(band.cell);
        const win::UINT style = band.info.fStyle;
        if (style & win::RBBS_HIDDEN) {
            cell->hide();
            continue;
        }
        if (!row || (style & win::RBBS_BREAK)) {
            row = new QHBoxLayout;
            row->setSpacing(2);
            rows_->addLayout(row);
            last_in_row.emplace_back(row, nullptr);
        }
        const bool gripper = (style & win::RBBS_GRIPPERALWAYS) || (several && !(style & win::RBBS_NOGRIPPER));
        cell->set_gripper(gripper, style & win::RBBS_CHILDEDGE);
        row->addWidget(cell);
        cell->show();
        last_in_row.back().second = cell;
    }
    // The last band of each row takes what is left of the row's width.
    for (auto& [layout, cell] : last_in_row) {
        if (cell)
            layout->setStretchFactor(cell, 1);
    }
    updateGeometry();
}

void Rebar::ChildDestroyed(QWidget* cell)
{
    auto it = std::find_if(bands_.begin(), bands_.end(), [cell](const Band& b) { return b.cell == cell; });
    if (it == bands_.end())
        return;
    // The dying child still sits in the cell: the cell goes later.
    cell->hide();
    cell->deleteLater();
    bands_.erase(it);
    Relayout();
    if (on_bands_changed)
        on_bands_changed();
}

} // namespace pelu::host
