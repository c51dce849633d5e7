#include "settings/prop_saver.h"

#include <QDataStream>
#include <QIODevice>
#include <QMetaEnum>
#include <QPoint>
#include <QRegularExpression>

#include <cstdint>

namespace pelu {

namespace {

std::function<void(const std::exception&)>& error_handler()
{
    static std::function<void(const std::exception&)> handler;
    return handler;
}

void report(const std::exception& error)
{
    if (error_handler())
        error_handler()(error);
}

[[noreturn]] void bad_value(const QMetaProperty& property, const QString& text)
{
    throw TrsException(QString("TrsPropSaver: invalid value \"%1\" for property %2")
                           .arg(text, QString::fromLatin1(property.name()))
                           .toStdString());
}

int find_property(const QObject* object, const QString& name)
{
    const QMetaObject* meta = object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i)
        if (name.compare(QString::fromLatin1(meta->property(i).name()), Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

// An owned component: a direct child first, then deeper descendants (a form's
// menu items may be children of their menu).
QObject* find_component(const QObject* owner, const QString& name)
{
    if (name.isEmpty())
        return nullptr;
    QList<const QObject*> level{owner};
    while (!level.isEmpty()) {
        QList<const QObject*> next;
        for (const QObject* parent : level) {
            for (QObject* child : parent->children()) {
                if (child->objectName().compare(name, Qt::CaseInsensitive) == 0)
                    return child;
                next << child;
            }
        }
        level = next;
    }
    return nullptr;
}

bool is_object_pointer(const QMetaProperty& property)
{
    return property.metaType().flags() & QMetaType::PointerToQObject;
}

// A QObject-valued property holds a persistent sub-object (streamed) when the
// object is an unnamed child of the property's holder; otherwise it refers to a
// component (stored by name).
bool is_sub_object(const QObject* instance, const QObject* object)
{
    return object && object->parent() == instance && object->objectName().isEmpty();
}

QString set_text(const QMetaEnum& meta, int value)
{
    QStringList names;
    for (int i = 0; i < meta.keyCount(); ++i) {
        const int bit = meta.value(i);
        if (bit != 0 && (bit & (bit - 1)) == 0 && (value & bit) == bit)
            names << QString::fromLatin1(meta.key(i));
    }
    return "[" + names.join(",") + "]";
}

int enum_value(const QMetaEnum& meta, const QString& name, bool& ok)
{
    for (int i = 0; i < meta.keyCount(); ++i)
        if (name.trimmed().compare(QString::fromLatin1(meta.key(i)), Qt::CaseInsensitive) == 0) {
            ok = true;
            return meta.value(i);
        }
    ok = false;
    return 0;
}

QString component_name(const QObject* owner, const QObject* component)
{
    if (!component)
        return {};
    if (component->parent() && component->parent() != owner && !component->parent()->objectName().isEmpty())
        return component->parent()->objectName() + "." + component->objectName();
    return component->objectName();
}

QObject* lookup_component(QObject* owner, const QString& name)
{
    if (name.isEmpty())
        return nullptr;
    if (QObject* c = find_component(owner, name))
        return c;
    const qsizetype dot = name.indexOf('.');
    if (dot < 0)
        return nullptr;
    // "Form.Component": search the forms around the owner (its whole tree).
    QObject* top = owner;
    while (top->parent())
        top = top->parent();
    QObject* form = top->objectName().compare(name.left(dot), Qt::CaseInsensitive) == 0
                        ? top
                        : find_component(top, name.left(dot));
    return form ? find_component(form, name.mid(dot + 1)) : nullptr;
}

std::optional<TrsValue> variant_value(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return TrsValue();
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return TrsValue::Integer(v.toInt());
    case QMetaType::UInt:
        return TrsValue::Integer(std::int32_t(v.toUInt()));
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return TrsValue::Int64(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return TrsValue::Float(v.toDouble());
    case QMetaType::Bool:
        return TrsValue::Boolean(v.toBool());
    case QMetaType::QString:
        return TrsValue::String(v.toString());
    case QMetaType::QByteArray:
        return TrsValue::Binary(v.toByteArray());
    default:
        return std::nullopt;
    }
}

QVariant value_variant(const TrsValue& value)
{
    switch (value.Type()) {
    case rvEmpty:
        return {};
    case rvString:
        return value.AsString();
    case rvBinary:
        return value.Bytes();
    case rvInteger:
        return value.RawInt32();
    case rvBoolean:
        return value.RawInt32() != 0;
    case rvInt64:
        return qlonglong(value.RawInt64());
    case rvPoint:
        return QPoint(value.RawInt32(0), value.RawInt32(1));
    default:
        return value.AsFloat();
    }
}

constexpr char kStreamMagic[] = "PELUOBJ1";

} // namespace

void TrsSetApplicationErrorHandler(std::function<void(const std::exception&)> handler)
{
    error_handler() = std::move(handler);
}

// ---------------------------------------------------------------------------
// Entries

TrsProperty TrsProperty::Parse(const QString& entry)
{
    TrsProperty p;
    QString s = entry;
    const qsizetype n = s.size();
    QString flags;
    // The flags go; their comma stays, so a default before them is still
    // followed by a comma ("storedlocx,"",EPDC" has the default "").
    if (n >= 4 && s[n - 4] == ',') {
        flags = s.right(3);
        s.chop(3);
    } else if (n >= 5 && s[n - 5] == ',') {
        flags = s.right(4);
        s.chop(4);
    }
    if (s.endsWith(',') && s.indexOf(',') >= 0) {
        const qsizetype first = s.indexOf(',');
        const qsizetype last = s.size() - 1;
        QString def = first < last ? s.mid(first + 1, last - first - 1) : QString();
        if (def.size() >= 2 && def.startsWith('"') && def.endsWith('"'))
            def = def.mid(1, def.size() - 2);
        p.default_text = def;
        p.name = s.left(first);
    } else {
        p.name = s;
    }
    if (flags.size() >= 1)
        p.active = flags[0] == 'E';
    if (flags.size() >= 2) {
        switch (flags[1].unicode()) {
        case 'C': p.kind = pkCustom; break;
        case 'U': p.kind = pkUser; break;
        case 'V': p.kind = pkIgnored; break;
        default: p.kind = pkPublished; break;
        }
    }
    if (flags.size() >= 3) {
        switch (flags[2].unicode()) {
        case 'R': p.direction = pdLoadOnly; break;
        case 'W': p.direction = pdSaveOnly; break;
        default: p.direction = pdBoth; break;
        }
    }
    if (flags.size() >= 4)
        p.scrambled = flags[3] == 'C';
    return p;
}

// ---------------------------------------------------------------------------
// Property values

std::optional<TrsValue> TrsPropSaver::ReadPropertyValue(QObject* owner, QObject* instance,
                                                        const QMetaProperty& property)
{
    const QVariant v = property.read(instance);
    if (property.isFlagType())
        return TrsValue::String(set_text(property.enumerator(), v.toInt()));
    if (property.isEnumType()) {
        const char* key = property.enumerator().valueToKey(v.toInt());
        return key ? TrsValue::String(QString::fromLatin1(key)) : TrsValue::Integer(v.toInt());
    }
    if (is_object_pointer(property)) {
        QObject* object = v.value<QObject*>();
        if (is_sub_object(instance, object))
            return TrsValue::Binary(StreamObject(object));
        return TrsValue::String(component_name(owner, object));
    }
    switch (property.metaType().id()) {
    case QMetaType::Bool:
        // An enumeration saved by its identifier: a checked item saves "True".
        return TrsValue::String(v.toBool() ? "True" : "False");
    case QMetaType::QChar:
        return TrsValue::Integer(v.toChar().unicode());
    case QMetaType::QStringList: {
        QString text;
        for (const QString& line : v.toStringList())
            text += line + "\n";
        return TrsValue::String(text);
    }
    case QMetaType::QPoint:
        return TrsValue::Point(v.toPoint().x(), v.toPoint().y());
    case QMetaType::QVariant:
        return variant_value(v);
    default:
        return variant_value(v);
    }
}

void TrsPropSaver::WritePropertyValue(QObject* owner, QObject* instance, const QMetaProperty& property,
                                      const TrsValue& value)
{
    QVariant v;
    if (property.isFlagType()) {
        if (value.Type() == rvString) {
            const QString text = value.AsString().trimmed();
            if (!text.startsWith('[') || !text.endsWith(']'))
                bad_value(property, text);
            int bits = 0;
            for (const QString& name : text.mid(1, text.size() - 2).split(',', Qt::SkipEmptyParts)) {
                bool ok = false;
                bits |= enum_value(property.enumerator(), name, ok);
                if (!ok)
                    bad_value(property, text);
            }
            v = bits;
        } else {
            v = value.AsInteger(); // a bit mask
        }
    } else if (property.isEnumType()) {
        if (value.Type() == rvString) {
            bool ok = false;
            v = enum_value(property.enumerator(), value.AsString(), ok);
            if (!ok)
                bad_value(property, value.AsString());
        } else {
            v = value.AsInteger();
        }
    } else if (is_object_pointer(property)) {
        QObject* current = property.read(instance).value<QObject*>();
        if (value.Type() == rvBinary && is_sub_object(instance, current)) {
            UnstreamObject(current, value.Bytes());
            return;
        }
        QObject* component = lookup_component(owner, value.AsString());
        v = QVariant::fromValue(component);
    } else {
        switch (property.metaType().id()) {
        case QMetaType::Bool: {
            if (value.Type() == rvString) {
                const QString text = value.AsString().trimmed();
                if (text.compare("True", Qt::CaseInsensitive) == 0)
                    v = true;
                else if (text.compare("False", Qt::CaseInsensitive) == 0)
                    v = false;
                else
                    v = value.AsInteger() != 0;
            } else {
                v = value.AsInteger() != 0;
            }
            break;
        }
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            v = value.AsInteger();
            break;
        case QMetaType::UInt:
            v = std::uint32_t(value.AsInteger());
            break;
        case QMetaType::QChar:
            v = QChar(char16_t(value.AsInteger()));
            break;
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
            v = qlonglong(value.AsInt64());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            v = value.AsFloat();
            break;
        case QMetaType::QString:
            v = value.AsString();
            break;
        case QMetaType::QByteArray:
            v = value.Type() == rvBinary ? value.Bytes() : value.AsString().toUtf8();
            break;
        case QMetaType::QStringList: {
            QString text = value.AsString();
            text.replace("\r\n", "\n");
            QStringList lines = text.split('\n');
            if (!lines.isEmpty() && lines.last().isEmpty())
                lines.removeLast();
            v = lines;
            break;
        }
        case QMetaType::QPoint: {
            if (value.Type() == rvPoint) {
                v = QPoint(value.RawInt32(0), value.RawInt32(1));
            } else {
                static const QRegularExpression re(R"(^\s*\(\s*(-?\d+)\s*,\s*(-?\d+)\s*\)\s*$)");
                const auto m = re.match(value.AsString());
                if (!m.hasMatch())
                    bad_value(property, value.AsString());
                v = QPoint(m.captured(1).toInt(), m.captured(2).toInt());
            }
            break;
        }
        case QMetaType::QVariant:
            v = value_variant(value);
            break;
        default:
            bad_value(property, value.AsString());
        }
    }
    if (!property.write(instance, v))
        bad_value(property, value.AsString());
}

QByteArray TrsPropSaver::StreamObject(const QObject* object)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out.writeRawData(kStreamMagic, 8);
    const QMetaObject* meta = object->metaObject();
    QList<QPair<QString, QVariant>> items;
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        if (!p.isReadable() || !p.isWritable() || !p.isStored() || qstrcmp(p.name(), "objectName") == 0 ||
            is_object_pointer(p))
            continue;
        QVariant v = p.read(object);
        if (p.isEnumType())
            v = v.toInt();
        if (!QMetaType(v.metaType()).hasRegisteredDataStreamOperators())
            continue;
        items << qMakePair(QString::fromLatin1(p.name()), v);
    }
    out << qint32(items.size());
    for (const auto& [name, v] : items)
        out << name << v;
    return bytes;
}

void TrsPropSaver::UnstreamObject(QObject* object, const QByteArray& stream)
{
    QDataStream in(stream);
    in.setVersion(QDataStream::Qt_6_0);
    char magic[8];
    if (in.readRawData(magic, 8) != 8 || std::memcmp(magic, kStreamMagic, 8) != 0)
        throw TrsException("TrsPropSaver: the stored image of " + object->objectName().toStdString() +
                           " is not readable");
    qint32 count = 0;
    in >> count;
    for (qint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QString name;
        QVariant v;
        in >> name >> v;
        if (in.status() != QDataStream::Ok)
            break;
        const int index = find_property(object, name);
        if (index >= 0)
            object->metaObject()->property(index).write(object, v);
    }
    if (in.status() != QDataStream::Ok)
        throw TrsException("TrsPropSaver: the stored image of " + object->objectName().toStdString() +
                           " is truncated");
}

// ---------------------------------------------------------------------------
// The saver

TrsPropSaver::TrsPropSaver(QObject* owner) : QObject(owner)
{
    when_save_ = OwnerIsForm() ? wsOnClose : wsOnDestroy;
}

TrsPropSaver::~TrsPropSaver()
{
    // Nothing is hooked any more once the saver goes.
    when_load_ = wlManual;
    when_save_ = wsManual;
}

bool TrsPropSaver::OwnerIsForm() const
{
    return parent() && parent()->isWidgetType();
}

void TrsPropSaver::SetRootSection(const QString& section)
{
    root_section_ = section;
}

QString TrsPropSaver::KeyPrefix() const
{
    QString s = root_section_;
    s.replace('/', '\\');
    if (s.isEmpty())
        return "\\";
    if (!s.startsWith('\\'))
        s.prepend('\\');
    if (!s.endsWith('\\'))
        s.append('\\');
    return s;
}

void TrsPropSaver::SetWhenLoad(TrsPropSaverLoad when)
{
    // An owner that is not a form has no show or activation to hook.
    if (!OwnerIsForm() && when != wlManual && when != wlOnCreate)
        return;
    when_load_ = when;
}

void TrsPropSaver::SetWhenSave(TrsPropSaverSave when)
{
    if (!OwnerIsForm() && when != wsManual && when != wsOnDestroy)
        return;
    when_save_ = when;
}

std::optional<TrsPropSaver::Target> TrsPropSaver::Resolve(const QString& path) const
{
    QObject* current = parent();
    if (!current || path.isEmpty())
        return std::nullopt;
    const QStringList parts = path.split('.');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const int index = find_property(current, parts[i]);
        QObject* next = nullptr;
        if (index >= 0 && is_object_pointer(current->metaObject()->property(index)))
            next = current->metaObject()->property(index).read(current).value<QObject*>();
        if (!next)
            next = find_component(current, parts[i]);
        if (!next)
            return std::nullopt;
        current = next;
    }
    Target target;
    target.instance = current;
    const int index = find_property(current, parts.last());
    if (index >= 0) {
        target.property = current->metaObject()->property(index);
        return target;
    }
    if (parts.size() == 1) {
        if (QObject* component = find_component(current, parts.last())) {
            target.whole_component = component;
            return target;
        }
    }
    return std::nullopt;
}

void TrsPropSaver::LoadEntry(const TrsProperty& entry)
{
    std::optional<TrsValue> value = storage_ ? storage_->ReadValue(entry.name) : std::nullopt;
    if (!value) {
        if (entry.default_text.isEmpty())
            return;
        value = TrsValue::String(entry.default_text);
    }
    switch (entry.kind) {
    case TrsProperty::pkPublished: {
        const auto target = Resolve(entry.name);
        if (!target)
            return; // a path that names nothing here: nothing to apply
        if (target->whole_component) {
            UnstreamObject(target->whole_component, value->Bytes());
            return;
        }
        bool allow = true;
        if (OnSetProperty)
            OnSetProperty(this, target->instance, QString::fromLatin1(target->property.name()), *value, allow);
        if (allow)
            WritePropertyValue(parent(), target->instance, target->property, *value);
        break;
    }
    case TrsProperty::pkUser:
        if (OnSetUserProperty)
            OnSetUserProperty(this, entry.name, *value);
        break;
    case TrsProperty::pkCustom: // the custom-property add-in is not built
    case TrsProperty::pkIgnored:
        break;
    }
}

void TrsPropSaver::SaveEntry(const TrsProperty& entry)
{
    std::optional<TrsValue> value;
    if (entry.active) {
        switch (entry.kind) {
        case TrsProperty::pkPublished: {
            const auto target = Resolve(entry.name);
            // A path that names nothing here leaves the stored value alone rather
            // than deleting what another build of the owner may still need.
            if (!target)
                return;
            if (target->whole_component) {
                value = TrsValue::Binary(StreamObject(target->whole_component));
                break;
            }
            value = ReadPropertyValue(parent(), target->instance, target->property);
            if (!value)
                return; // a property kind with no stored form
            bool allow = true;
            if (OnGetProperty)
                OnGetProperty(this, target->instance, QString::fromLatin1(target->property.name()), *value, allow);
            if (!allow)
                value.reset();
            break;
        }
        case TrsProperty::pkUser:
            if (OnGetUserProperty) {
                TrsValue v;
                OnGetUserProperty(this, entry.name, v);
                if (!v.IsEmpty())
                    value = v;
            }
            break;
        case TrsProperty::pkCustom: // no add-in: its stored value stays
        case TrsProperty::pkIgnored:
            return;
        }
    }
    if (value && !(options_ & poStoreDefValues) && value->AsString() == entry.default_text)
        value.reset();
    if (!value) {
        storage_->DeleteValue(entry.name);
        return;
    }
    storage_->WriteValue(entry.name, *value);
    if (entry.scrambled) {
        const QString key = KeyPrefix() + entry.name;
        const QString bare = key.mid(1);
        bool listed = false;
        for (const QString& k : storage_->EncryptKeys())
            if (k.compare(key, Qt::CaseInsensitive) == 0 || k.compare(bare, Qt::CaseInsensitive) == 0)
                listed = true;
        if (!listed)
            storage_->AddEncryptKey(key);
    }
}

void TrsPropSaver::Load()
{
    if (!active_)
        return;
    if (OnBeforeLoad)
        OnBeforeLoad(this);
    // One failing entry does not keep the others from loading; the first
    // failure is raised once all have been tried.
    std::exception_ptr first_error;
    if (storage_) {
        storage_->SetRootSection(KeyPrefix());
        for (const QString& line : properties_) {
            const TrsProperty entry = TrsProperty::Parse(line);
            if (!entry.active || entry.direction == TrsProperty::pdSaveOnly)
                continue;
            try {
                LoadEntry(entry);
            } catch (...) {
                if (!first_error)
                    first_error = std::current_exception();
            }
        }
    }
    if (OnAfterLoad)
        OnAfterLoad(this);
    if (first_error)
        std::rethrow_exception(first_error);
}

void TrsPropSaver::Save()
{
    if (!active_)
        return;
    if (OnBeforeSave)
        OnBeforeSave(this);
    std::exception_ptr first_error;
    if (storage_) {
        storage_->SetRootSection(KeyPrefix());
        for (const QString& line : properties_) {
            const TrsProperty entry = TrsProperty::Parse(line);
            if (entry.direction == TrsProperty::pdLoadOnly)
                continue;
            try {
                SaveEntry(entry);
            } catch (...) {
                if (!first_error)
                    first_error = std::current_exception();
            }
        }
    }
    if (OnAfterSave)
        OnAfterSave(this);
    if (first_error)
        std::rethrow_exception(first_error);
}

void TrsPropSaver::HandleOwnerEvent(OwnerEvent event, const std::function<void()>& own_handler,
                                    bool close_refused, bool has_window)
{
    auto guarded = [](auto&& step) {
        try {
            step();
        } catch (const std::exception& error) {
            report(error);
        }
    };
    const bool loads = (event == oeCreate && when_load_ == wlOnCreate) ||
                       (event == oeShow && when_load_ == wlOnShow) ||
                       (event == oeActivate && when_load_ == wlOnActivate);
    const bool saves = (event == oeClose && when_save_ == wsOnClose && !close_refused && has_window) ||
                       (event == oeDeactivate && when_save_ == wsOnDeactivate) ||
                       (event == oeHide && when_save_ == wsOnHide) ||
                       (event == oeDestroy && when_save_ == wsOnDestroy);
    if (loads)
        guarded([this] { Load(); });
    if (own_handler)
        own_handler();
    if (saves)
        guarded([this] { Save(); });
}

} // namespace pelu
