// `pelu reg`: inspect, back up and restore the registry store.
//   pelu reg export [KEY] [-o FILE]     registry editor text (version 5.00)
//   pelu reg import [--replace] FILE    applies a REGEDIT4 / 5.00 file in one transaction
//   pelu reg get KEY NAME               prints one value ("@" names the default value)
//   pelu reg set KEY NAME [--type T] DATA   T: sz (default), expand_sz, dword, binary
//   pelu reg delete KEY [NAME]          deletes a value, or the key with everything below it
#include "cli/command.h"
#include "platform/fs/output_file.h"
#include "platform/registry/reg_file.h"

#include <cstdio>

namespace pelu::cli {

namespace {

namespace reg = platform::registry;

const std::string kUsage =
    "reg export [KEY] [-o FILE] | reg import [--replace] FILE | reg get KEY NAME | "
    "reg set KEY NAME [--type sz|expand_sz|dword|binary] DATA | reg delete KEY [NAME]";

QString value_name(const QString& arg)
{
    return arg == "@" ? QString() : arg;
}

void print_value(const reg::Value& v)
{
    QString text;
    switch (v.type) {
    case reg::ValueType::String:
    case reg::ValueType::ExpandString:
        text = v.text;
        break;
    case reg::ValueType::Dword:
        text = QString::number(v.dword);
        break;
    case reg::ValueType::Binary: {
        QStringList bytes;
        for (char c : v.bytes)
            bytes << QString("%1").arg(std::uint8_t(c), 2, 16, QChar('0'));
        text = bytes.join(' ');
        break;
    }
    }
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
}

int run_export(QStringList args)
{
    QString output;
    std::optional<std::pair<reg::Hive, QString>> key;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == "-o") {
            if (args.isEmpty())
                return usage_error("-o needs a file name", kUsage);
            output = args.takeFirst();
        } else if (!key) {
            key = reg::parse_key_name(a);
        } else {
            return usage_error("unexpected argument " + a, kUsage);
        }
    }
    if (!output.isEmpty() && platform::fs::same_file(output, reg::Store::default_path()))
        return fail(output + ": is the registry store itself; name another file");
    auto store = reg::Store::open_default(reg::OpenMode::ExistingOnly);
    const QByteArray text = reg::export_reg_file(*store, key);
    if (output.isEmpty()) {
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return kExitOk;
    }
    // The backup replaces an older one whole or not at all (a device such as
    // /dev/stdout is written as it is).
    QString error;
    if (!platform::fs::write_output_file(output, text, &error))
        return fail(error);
    return kExitOk;
}

int run_import(QStringList args)
{
    bool replace = false;
    if (!args.isEmpty() && args.first() == "--replace") {
        replace = true;
        args.removeFirst();
    }
    if (args.size() != 1)
        return usage_error("import needs one file", kUsage);
    reg::RegFile parsed;
    try {
        parsed = reg::parse_reg_file(reg::read_reg_file(args.first()));
    } catch (const reg::RegFileError& error) {
        return fail(args.first() + ": " + QString::fromStdString(error.what()) + " (nothing was imported)");
    }
    auto store = reg::Store::open_default();
    reg::apply_reg_file(*store, parsed, replace);
    return kExitOk;
}

int run_get(const QStringList& args)
{
    if (args.size() != 2)
        return usage_error("get needs KEY and NAME", kUsage);
    const auto [hive, path] = reg::parse_key_name(args[0]);
    auto store = reg::Store::open_default(reg::OpenMode::ExistingOnly);
    auto key = store->open_key(hive, path);
    if (!key)
        return fail("key not found: " + args[0]);
    auto v = store->query(*key, value_name(args[1]));
    if (!v)
        return fail("value not found: " + args[1]);
    print_value(*v);
    return kExitOk;
}

int run_set(QStringList args)
{
    QString type = "sz";
    const qsizetype t = args.indexOf("--type");
    if (t >= 0) {
        if (t + 1 >= args.size())
            return usage_error("--type needs a type", kUsage);
        type = args[t + 1].toLower();
        args.remove(t, 2);
    }
    if (args.size() != 3)
        return usage_error("set needs KEY, NAME and DATA", kUsage);
    const auto [hive, path] = reg::parse_key_name(args[0]);
    const QString name = value_name(args[1]);
    const QString data = args[2];
    reg::Value v;
    if (type == "sz" || type == "reg_sz") {
        v = reg::Value::string(name, data);
    } else if (type == "expand_sz" || type == "reg_expand_sz") {
        v = reg::Value::string(name, data, true);
    } else if (type == "dword" || type == "reg_dword") {
        bool ok = false;
        const qulonglong n = data.startsWith("0x", Qt::CaseInsensitive) ? data.mid(2).toULongLong(&ok, 16)
                                                                         : data.toULongLong(&ok, 10);
        if (!ok || n > 0xFFFFFFFFull)
            return usage_error("\"" + data + "\" is not a 32-bit number", kUsage);
        v = reg::Value::number(name, std::uint32_t(n));
    } else if (type == "binary" || type == "reg_binary") {
        QString hex = data;
        hex.remove(' ').remove(',').remove(':');
        const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
        if (hex.size() % 2 != 0 || bytes.size() * 2 != hex.size() || bytes.toHex() != hex.toLower().toLatin1())
            return usage_error("\"" + data + "\" is not hexadecimal bytes", kUsage);
        v = reg::Value::binary(name, bytes);
    } else {
        return usage_error("unknown type " + type, kUsage);
    }
    auto store = reg::Store::open_default();
    store->set_value(store->create_key(hive, path), v);
    return kExitOk;
}

int run_delete(const QStringList& args)
{
    if (args.size() != 1 && args.size() != 2)
        return usage_error("delete needs KEY and an optional NAME", kUsage);
    const auto [hive, path] = reg::parse_key_name(args[0]);
    // Deleting from a store that does not exist has nothing to delete.
    auto store = reg::Store::open_default(reg::OpenMode::ExistingOnly);
    auto key = store->open_key(hive, path);
    if (!key)
        return fail("key not found: " + args[0]);
    if (args.size() == 2) {
        if (!store->delete_value(*key, value_name(args[1])))
            return fail("value not found: " + args[1]);
        return kExitOk;
    }
    if (path.isEmpty())
        return fail("a whole hive cannot be deleted");
    store->delete_key(*key);
    return kExitOk;
}

int run_reg(const QStringList& all)
{
    if (all.isEmpty())
        return usage_error("reg needs a subcommand", kUsage);
    QStringList args = all;
    const QString sub = args.takeFirst();
    try {
        if (sub == "export")
            return run_export(args);
        if (sub == "import")
            return run_import(args);
        if (sub == "get")
            return run_get(args);
        if (sub == "set")
            return run_set(args);
        if (sub == "delete")
            return run_delete(args);
    } catch (const reg::RegistryError& error) {
        return fail(QString::fromStdString(error.what()));
    }
    return usage_error("unknown reg subcommand " + sub, kUsage);
}

} // namespace

PELU_COMMAND("reg", kUsage, run_reg);

} // namespace pelu::cli
