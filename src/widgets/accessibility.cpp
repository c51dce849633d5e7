#include "widgets/accessibility.h"

#include "widgets/bitmap_slider.h"
#include "widgets/dot_matrix.h"
#include "widgets/image_button.h"
#include "widgets/picture_box.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"

#include <QAccessibleWidget>

namespace pelu::widgets {

namespace {

// A picture button or clickable icon: pressing it runs its click, as Space does.
class AccessiblePictureButton : public QAccessibleWidget {
public:
    explicit AccessiblePictureButton(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Button) {}

    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString& name) override
    {
        if (name != pressAction()) {
            QAccessibleWidget::doAction(name);
            return;
        }
        if (!widget()->isEnabled())
            return;
        if (auto* button = qobject_cast<TImageButton*>(widget()); button && button->OnClick)
            button->OnClick(button);
        else if (auto* image = qobject_cast<TImage*>(widget()); image && image->OnClick)
            image->OnClick(image);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description && widget()->accessibleDescription().isEmpty())
            return widget()->toolTip();
        return QAccessibleWidget::text(t);
    }
};

// Either slider: value and range; a value set from outside moves it as the
// user would, so the owner hears the move and its end.
template <typename Slider>
class AccessibleSlider : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleSlider(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QString::number(slider()->Position());
        if (t == QAccessible::Description && widget()->accessibleDescription().isEmpty())
            return widget()->toolTip();
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return slider()->Position(); }
    void setCurrentValue(const QVariant& value) override
    {
        Slider* s = slider();
        const int before = s->Position();
        s->SetPosition(value.toInt());
        if (s->Position() == before)
            return;
        QPointer<Slider> alive(s);
        if (s->OnTrack)
            s->OnTrack(s);
        if (alive && s->OnTrackEnd)
            s->OnTrackEnd(s);
    }
    QVariant maximumValue() const override { return slider()->MaxValue(); }
    QVariant minimumValue() const override { return slider()->MinValue(); }
    QVariant minimumStepSize() const override { return slider()->LineSize(); }

private:
    Slider* slider() const { return static_cast<Slider*>(widget()); }
};

// A display whose name is what it shows.
template <typename Display>
class AccessibleDisplay : public QAccessibleWidget {
public:
    explicit AccessibleDisplay(QWidget* widget) : QAccessibleWidget(widget, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override
    {
        const QString shown = static_cast<Display*>(widget())->Text();
        if (t == QAccessible::Name)
            return shown;
        if (t == QAccessible::Description) // what the display is: "Time", "Status"
            return widget()->accessibleName();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* Factory(const QString&, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (qobject_cast<TImageButton*>(widget))
        return new AccessiblePictureButton(widget);
    if (auto* image = qobject_cast<TImage*>(widget); image && image->focusPolicy() != Qt::NoFocus)
        return new AccessiblePictureButton(widget);
    if (qobject_cast<TMMSlider*>(widget))
        return new AccessibleSlider<TMMSlider>(widget);
    if (qobject_cast<TMMBitmapSlider*>(widget))
        return new AccessibleSlider<TMMBitmapSlider>(widget);
    if (qobject_cast<TDotMatrixText*>(widget))
        return new AccessibleDisplay<TDotMatrixText>(widget);
    if (qobject_cast<TALScrollingText*>(widget))
        return new AccessibleDisplay<TALScrollingText>(widget);
    return nullptr;
}

} // namespace

void InstallAccessibility()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(&Factory);
}

} // namespace pelu::widgets
