// The property saver: moves named properties of its owner (the form) and of the
// owner's components into a storage and back.
//
// Each line of Properties is an entry "name,default,flags": a property path
// ("audiox.FileName"), a default text used when nothing is stored, and up to
// four flag letters (E active, P/C/U/V kind, D/R/W direction, C scrambled).
// Paths resolve over the Qt object model: each part but the last names a
// QObject-valued Q_PROPERTY or a component (an object by objectName) owned by
// the current object; the last names a Q_PROPERTY. Names compare without regard
// to case.
//
// The owner calls HandleOwnerEvent() from its creation, show, activation, close,
// deactivation, hide and destruction handlers (for destruction: before its
// members go), so the saver loads or saves at the moments WhenLoad and WhenSave
// choose.
//
// Not built (the player uses neither): the custom-property add-in (entries of
// kind C are neither loaded nor saved, their stored values stay) and the form
// placement record of poStoreFormPlacement.
//
// Thread: main thread only.
#pragma once

#include "settings/storage.h"

#include <QMetaProperty>

#include <exception>

namespace pelu {

// One parsed entry of the saver's list.
struct TrsProperty {
    enum Kind { pkPublished, pkCustom, pkUser, pkIgnored };
    enum Direction { pdBoth, pdLoadOnly, pdSaveOnly };

    QString name;
    QString default_text;
    bool active = true;
    Kind kind = pkPublished;
    Direction direction = pdBoth;
    bool scrambled = false;

    static TrsProperty Parse(const QString& entry);
};

// Where errors of loads and saves started by owner events go (they never
// propagate out of the owner's handler). Default: dropped.
void TrsSetApplicationErrorHandler(std::function<void(const std::exception&)> handler);

class TrsPropSaver : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(QString RootSection READ RootSection WRITE SetRootSection)
    Q_PROPERTY(QStringList Properties READ Properties WRITE SetProperties)
    Q_PROPERTY(TrsPropSaverLoad WhenLoad READ WhenLoad WRITE SetWhenLoad)
    Q_PROPERTY(TrsPropSaverSave WhenSave READ WhenSave WRITE SetWhenSave)
public:
    enum TrsPropSaverOption { poStoreFormPlacement = 0x1, poStoreDefValues = 0x2 };
    enum TrsPropSaverLoad { wlManual = 0, wlOnActivate = 1, wlOnCreate = 2, wlOnShow = 3 };
    enum TrsPropSaverSave { wsManual = 0, wsOnClose = 1, wsOnDeactivate = 2, wsOnDestroy = 3, wsOnHide = 4 };
    Q_ENUM(TrsPropSaverLoad)
    Q_ENUM(TrsPropSaverSave)

    enum OwnerEvent { oeCreate, oeShow, oeActivate, oeClose, oeDeactivate, oeHide, oeDestroy };

    // The owner is the parent: the object whose properties and components the
    // paths name.
    explicit TrsPropSaver(QObject* owner);
    ~TrsPropSaver() override;

    bool Active() const { return active_; }
    void SetActive(bool active) { active_ = active; }
    TrsStorage* Storage() const { return storage_; }
    void SetStorage(TrsStorage* storage) { storage_ = storage; }
    int Options() const { return options_; }
    void SetOptions(int options) { options_ = options; }
    QString RootSection() const { return root_section_; }
    void SetRootSection(const QString& section);
    // "\" + RootSection + "\", separators added where missing; "\" alone when empty.
    QString KeyPrefix() const;
    QStringList Properties() const { return properties_; }
    void SetProperties(const QStringList& entries) { properties_ = entries; }
    TrsPropSaverLoad WhenLoad() const { return when_load_; }
    void SetWhenLoad(TrsPropSaverLoad when);
    TrsPropSaverSave WhenSave() const { return when_save_; }
    void SetWhenSave(TrsPropSaverSave when);

    // Only while Active. Both run OnAfterLoad/OnAfterSave even when an entry
    // fails; the first failure is then rethrown.
    void Load();
    void Save();

    // Runs the owner's own handler for `event` with the hooked load (before it)
    // or save (after it). On close the save runs only when the close was not
    // refused and the owner has a window. Errors of the load or save go to the
    // application error handler.
    void HandleOwnerEvent(OwnerEvent event, const std::function<void()>& own_handler = {},
                          bool close_refused = false, bool has_window = true);

    // The stored form of a property and back, as the saver moves them (public for
    // the property saver's clients and tests).
    static std::optional<TrsValue> ReadPropertyValue(QObject* owner, QObject* instance, const QMetaProperty& property);
    static void WritePropertyValue(QObject* owner, QObject* instance, const QMetaProperty& property,
                                   const TrsValue& value);
    static QByteArray StreamObject(const QObject* object);
    static void UnstreamObject(QObject* object, const QByteArray& stream);

    std::function<void(QObject* sender)> OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;
    std::function<void(QObject* sender, const QString& prop_name, TrsValue& value)> OnGetUserProperty,
        OnSetUserProperty;
    std::function<void(QObject* sender, QObject* instance, const QString& prop_name, TrsValue& value, bool& allow)>
        OnGetProperty, OnSetProperty;

private:
    struct Target {
        QObject* instance = nullptr;
        QMetaProperty property;
        QObject* whole_component = nullptr; // a component saved as its streamed image
    };
    std::optional<Target> Resolve(const QString& path) const;
    bool OwnerIsForm() const;
    void LoadEntry(const TrsProperty& entry);
    void SaveEntry(const TrsProperty& entry);

    bool active_ = true;
    QPointer<TrsStorage> storage_;
    int options_ = poStoreFormPlacement | poStoreDefValues;
    QString root_section_;
    QStringList properties_;
    TrsPropSaverLoad when_load_ = wlOnCreate;
    TrsPropSaverSave when_save_;
};

} // namespace pelu
